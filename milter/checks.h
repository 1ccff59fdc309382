// The checks of the filter's set-up that every message depends on, made once
// with a probe file before any message comes: the spool folder, the spool
// files' group and mode, and the scanning server reading them.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "client/result_codes.h"
#include "milter/scanner_pool.h"

enum class CheckLevel { Passed, Warning, Failed };

struct CheckResult {
    CheckLevel level;
    std::string text;
};

struct CheckSettings {
    std::string folder;     // the spool folder, absolute
    gid_t group;            // the spool files' group, or (gid_t)-1
    std::string group_name; // as -g gave it
    // An unreachable scanning server fails the check (the check option);
    // otherwise it is a warning, since the server may start after the filter.
    bool server_needed;
};

// Runs every check in order, with the process's present user and groups, and
// says what each found. A probe file is made in the spool folder as a
// message's file is, scanned by each server of `pool` and removed.
std::vector<CheckResult> check_setup(const CheckSettings &settings, ScannerPool &pool);

// Why a scan through the pool failed, in words for the log.
const char *scan_failure_text(ResultCode code);

// True for the failures that mean that the scanning server is not there (yet).
bool server_unreachable(ResultCode code);

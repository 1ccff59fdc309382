// The mail filter itself: the callbacks that spool each message, have it
// scanned and answer the mail server as the configured actions say.
#pragma once

#include <sys/types.h>

#include "milter/options.h"
#include "milter/scanner_pool.h"

// Registers the callbacks with the mail-filter library. `spool_folder` is
// absolute; `group` is that of the spool files, or (gid_t)-1. The options
// and the pool must live until the process ends. False when the library
// refuses the registration.
bool filter_register(const MilterOptions &options, const std::string &spool_folder, gid_t group,
                     ScannerPool &pool);

// The header that names the filter, and its value.
constexpr char kScannedHeader[] = "X-Virus-Scanned";
// The header with the verdict and the names; any such header that a message
// already carries is removed from it.
constexpr char kStatusHeader[] = "X-Virus-Status";

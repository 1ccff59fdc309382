// Moving or copying the files in which a threat remains into a quarantine
// folder (--move, --copy), so that nothing is ever lost: a destination is
// created exclusively and never through a link; across file systems the copy
// is written, flushed and compared before the original is removed; on any
// failure the original stays where it was and no partial copy remains.
#pragma once

#include <cstdint>

#include "cli/file_source.h"
#include "client/scan.h"

// Why a file was not moved or copied, beside the system's error numbers
// (which are positive).
enum QuarantineFailure {
    kQuarantineChanged = -1,  // the file at the path is no longer the one scanned
    kQuarantineIsLink = -2,   // the path names a symbolic link
    kQuarantineDiffers = -3,  // the copy read back differs from the file
    kQuarantineNoName = -4,   // every name tried in the folder is taken
    kQuarantineNoMemory = -5, // the destination's name could not be allocated
};

struct Quarantine;

// Opens the folder `dir` (as the user gave it) once, without following a
// link, for moves or, with `copies`, copies. Null with errno set when it is
// not an existing folder (ELOOP for a symbolic link) or memory runs out.
Quarantine *quarantine_open(const char *dir, bool copies);
void quarantine_close(Quarantine *quarantine);

// The folder's device and inode.
void quarantine_identity(const Quarantine *quarantine, uint64_t *device, uint64_t *inode);

// Moves or copies the file that `job` scanned (its path and identity) into
// the folder, under its own name or the first of name.1, name.2, ... that is
// free. Sets job->destination (the folder as given, "/", the name) or
// job->quarantine_error. A file moved or copied before in this run (the same
// identity) is left alone, and neither is set.
void quarantine_file(Quarantine *quarantine, ScanJob *job);

// After a scan: moves or copies the file with quarantine_file when a threat
// remains in it (verdict INFECTED or CUREFAILED). A null quarantine does
// nothing.
void quarantine_after_scan(Quarantine *quarantine, ScanJob *job, ResultCode code,
                           const ScanReport &report);

// The text that follows "ERROR " for a quarantine_error.
const char *quarantine_failure_text(int error);

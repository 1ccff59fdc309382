// The counts of a scan run, for the summary (--summary) and the progress
// line (--progress), both on standard error; standard output never changes.
#pragma once

#include <cstdint>

#include "cli/system.h"

struct RunStats {
    uint64_t scanned = 0; // files that got a verdict
    uint64_t clean = 0;
    uint64_t infected = 0; // INFECTED and CUREFAILED
    uint64_t cured = 0;
    uint64_t warnings = 0;
    uint64_t suspicions = 0;
    uint64_t other = 0;       // PROTECTED, CORRUPTED, DELETED and the server's ERROR
    uint64_t not_scanned = 0; // every ERROR line of the front end's own
    uint64_t quarantined = 0; // moved or copied
};

// Prints the summary of a run that began at `start_ms`; `quarantine_label`
// ("Moved", "Copied") adds that count, null leaves it out.
void print_summary(const RunStats &stats, int64_t start_ms, const char *quarantine_label);

struct Progress;

// A progress line, shown only when standard error is a terminal: null
// otherwise (every call below accepts null and does nothing).
Progress *progress_create(int64_t start_ms);
// A scan starts: `name` becomes the current file (its control bytes shown
// as "?": the terminal is never sent one).
void progress_started(Progress *progress, const char *name, const RunStats &stats);
// A file has been reported; the line is drawn again at most ten times a
// second.
void progress_done(Progress *progress, const RunStats &stats);
// Standard output is about to be written: when it goes to the terminal too,
// the line is cleared first so that the results are not mixed with it.
void progress_before_output(Progress *progress);
// Clears the line and releases the progress.
void progress_end(Progress *progress);

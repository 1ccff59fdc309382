// The lines that report one scanned file on standard output (or, with
// --json, its JSON object), and the exit status that each outcome gives.
#pragma once

#include <cstdint>

#include "cli/file_source.h"
#include "cli/progress.h"
#include "client/scan.h"

// Exit status of a file that was not scanned at all; no verdict has it.
constexpr int kNotScanned = 7;
// What report_job returns for a job that reports nothing (a link passed
// over inside a tree): the run's status does not change.
constexpr int kNoStatus = -1;

// The first word of each line of a report list, joined by tabs. The caller
// frees the result; null only when memory runs out.
char *list_first_words(const char *list);

// Exit status of a verdict; kNotScanned outside the table.
int verdict_exit_status(uint32_t verdict);

// Reports one scan request for `name`, unless `quiet`: "<name> ERROR" when
// `code` is a failure, else the verdict line and one line per name list the
// report holds. Returns the file's exit status.
int report_scan(const char *name, ResultCode code, const ScanReport *report, bool quiet);

// Prints `name` as a result line shows it: as it is, or with `escaped` (a
// name found inside a tree) each control byte and the backslash written as
// C writes them ("\n", "\r", "\t", "\\", else "\xHH"), so that a result is one
// line and no name reads as another.
void print_name(const char *name, bool escaped);

// How a run reports its files, and what it has counted so far.
struct RunOutput {
    bool quiet = false;         // nothing on standard output
    bool json = false;          // one JSON object per file instead of lines
    bool infected_only = false; // nothing for a file found clean
    bool copies = false;        // a quarantined file was copied ("COPIED"), not moved
    RunStats stats;
    Progress *progress = nullptr;
    bool connected = false; // the scan loop has begun: a connection was opened
};

// Reports a finished job: the line of its failure when it has one, else its
// scan as report_scan does, followed by what the quarantine did with it;
// counts it; then empties the report. Returns the file's exit status, or
// kNoStatus.
int report_job(const ScanJob &job, ResultCode code, ScanReport *report, RunOutput *output);

// Exit status of a run whose results could not all be written to standard
// output; no verdict has it.
constexpr int kOutputFailed = 1;

// Flushes standard output at the end of a run. When anything written to it
// failed, says so on standard error and returns kOutputFailed; else
// `status`.
int finish_output(int status);

// The run's exit status once a file has been reported: the file's own (the
// run's as it was for kNoStatus), or with `whole_run` the more severe of the two, from most to
// least severe 4 (infected), 7 (not scanned), 8, 6, 3, 2, 5 (cured) and 0 (clean).
int fold_status(int run_status, int file_status, bool whole_run);

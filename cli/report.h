// The lines that report one scanned file on standard output, and the exit
// status that each outcome gives.
#pragma once

#include <cstdint>

#include "cli/file_source.h"
#include "client/scan.h"

// Exit status of a file that was not scanned at all; no verdict has it.
constexpr int kNotScanned = 7;

// The first word of each line of a report list, joined by tabs. The caller
// frees the result; null only when memory runs out.
char *list_first_words(const char *list);

// Exit status of a verdict; kNotScanned outside the table.
int verdict_exit_status(uint32_t verdict);

// Reports one scan request for `name`, unless `quiet`: "<name> ERROR" when
// `code` is a failure, else the verdict line and one line per name list the
// report holds. Returns the file's exit status.
int report_scan(const char *name, ResultCode code, const ScanReport *report, bool quiet);

// Reports a finished job: its line when it has one, else its scan as
// report_scan does; then empties the report. Returns the file's exit status.
int report_job(const ScanJob &job, ResultCode code, ScanReport *report, bool quiet);

// The run's exit status once a file has been reported: the file's own, or
// with `whole_run` the more severe of the two, from most to least severe 4
// (infected), 7 (not scanned), 8, 6, 3, 2, 5 (cured) and 0 (clean).
int fold_status(int run_status, int file_status, bool whole_run);

// The scan mode of the front end: every file of the run, in order, is
// examined, scanned and reported, over one connection or, with -j, several.
#pragma once

#include "cli/options.h"

// Opens the connection(s), scans the operands argv[first_operand..argc-1] in
// order (folders as trees under -r), sends QUIT and removes the dump of
// standard input. Returns the run's exit status: 1 when no connection could
// be opened, else the status of the last file or, with -w, of the most
// severe outcome.
int run_scan_mode(const RunOptions &options, int argc, char **argv);

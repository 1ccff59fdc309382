// The scan mode of the front end: every file operand is resolved, examined
// and scanned, and reported with its verdict and the names the server found.
#pragma once

#include <cstdint>

#include "client/connection.h"

// Scans argv[first .. argc-1] in order, sends QUIT and ends the process with
// the exit status of the last operand.
[[noreturn]] void run_scan_loop(ServerConnection *conn, uint32_t scan_flags, bool quiet, int argc,
                                char **argv, int first);

// Copies standard input into the dump file; false (after a message on
// standard error) when it could not be written.
bool capture_stdin();

// The first word of each line of a report list, joined by tabs. The caller
// frees the result; null only when memory runs out.
char *list_first_words(const char *list);

// Exit status of a verdict; 7 (not scanned) outside the table.
int verdict_exit_status(uint32_t verdict);

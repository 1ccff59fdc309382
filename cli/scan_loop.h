// The scan mode of the front end: every file operand, in order, is resolved,
// examined, scanned over the open connection and reported.
#pragma once

#include "client/connection.h"
#include "client/scan.h"

// Scans argv[first .. argc-1] in order, sends QUIT and removes the dump of
// standard input. Returns the exit status of the last operand.
int run_scan_loop(ServerConnection *conn, ScanFlags scan_flags, bool quiet, int argc, char **argv,
                  int first);

// The scan mode with -j: up to n connections, each driven without waiting
// (CONN_NO_WAIT) from one poll loop, with the results printed in the order
// and the form that a single connection gives them.
#pragma once

#include "cli/file_source.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/server.h"

struct Quarantine;

// What a scan loop needs beside its files: the run's options, its servers,
// how it reports (and counts) its files, and the quarantine folder, null
// without --move and --copy.
struct ScanContext {
    const RunOptions *options;
    const ServerSet *servers;
    RunOutput *output;
    Quarantine *quarantine;
};

// Opens up to options.connections connections (never more than there are
// files to scan, at least one), scans every job of `source` and sends QUIT on
// each connection still open. A connection that cannot be opened or fails is
// reported on standard error and its files go to the others; a scan cut off
// by a failing connection is tried once more on another. Returns the run's
// exit status, 1 when no connection could be opened. Only the first
// connection waits for the server (--wait).
int scan_in_parallel(FileSource *source, const ScanContext &run);

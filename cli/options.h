// The settings of one run of the client, read from its command line, and the
// help and version texts.
#pragma once

#include <cstdio>

#include "client/scan.h"

struct RunOptions {
    char *server_path = nullptr;       // -p: private copy (malloc), always absolute once set
    const char *tcp_address = nullptr; // -t: "host" or "host:port" as given
    ScanFlags scan_flags = SCAN_DEFAULT_FLAGS;
    bool quiet = false;
    bool scan_mode = false;
    bool check_mode = false;
    bool recursive = false; // -r: a folder operand is scanned as a tree
    bool whole_run = false; // -w (and -r): the status of the most severe outcome
    int connections = 0;    // -j: 1 to 64; 0 when not given
    int first_operand = 0;  // index into argv of the first file operand

    // The address given to conn_open: the socket path or the TCP address.
    const char *address() const { return tcp_address != nullptr ? tcp_address : server_path; }
};

// Most connections that -j may ask for.
constexpr int kMaxConnections = 64;

// What read_options returns when the run goes on.
constexpr int kOptionsValid = -1;

// Reads and validates the command line into `options`. Returns kOptionsValid
// when the run goes on; otherwise the run is over (help, version, or a
// failure whose message is already on standard error) and the result is its
// exit status. The caller frees options->server_path in either case.
int read_options(int argc, char **argv, RunOptions *options);

// Prints the version line and the maker's notice.
void print_version(FILE *out);

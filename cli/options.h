// The settings of one run of the client, read from its command line, and the
// help and version texts.
#pragma once

#include <cstddef>
#include <cstdio>

#include "client/scan.h"
#include "client/server_list.h"

struct RunOptions {
    char *server_path = nullptr;       // -p: private copy (malloc), always absolute once set
    const char *tcp_address = nullptr; // -t: "host" or "host:port" as given, or a list
    // -t with commas: the list of servers (released by release_options).
    ServerList *server_list = nullptr;
    ScanFlags scan_flags = SCAN_DEFAULT_FLAGS;
    bool quiet = false;
    bool scan_mode = false;
    bool check_mode = false;
    bool recursive = false; // -r: a folder operand is scanned as a tree
    bool whole_run = false; // -w (and -r): the status of the most severe outcome
    int connections = 0;    // -j: 1 to 64; 0 when not given
    int first_operand = 0;  // index into argv of the first file operand

    // The options that have long names only.
    const char **excludes = nullptr; // --exclude patterns, as given (malloc'd array)
    size_t exclude_count = 0;
    const char *files_from = nullptr; // --files-from: a file of names, "-" for standard input
    bool null_separated = false;      // --null: the names end in NUL bytes
    bool infected_only = false;       // --infected: OK results are not printed
    const char *quarantine = nullptr; // --move or --copy: the folder, as given
    bool quarantine_copies = false;   // --copy rather than --move
    bool json = false;                // --json: one JSON object per result
    bool summary = false;             // --summary: counts on standard error at the end
    bool progress = false;            // --progress: a progress line on a terminal
    int wait_sec = 0;                 // --wait: how long the first connection is retried
    int timeout_sec = 300;            // --timeout: the limit of a connect and of each wait
    int revive_sec = -1;              // --revive: how long a server is left out; -1 unset

    // The address given to conn_open: the socket path or the TCP address.
    const char *address() const { return tcp_address != nullptr ? tcp_address : server_path; }
};

// Most connections that -j may ask for, and most seconds that --wait,
// --timeout and --revive take.
constexpr int kMaxConnections = 64;
constexpr int kMaxWaitSec = 86400;

// What read_options returns when the run goes on.
constexpr int kOptionsValid = -1;

// Reads and validates the command line into `options`. Returns kOptionsValid
// when the run goes on; otherwise the run is over (help, version, or a
// failure whose message is already on standard error) and the result is its
// exit status. The caller releases the options with release_options in
// either case.
int read_options(int argc, char **argv, RunOptions *options);

// Releases what read_options allocated.
void release_options(RunOptions *options);

// Prints the version line and the maker's notice.
void print_version(FILE *out);

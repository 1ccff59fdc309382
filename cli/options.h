// The settings of one run of the client, read from its command line, and the
// help and version texts.
#pragma once

#include <cstdint>
#include <cstdio>

// Default scan option mask of the front end; -u adds the request to cure.
constexpr uint32_t kDefaultScanFlags = 0x3fffc0;
constexpr uint32_t kScanCureFlag = 0x4;

struct RunOptions {
    char *server_path = nullptr; // private copy, always absolute once set
    uint32_t scan_flags = kDefaultScanFlags;
    bool quiet = false;
    bool scan_mode = false;
    bool check_mode = false;
    int first_operand = 0; // index into argv of the first file operand
};

// Reads and validates the command line. Help, version and every failure end
// the process with their exit status.
RunOptions read_options(int argc, char **argv);

// Prints the version line and the maker's notice.
void print_version(FILE *out);

// Reading the command line: GNU getopt, the help and version texts, and the
// resolution of the socket path.
#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

namespace {

constexpr char kVersion[] = "5.5.3/RELEASE";
constexpr int kBuild = 104;
constexpr size_t kPathBufferSize = 8192;

[[noreturn]] void fail(const char *message, int status) {
    std::fputs(message, stderr);
    std::exit(status);
}

void print_help(const char *program) {
    print_version(stderr);
    std::fprintf(stderr,
                 "Usage: %s -p socket_path [extra options] [file1] [file2] ...\n"
                 "   -h       Show this help message and exit\n"
                 "   -v       Show version and exit\n"
                 "   -q       Do not show non-error messages\n"
                 "   -u       Try to cure files while scanning\n"
                 "   -s       Do scanning the files for viruses\n"
                 "   -c       Do checking orvaserver connection and querying the data\n"
                 "   -p<path> Specify the path to orvaserver socket. Required param.\n",
                 program);
}

// Makes the -p value absolute (current directory, "/", value; not
// normalised) and returns a private copy. The path must fit the working
// buffer, NUL included.
char *resolve_server_path(const char *value) {
    char buffer[kPathBufferSize];
    size_t value_length = std::strlen(value);
    size_t used = 0;
    if (value[0] != '/') {
        if (getcwd(buffer, kPathBufferSize) == nullptr)
            fail("ERROR: Could not get current directory.\n", 1);
        used = std::strlen(buffer);
        if (used + 1 + value_length >= kPathBufferSize)
            fail("ERROR: the path to the orvaserver socket is too long.\n", 1);
        buffer[used++] = '/';
    } else if (value_length >= kPathBufferSize) {
        fail("ERROR: the path to the orvaserver socket is too long.\n", 1);
    }
    std::memcpy(buffer + used, value, value_length + 1);

    char *copy = strdup(buffer);
    if (copy == nullptr) fail("ERROR: Could not allocate memory!\n", 1);
    return copy;
}

} // namespace

void print_version(FILE *out) {
    // __DATE__ has the form "Aug  2 2005", __TIME__ "12:40:36".
    std::fprintf(out, "Client for Quellon Anti-Virus server %s build #%d, compiled %s, %s\n",
                 kVersion, kBuild, __DATE__, __TIME__);
    std::fputs("Copyright (C) 2026 the orvaclient developers.\n", out);
}

RunOptions read_options(int argc, char **argv) {
    RunOptions options;
    if (argc <= 1) {
        print_help(argc == 1 ? argv[0] : "orvaclient");
        std::exit(0);
    }

    int option;
    while ((option = getopt(argc, argv, "hvquscp:n:")) != -1) {
        switch (option) {
        case 'h':
            print_help(argv[0]);
            std::exit(0);
        case 'v':
            print_version(stderr);
            std::exit(0);
        case 'q':
            options.quiet = true;
            break;
        case 'u':
            options.scan_flags |= kScanCureFlag;
            break;
        case 's':
            options.scan_mode = true;
            break;
        case 'c':
            options.check_mode = true;
            break;
        case 'p':
            if (options.server_path != nullptr)
                fail("ERROR: the path to the orvaserver socket has been already specified!\n", 1);
            options.server_path = resolve_server_path(optarg);
            break;
        case 'n':
            // Accepted for compatibility: its value is consumed and ignored.
            std::fprintf(stderr, "Unrecognized option '%c'\n", 'n');
            break;
        default:
            std::fprintf(stderr, "Unrecognized option '%c'\n", optopt);
            break;
        }
    }
    options.first_operand = optind;

    if (options.server_path == nullptr) fail("ERROR: required parameter -p was not specified\n", 9);
    if (options.check_mode == options.scan_mode)
        fail("ERROR: either -c or -s switch should be specified\n", 9);
    if (options.scan_mode && optind >= argc)
        fail("ERROR: at least one file should be specified for scanning\n", 9);
    return options;
}

// Reading the command line: GNU getopt, the help and version texts, and the
// checks that the options describe a run.
#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "cli/paths.h"
#include "cli/server.h"

namespace {

constexpr char kVersion[] = "5.5.3/RELEASE";
constexpr int kBuild = 104;
constexpr int kBadCommandLine = 9;
constexpr int kRunFailed = 1;

int fail(const char *message, int status) {
    std::fputs(message, stderr);
    return status;
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
                 "   -p<path> Specify the path to orvaserver socket. Required param.\n"
                 "   -r       Scan directories recursively (implies -w)\n"
                 "   -j<n>    Scan with up to n connections at once (1 to 64)\n"
                 "   -t<addr> Connect to orvaserver over TCP at host[:port] instead of -p\n"
                 "   -w       Exit with the status of the most severe finding of the run\n",
                 program);
}

// Sets the socket path from the -p value; the exit status of the run when
// that fails, else kOptionsValid.
int set_server_path(const char *value, RunOptions *options) {
    if (options->server_path != nullptr)
        return fail("ERROR: the path to the orvaserver socket has been already specified!\n",
                    kRunFailed);
    char buffer[kPathBufferSize];
    switch (absolute_path(value, buffer)) {
    case PathFailure::NoDirectory:
        return fail("ERROR: Could not get current directory.\n", kRunFailed);
    case PathFailure::TooLong:
        return fail("ERROR: the path to the orvaserver socket is too long.\n", kRunFailed);
    case PathFailure::None:
        break;
    }
    options->server_path = strdup(buffer);
    if (options->server_path == nullptr)
        return fail("ERROR: Could not allocate memory!\n", kRunFailed);
    if (options->tcp_address != nullptr)
        return fail("ERROR: -p and -t are exclusive: specify only one of them\n", kBadCommandLine);
    return kOptionsValid;
}

// The -j value: a number of connections from 1 to kMaxConnections.
int set_connections(const char *value, RunOptions *options) {
    char *end = nullptr;
    long count = std::strtol(value, &end, 10);
    if (value[0] < '0' || value[0] > '9' || *end != '\0' || count < 1 || count > kMaxConnections)
        return fail("ERROR: -j expects a number of connections from 1 to 64\n", kBadCommandLine);
    options->connections = static_cast<int>(count);
    return kOptionsValid;
}

} // namespace

void print_version(FILE *out) {
    // __DATE__ has the form "Aug  2 2005", __TIME__ "12:40:36".
    std::fprintf(out, "Client for Quellon Anti-Virus server %s build #%d, compiled %s, %s\n",
                 kVersion, kBuild, __DATE__, __TIME__);
    std::fputs("Copyright (C) 2026 the orvaclient developers.\n", out);
}

int read_options(int argc, char **argv, RunOptions *options) {
    if (argc <= 1) {
        print_help(argc == 1 ? argv[0] : "orvaclient");
        return 0;
    }

    int option;
    while ((option = getopt(argc, argv, "hvquscp:n:rj:t:w")) != -1) {
        switch (option) {
        case 'h':
            print_help(argv[0]);
            return 0;
        case 'v':
            print_version(stderr);
            return 0;
        case 'q':
            options->quiet = true;
            break;
        case 'u':
            options->scan_flags |= SCAN_CURE;
            break;
        case 's':
            options->scan_mode = true;
            break;
        case 'c':
            options->check_mode = true;
            break;
        case 'p': {
            int status = set_server_path(optarg, options);
            if (status != kOptionsValid) return status;
            break;
        }
        case 'r':
            // A tree has no meaningful last file.
            options->recursive = true;
            options->whole_run = true;
            break;
        case 'w':
            options->whole_run = true;
            break;
        case 'j': {
            int status = set_connections(optarg, options);
            if (status != kOptionsValid) return status;
            break;
        }
        case 't':
            if (options->tcp_address != nullptr)
                return fail("ERROR: the address of the orvaserver has been already specified!\n",
                            kRunFailed);
            if (!tcp_address_valid(optarg))
                return fail("ERROR: -t expects host[:port] with a port from 1 to 65535\n",
                            kBadCommandLine);
            options->tcp_address = optarg;
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
    options->first_operand = optind;

    if (options->server_path != nullptr && options->tcp_address != nullptr)
        return fail("ERROR: -p and -t are exclusive: specify only one of them\n", kBadCommandLine);
    if (options->server_path == nullptr && options->tcp_address == nullptr)
        return fail("ERROR: required parameter -p was not specified\n", kBadCommandLine);
    if (options->check_mode == options->scan_mode)
        return fail("ERROR: either -c or -s switch should be specified\n", kBadCommandLine);
    if (options->scan_mode && optind >= argc)
        return fail("ERROR: at least one file should be specified for scanning\n", kBadCommandLine);
    return kOptionsValid;
}

// Reading the command line: GNU getopt, the help and version texts, and the
// checks that the options describe a run.
#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "cli/paths.h"
#include "client/connect.h"

namespace {

// Values of the options that have long names; those of -r, -j, -t and -w
// too, so that any failure getopt_long reports for a long option has an
// optopt of 0 (unknown, ambiguous) or one of these.
enum LongOption {
    kRecursive = 256,
    kJobs,
    kTcp,
    kWholeRun,
    kExclude,
    kFilesFrom,
    kNull,
    kInfected,
    kMove,
    kCopy,
    kJson,
    kSummary,
    kProgress,
    kWait,
    kTimeout,
    kRevive,
};

constexpr struct option kLongOptions[] = {
    {"recursive", no_argument, nullptr, kRecursive},
    {"jobs", required_argument, nullptr, kJobs},
    {"tcp", required_argument, nullptr, kTcp},
    {"whole-run", no_argument, nullptr, kWholeRun},
    {"exclude", required_argument, nullptr, kExclude},
    {"files-from", required_argument, nullptr, kFilesFrom},
    {"null", no_argument, nullptr, kNull},
    {"infected", no_argument, nullptr, kInfected},
    {"move", required_argument, nullptr, kMove},
    {"copy", required_argument, nullptr, kCopy},
    {"json", no_argument, nullptr, kJson},
    {"summary", no_argument, nullptr, kSummary},
    {"progress", no_argument, nullptr, kProgress},
    {"wait", required_argument, nullptr, kWait},
    {"timeout", required_argument, nullptr, kTimeout},
    {"revive", required_argument, nullptr, kRevive},
    {nullptr, 0, nullptr, 0},
};

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
                 "   -t<addr> Connect over TCP to host[:port][,host[:port]...] instead of -p\n"
                 "   -w       Exit with the status of the most severe finding of the run\n"
                 "   --exclude=PATTERN  In trees, skip files and folders that match PATTERN\n"
                 "   --files-from=FILE  Also scan the names in FILE, one per line (- for stdin)\n"
                 "   --null             The names in the --files-from list end in NUL bytes\n"
                 "   --infected         Print only the results of files not found clean\n"
                 "   --move=DIR         Move each file in which a threat remains into DIR\n"
                 "   --copy=DIR         Copy each file in which a threat remains into DIR\n"
                 "   --json             Print each result as one JSON object per line\n"
                 "   --summary          Print a summary of the run on standard error\n"
                 "   --progress         Show the progress on standard error if it is a terminal\n"
                 "   --wait=SECONDS     Retry the first connection for up to SECONDS\n"
                 "   --timeout=SECONDS  Give up a connect or a wait for the server after SECONDS\n"
                 "   --revive=SECONDS   Try a listed server that failed again after SECONDS\n",
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

// A number of whole seconds from `least` to kMaxWaitSec into *seconds; the
// exit status of the run after `message` when the value is not one, else
// kOptionsValid.
int set_seconds(const char *value, int least, const char *message, int *seconds) {
    char *end = nullptr;
    long number = std::strtol(value, &end, 10);
    if (value[0] < '0' || value[0] > '9' || *end != '\0' || number < least || number > kMaxWaitSec)
        return fail(message, kBadCommandLine);
    *seconds = static_cast<int>(number);
    return kOptionsValid;
}

// The -t value: one address, checked as the library checks it, or a list of
// them separated by commas, parsed into the run's server list.
int set_tcp_address(const char *value, RunOptions *options) {
    if (options->tcp_address != nullptr)
        return fail("ERROR: the address of the orvaserver has been already specified!\n",
                    kRunFailed);
    if (std::strchr(value, ',') == nullptr) {
        if (conn_check_address(value) != RC_OK)
            return fail("ERROR: -t expects host[:port] with a port from 1 to 65535\n",
                        kBadCommandLine);
        options->tcp_address = value;
        return kOptionsValid;
    }
    ServerListError bad{};
    ResultCode code = server_list_parse(value, &options->server_list, &bad);
    if (code == RC_NO_MEMORY) return fail("ERROR: Could not allocate memory!\n", kRunFailed);
    if (code != RC_OK) {
        std::fprintf(stderr,
                     "ERROR: -t expects host[:port],host[:port],... with ports from 1 to 65535; ");
        if (bad.length == 0) {
            std::fprintf(stderr, "item %u of the list is empty\n", bad.item + 1);
        } else {
            std::fprintf(stderr, "item %u of the list is not: %.*s\n", bad.item + 1,
                         static_cast<int>(bad.length), value + bad.offset);
        }
        return kBadCommandLine;
    }
    options->tcp_address = value;
    return kOptionsValid;
}

int add_exclude(const char *pattern, RunOptions *options) {
    auto *grown = static_cast<const char **>(
        std::realloc(options->excludes, (options->exclude_count + 1) * sizeof(const char *)));
    if (grown == nullptr) return fail("ERROR: Could not allocate memory!\n", kRunFailed);
    grown[options->exclude_count++] = pattern;
    options->excludes = grown;
    return kOptionsValid;
}

int set_quarantine(const char *folder, bool copies, RunOptions *options) {
    if (options->quarantine != nullptr)
        return fail("ERROR: --move or --copy has been already specified\n", kBadCommandLine);
    options->quarantine = folder;
    options->quarantine_copies = copies;
    return kOptionsValid;
}

// Checks that the options with long names fit together; the run's exit
// status when they do not, else kOptionsValid.
int check_long_options(const RunOptions &options, int argc, char **argv) {
    if (options.null_separated && options.files_from == nullptr)
        return fail("ERROR: --null applies to the list of --files-from\n", kBadCommandLine);
    if (options.files_from != nullptr && std::strcmp(options.files_from, "-") == 0) {
        for (int i = options.first_operand; i < argc; ++i) {
            if (std::strcmp(argv[i], "-") == 0)
                return fail("ERROR: standard input cannot be both the list of --files-from and "
                            "a - operand\n",
                            kBadCommandLine);
        }
    }
    return kOptionsValid;
}

} // namespace

void release_options(RunOptions *options) {
    std::free(options->server_path);
    std::free(options->excludes);
    server_list_free(options->server_list);
    options->server_path = nullptr;
    options->excludes = nullptr;
    options->server_list = nullptr;
}

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
    while ((option = getopt_long(argc, argv, "hvquscp:n:rj:t:w", kLongOptions, nullptr)) != -1) {
        int status = kOptionsValid;
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
        case 'p':
            status = set_server_path(optarg, options);
            break;
        case 'r':
        case kRecursive:
            // A tree has no meaningful last file.
            options->recursive = true;
            options->whole_run = true;
            break;
        case 'w':
        case kWholeRun:
            options->whole_run = true;
            break;
        case 'j':
        case kJobs:
            status = set_connections(optarg, options);
            break;
        case kExclude:
            status = add_exclude(optarg, options);
            break;
        case kFilesFrom:
            if (options->files_from != nullptr)
                return fail("ERROR: --files-from has been already specified\n", kBadCommandLine);
            options->files_from = optarg;
            break;
        case kNull:
            options->null_separated = true;
            break;
        case kInfected:
            options->infected_only = true;
            break;
        case kMove:
        case kCopy:
            status = set_quarantine(optarg, option == kCopy, options);
            break;
        case kJson:
            options->json = true;
            break;
        case kSummary:
            options->summary = true;
            break;
        case kProgress:
            options->progress = true;
            break;
        case kWait:
            status = set_seconds(optarg, 0,
                                 "ERROR: --wait expects a number of seconds from 0 to 86400\n",
                                 &options->wait_sec);
            break;
        case kTimeout:
            status = set_seconds(optarg, 1,
                                 "ERROR: --timeout expects a number of seconds from 1 to 86400\n",
                                 &options->timeout_sec);
            break;
        case kRevive:
            status = set_seconds(optarg, 0,
                                 "ERROR: --revive expects a number of seconds from 0 to 86400\n",
                                 &options->revive_sec);
            break;
        case 't':
        case kTcp:
            status = set_tcp_address(optarg, options);
            break;
        case 'n':
            // Accepted for compatibility: its value is consumed and ignored.
            std::fprintf(stderr, "Unrecognized option '%c'\n", 'n');
            break;
        default:
            // getopt_long has said what is wrong. A long option that is
            // unknown, ambiguous, or lacks or has an unwanted value ends the
            // run: a misspelt --move must not scan without moving.
            if (optopt == 0 || optopt >= kRecursive)
                return fail("ERROR: invalid long option; orvaclient -h lists the options\n",
                            kBadCommandLine);
            std::fprintf(stderr, "Unrecognized option '%c'\n", optopt);
            break;
        }
        if (status != kOptionsValid) return status;
    }
    options->first_operand = optind;
    if (options->server_list != nullptr && options->revive_sec >= 0)
        server_list_set_revive(options->server_list, static_cast<uint32_t>(options->revive_sec));

    if (options->server_path != nullptr && options->tcp_address != nullptr)
        return fail("ERROR: -p and -t are exclusive: specify only one of them\n", kBadCommandLine);
    if (options->server_path == nullptr && options->tcp_address == nullptr)
        return fail("ERROR: required parameter -p was not specified\n", kBadCommandLine);
    if (options->check_mode == options->scan_mode)
        return fail("ERROR: either -c or -s switch should be specified\n", kBadCommandLine);
    if (options->scan_mode && optind >= argc && options->files_from == nullptr)
        return fail("ERROR: at least one file should be specified for scanning\n", kBadCommandLine);
    return check_long_options(*options, argc, argv);
}

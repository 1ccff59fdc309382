// The scan loop of the front end over one connection, and the choice
// between it and the parallel one.
#include "cli/scan_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/parallel_scan.h"
#include "cli/quarantine.h"
#include "cli/report.h"
#include "cli/server.h"
#include "cli/stdin_dump.h"
#include "client/commands.h"

namespace {

constexpr char kNoMemory[] = "ERROR: Could not allocate memory!\n";
constexpr int kBadCommandLine = 9;

constexpr size_t kErrorPrefix = sizeof "ERROR: " - 1;
// A scan cut off by a lost connection is tried this often in all.
constexpr int kAttempts = 2;

// The connection in use and the index of its server; no connection once
// every listed server has failed.
struct Current {
    ServerConnection *conn;
    uint32_t server;
};

// A connection that a scan has closed because its upload stopped short (the
// server would take the next bytes as the rest of the file) is replaced by a
// new one to the same server, so that only that file fails. When none can
// be opened, every later scan fails on the closed connection; with a list,
// the next file looks for a server again.
void reopen(Current *at, const ServerSet &servers, bool *may_reopen) {
    uint32_t opened = at->server;
    ResultCode code = RC_OK;
    const char *failure = nullptr;
    ServerConnection *fresh = open_server(servers, at->server, 0, &opened, &code, &failure);
    if (fresh == nullptr) {
        // The fatal message without its "ERROR: ".
        std::fprintf(stderr, "A new connection could not be opened: %s", failure + kErrorPrefix);
        *may_reopen = false;
        if (servers.list != nullptr) {
            close_server(at->conn);
            at->conn = nullptr;
            *may_reopen = true;
        }
        return;
    }
    close_server(at->conn);
    at->conn = fresh;
    at->server = opened;
}

// After a listed server failed: a connection to the first server behind it
// that is not down. False when every server is down or none of them works.
bool move_on(Current *at, const ServerSet &servers) {
    uint32_t next = (at->server + 1) % server_count(servers);
    if (first_live_server(servers, next) < 0) return false;
    uint32_t opened = next;
    ResultCode code = RC_OK;
    const char *failure = nullptr;
    at->conn = open_server(servers, next, 0, &opened, &code, &failure);
    if (at->conn == nullptr) return false;
    at->server = opened;
    return true;
}

// Scans one job on the connection in use. With a list of servers, a server
// whose connection is lost is marked down, and the scan is tried once more
// on the next one, unless a cured copy had already been written over the
// file: that file is no longer the one that was scanned.
ResultCode scan_job(Current *at, const ScanJob &job, ScanReport *report, const ScanContext &run,
                    bool *may_reopen) {
    const ServerSet &servers = *run.servers;
    bool listed = servers.list != nullptr;
    if (at->conn == nullptr && !(listed && move_on(at, servers))) return RC_READ_FAILED;
    for (int attempt = 1;; ++attempt) {
        conn_scan_identity(at->conn, job.device, job.inode);
        ResultCode code = conn_scan(at->conn, job.path, report, run.options->scan_flags, nullptr);
        if (code == RC_COPY_READ_FAILED && conn_fd(at->conn) < 0 && *may_reopen) {
            reopen(at, servers, may_reopen);
            return code;
        }
        if (!listed || !connection_lost(code)) return code;
        bool cured_written = conn_scan_wrote_file(at->conn) != 0;
        mark_server_down(servers, at->server, code);
        close_server(at->conn);
        at->conn = nullptr;
        if (cured_written || attempt == kAttempts || !move_on(at, servers)) return code;
        scan_report_clear(report);
    }
}

// Scans job after job on one connection, each to its end, then sends QUIT.
// Returns the run's status; at->conn is the connection in use at the end.
int scan_one_by_one(Current *at, FileSource *source, const ScanContext &run) {
    const RunOptions &options = *run.options;
    bool may_reopen = true;
    ScanReport report{};
    int status = 0;
    for (;;) {
        ScanJob job;
        NextJob next = file_source_next(source, &job);
        if (next == NextJob::End) break;
        if (next == NextJob::Ready && job.from_stdin && !prepare_stdin_job(&job))
            next = NextJob::NoMemory;
        if (next == NextJob::NoMemory) {
            release_job(&job);
            std::fputs(kNoMemory, stderr);
            status = 1;
            break;
        }
        ResultCode code = RC_OK;
        if (job.failure == JobFailure::None) {
            // The file has just been examined; the scan need not examine it
            // again.
            progress_started(run.output->progress, job.name, run.output->stats);
            code = scan_job(at, job, &report, run, &may_reopen);
            quarantine_after_scan(run.quarantine, &job, code, report);
        }
        int file_status = report_job(job, code, &report, run.output);
        status = fold_status(status, file_status, options.whole_run);
        release_job(&job);
    }
    if (at->conn != nullptr) conn_quit(at->conn);
    return status;
}

// Opens what the options name besides the server: the quarantine folder and
// the list of names. The exit status when one cannot be opened (after its
// message), else kOptionsValid.
int open_run_files(const RunOptions &options, Quarantine **quarantine, FILE **list) {
    if (options.quarantine != nullptr) {
        *quarantine = quarantine_open(options.quarantine, options.quarantine_copies);
        if (*quarantine == nullptr) {
            int error = errno;
            std::fprintf(stderr, "ERROR: %s expects an existing folder, not a link: %s: %s\n",
                         options.quarantine_copies ? "--copy" : "--move", options.quarantine,
                         error == ELOOP ? "a symbolic link" : std::strerror(error));
            return kBadCommandLine;
        }
    }
    if (options.files_from != nullptr) {
        *list = std::strcmp(options.files_from, "-") == 0 ? stdin
                                                          : std::fopen(options.files_from, "re");
        if (*list == nullptr) {
            std::fprintf(stderr, "ERROR: Could not open the list of files %s: %s\n",
                         options.files_from, std::strerror(errno));
            return kBadCommandLine;
        }
    }
    return kOptionsValid;
}

int scan_source(FileSource *source, const ScanContext &run) {
    const RunOptions &options = *run.options;
    if (options.connections > 1) return scan_in_parallel(source, run);
    const char *failure = nullptr;
    Current at{nullptr, 0};
    at.conn = open_server_waiting(*run.servers, 0, options.wait_sec, &at.server, &failure);
    if (at.conn == nullptr) {
        std::fputs(failure, stderr);
        return 1;
    }
    run.output->connected = true;
    int status = scan_one_by_one(&at, source, run);
    close_server(at.conn);
    return status;
}

} // namespace

int run_scan_mode(const RunOptions &options, int argc, char **argv) {
    int64_t start_ms = monotonic_ms();
    Quarantine *quarantine = nullptr;
    FILE *list = nullptr;
    int status = open_run_files(options, &quarantine, &list);
    if (status != kOptionsValid) {
        quarantine_close(quarantine);
        return status;
    }

    SourceSettings settings;
    settings.operands = argv + options.first_operand;
    settings.count = argc - options.first_operand;
    settings.recursive = options.recursive;
    settings.excludes = options.excludes;
    settings.exclude_count = options.exclude_count;
    settings.list = list;
    settings.list_name = options.files_from;
    settings.list_delimiter = options.null_separated ? '\0' : '\n';
    if (quarantine != nullptr) {
        // Files moved into a folder inside a tree are not scanned again.
        settings.skip_folder = true;
        quarantine_identity(quarantine, &settings.skip_device, &settings.skip_inode);
    }
    RunOutput output;
    output.quiet = options.quiet;
    output.json = options.json;
    output.infected_only = options.infected_only;
    output.copies = options.quarantine_copies;
    if (options.progress) output.progress = progress_create(start_ms);

    FileSource *source = file_source_create(settings);
    if (source == nullptr) {
        std::fputs(kNoMemory, stderr);
        status = 1;
    } else {
        ServerSet servers = servers_of(options);
        status = scan_source(source, {&options, &servers, &output, quarantine});
    }
    progress_end(output.progress);
    file_source_free(source);
    if (list != nullptr && list != stdin) std::fclose(list);
    quarantine_close(quarantine);
    remove_stdin_dump();
    status = finish_output(status);
    if (options.summary && output.connected)
        print_summary(output.stats, start_ms,
                      options.quarantine == nullptr ? nullptr
                      : options.quarantine_copies   ? "Copied"
                                                    : "Moved");
    return status;
}

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

// A connection that a scan has closed because its upload stopped short (the
// server would take the next bytes as the rest of the file) is replaced by a
// new one, so that only that file fails. Returns the connection to go on
// with: the new one, or the closed one, on which every later scan fails.
ServerConnection *reopen(ServerConnection *conn, const RunOptions &options) {
    const char *failure = nullptr;
    ServerConnection *fresh = open_server(options.address(), 0, &failure);
    if (fresh == nullptr) {
        constexpr size_t kPrefix = sizeof "ERROR: " - 1;
        // The fatal message without its "ERROR: ".
        std::fprintf(stderr, "A new connection could not be opened: %s", failure + kPrefix);
        return conn;
    }
    close_server(conn);
    return fresh;
}

// Scans job after job on one connection, each to its end, then sends QUIT.
// Returns the run's status; *conn is the connection in use at the end.
int scan_one_by_one(ServerConnection **conn_in_use, FileSource *source, const ScanContext &run) {
    const RunOptions &options = *run.options;
    ServerConnection *conn = *conn_in_use;
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
            conn_scan_identity(conn, job.device, job.inode);
            code = conn_scan(conn, job.path, &report, options.scan_flags, nullptr);
            if (code == RC_COPY_READ_FAILED && conn->sock < 0 && may_reopen) {
                conn = reopen(conn, options);
                *conn_in_use = conn;
                may_reopen = conn->sock >= 0;
            }
            quarantine_after_scan(run.quarantine, &job, code, report);
        }
        int file_status = report_job(job, code, &report, run.output);
        status = fold_status(status, file_status, options.whole_run);
        release_job(&job);
    }
    conn_quit(conn);
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
    ServerConnection *conn = open_server_waiting(options.address(), 0, options.wait_sec, &failure);
    if (conn == nullptr) {
        std::fputs(failure, stderr);
        return 1;
    }
    run.output->connected = true;
    int status = scan_one_by_one(&conn, source, run);
    close_server(conn);
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
        status = scan_source(source, {&options, &output, quarantine});
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

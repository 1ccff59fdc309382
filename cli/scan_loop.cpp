// The scan loop of the front end over one connection, and the choice
// between it and the parallel one.
#include "cli/scan_loop.h"

#include <cstdio>

#include "cli/parallel_scan.h"
#include "cli/report.h"
#include "cli/server.h"
#include "cli/stdin_dump.h"
#include "client/commands.h"

namespace {

constexpr char kNoMemory[] = "ERROR: Could not allocate memory!\n";

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
int scan_one_by_one(ServerConnection **conn_in_use, FileSource *source, const RunOptions &options) {
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
            conn_scan_identity(conn, job.device, job.inode);
            code = conn_scan(conn, job.path, &report, options.scan_flags, nullptr);
            if (code == RC_COPY_READ_FAILED && conn->sock < 0 && may_reopen) {
                conn = reopen(conn, options);
                *conn_in_use = conn;
                may_reopen = conn->sock >= 0;
            }
        }
        int file_status = report_job(job, code, &report, options.quiet);
        status = fold_status(status, file_status, options.whole_run);
        release_job(&job);
    }
    conn_quit(conn);
    return status;
}

} // namespace

int run_scan_mode(const RunOptions &options, int argc, char **argv) {
    FileSource *source = file_source_create(argv + options.first_operand,
                                            argc - options.first_operand, options.recursive);
    if (source == nullptr) {
        std::fputs(kNoMemory, stderr);
        return 1;
    }
    int status;
    if (options.connections > 1) {
        status = scan_in_parallel(source, options);
    } else {
        const char *failure = nullptr;
        ServerConnection *conn = open_server(options.address(), 0, &failure);
        if (conn == nullptr) {
            std::fputs(failure, stderr);
            status = 1;
        } else {
            status = scan_one_by_one(&conn, source, options);
            close_server(conn);
        }
    }
    file_source_free(source);
    remove_stdin_dump();
    return finish_output(status);
}

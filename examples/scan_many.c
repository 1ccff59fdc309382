/* Scans several files at once through the orvaclient connection library,
 * from C, with the program's own poll loop: one connection per file, all
 * opened and scanned side by side.
 *
 *   scan_many SERVERS FILE...
 *
 * SERVERS is one server address or a list of them separated by commas (Unix
 * socket paths, host, host:port, [v6]:port); the connections are spread
 * over the list in turn. Prints one line per file, in the order given:
 *
 *   FILE VERDICT
 *   FILE ERROR <what went wrong>
 *
 * Exit status: 0 every file clean, 1 a verdict other than OK, 2 a file that
 * could not be scanned.
 *
 * Build it as scan_file.c beside it is built (pkg-config or CMake). */
#define _XOPEN_SOURCE 700 /* realpath */

#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client/connect.h"
#include "client/connection.h"
#include "client/scan.h"
#include "client/server_list.h"

#define MOST_FILES 64

struct Job {
    const char *name;
    char path[PATH_MAX];
    ServerConnection *conn;
    ScanReport report;
    int scanning; /* 0 while the connection opens, 1 once the scan is queued */
    int done;
    ResultCode code;
};

/* The open has ended with `code`: on success the scan is queued (it only
 * queues, as the connection has CONN_NO_WAIT); otherwise the job is done. */
static void open_ended(struct Job *job, ResultCode code) {
    if (code == RC_OK) {
        code = conn_scan(job->conn, job->path, &job->report, SCAN_DEFAULT_FLAGS, NULL);
        job->scanning = 1;
    }
    if (code != RC_BUSY) {
        job->done = 1;
        job->code = code;
    }
}

int main(int argc, char **argv) {
    static struct Job jobs[MOST_FILES];
    struct pollfd waits[MOST_FILES];
    ServerList *servers = NULL;
    ServerListError bad;
    int count = argc - 2;
    int i;
    int left;
    int status = 0;

    if (argc < 3 || count > MOST_FILES) {
        fprintf(stderr, "usage: %s SERVERS FILE... (at most %d files)\n", argv[0], MOST_FILES);
        return 2;
    }
    if (server_list_parse(argv[1], &servers, &bad) != RC_OK) {
        fprintf(stderr, "bad server address: %.*s\n", (int)bad.length, argv[1] + bad.offset);
        return 2;
    }

    /* Every open starts at once; none waits for another's greeting. */
    for (i = 0; i < count; ++i) {
        struct Job *job = &jobs[i];
        int32_t server = server_list_next(servers);
        job->name = argv[i + 2];
        memset(&job->report, 0, sizeof job->report);
        job->conn = conn_create(8192, 60, 60, CONN_NO_WAIT);
        if (job->conn == NULL || realpath(job->name, job->path) == NULL) {
            job->done = 1;
            job->code = RC_BAD_ARGUMENT;
            continue;
        }
        open_ended(job,
                   conn_open_start(server_list_address(servers, (uint32_t)server), 10, job->conn));
    }

    /* The loop: wait on every connection still busy, for what each one
     * waits for, then let each handle what poll reported. */
    for (left = count; left > 0;) {
        int64_t wait = 1000;
        int ready;
        for (i = 0; i < count; ++i) {
            int64_t ms = conn_timeout_ms(jobs[i].conn);
            waits[i].fd = jobs[i].done ? -1 : conn_fd(jobs[i].conn);
            waits[i].events = jobs[i].done ? 0 : conn_events(jobs[i].conn);
            waits[i].revents = 0;
            if (!jobs[i].done && ms < wait) wait = ms;
        }
        ready = poll(waits, (nfds_t)count, (int)wait);
        for (left = 0, i = 0; i < count; ++i) {
            struct Job *job = &jobs[i];
            ResultCode code;
            if (job->done) continue;
            code = conn_process(job->conn, ready > 0 ? waits[i].revents : 0);
            if (code != RC_BUSY && !job->scanning) {
                open_ended(job, code);
            } else if (code != RC_BUSY) {
                job->done = 1;
                job->code = code;
            }
            if (!job->done) ++left;
        }
    }

    for (i = 0; i < count; ++i) {
        struct Job *job = &jobs[i];
        if (job->code != RC_OK) {
            printf("%s ERROR %s\n", job->name, result_code_text(job->code));
            status = 2;
        } else {
            printf("%s %s\n", job->name, verdict_name(job->report.verdict));
            if (job->report.verdict != VERDICT_OK && status == 0) status = 1;
        }
        scan_report_clear(&job->report);
        conn_free(job->conn); /* closes the connection, whatever its state */
    }
    server_list_free(servers);
    return status;
}

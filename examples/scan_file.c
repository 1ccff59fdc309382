/* Scans one file through the orvaclient connection library, from C.
 *
 *   scan_file ADDRESS FILE [cure]
 *
 * ADDRESS is the path of the server's Unix-domain socket (beginning with "/")
 * or a TCP server as host or host:port. Over the Unix socket the server opens
 * the file itself, so the path sent is made absolute first. Prints the file
 * and the verdict name, then one line per object that the server reported:
 *
 *   FILE VERDICT
 *   infected <what the server said about the object>
 *   cured ... / warning ... / suspicion ...
 *
 * Exit status: 0 clean, 1 the verdict is not OK, 2 the scan could not be made.
 *
 * Build with pkg-config (add -Wl,-rpath,$(pkg-config --variable=libdir
 * orvaclient) when the package is not installed in a system directory):
 *
 *   cc -std=c99 scan_file.c $(pkg-config --cflags --libs orvaclient) -o scan_file
 *
 * or with CMake through find_package, see CMakeLists.txt beside this file. */
#define _XOPEN_SOURCE 700 /* realpath */

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"
#include "client/scan.h"

/* A report list holds one line per object, each ended by "\n"; null when the
 * server reported none. */
static void print_list(const char *label, const char *list) {
    while (list != NULL && *list != '\0') {
        const char *end = strchr(list, '\n');
        size_t length = end != NULL ? (size_t)(end - list) : strlen(list);
        printf("%s %.*s\n", label, (int)length, list);
        list += length + (end != NULL ? 1 : 0);
    }
}

int main(int argc, char **argv) {
    char path[PATH_MAX];
    ScanFlags flags = SCAN_DEFAULT_FLAGS;
    ScanReport report;
    ServerConnection *conn;
    ResultCode rc;
    int status;

    if (argc < 3 || argc > 4 || (argc == 4 && strcmp(argv[3], "cure") != 0)) {
        fprintf(stderr, "usage: %s ADDRESS FILE [cure]\n", argv[0]);
        return 2;
    }
    if (realpath(argv[2], path) == NULL) {
        perror(argv[2]);
        return 2;
    }
    if (argc == 4) flags |= SCAN_CURE;

    /* Two 8 KiB buffers; no wait for the socket lasts longer than 60 s. */
    conn = conn_create(8192, 60, 60, 0);
    if (conn == NULL) {
        fputs("out of memory\n", stderr);
        return 2;
    }
    if (conn_open(argv[1], 10, conn) != RC_OK) {
        fprintf(stderr, "cannot connect to %s: result code 0x%08lx\n", argv[1],
                (unsigned long)conn->result);
        conn_free(conn); /* a failed conn_open has closed its socket */
        return 2;
    }

    memset(&report, 0, sizeof report);
    rc = conn_scan(conn, path, &report, flags, NULL);
    if (rc != RC_OK) {
        fprintf(stderr, "%s: scan failed, result code 0x%08lx\n", argv[2], (unsigned long)rc);
        status = 2;
    } else {
        printf("%s %s\n", argv[2], verdict_name(report.verdict));
        print_list("infected", report.infected_list);
        print_list("cured", report.cured_list);
        print_list("warning", report.warning_list);
        print_list("suspicion", report.suspicion_list);
        status = report.verdict == VERDICT_OK ? 0 : 1;
    }
    scan_report_clear(&report);

    conn_quit(conn); /* sends QUIT and closes the socket */
    conn_free(conn);
    return status;
}

/* The connection library's side of the upload benchmark: connects to a TCP
 * server through the library and scans each file with conn_scan (NETSCAN and
 * the upload after 310), printing "FILE VERDICT" as the floor client does.
 *
 * Usage: library_client HOST:PORT FILE... */
#include <stdio.h>

#include "client/commands.h"
#include "client/connect.h"
#include "client/scan.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: library_client HOST:PORT FILE...\n");
        return 1;
    }
    ServerConnection *conn = conn_create(8192, 60, 60, 0);
    if (conn == NULL || conn_open(argv[1], 10, conn) != RC_OK) {
        fprintf(stderr, "cannot connect\n");
        return 1;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        ScanReport report = {0};
        ResultCode code = conn_scan(conn, argv[i], &report, SCAN_DEFAULT_FLAGS, NULL);
        printf("%s %s\n", argv[i], code == RC_OK ? verdict_name(report.verdict) : "ERROR");
        status = code == RC_OK ? 0 : 7;
        scan_report_clear(&report);
    }
    conn_quit(conn);
    conn_free(conn);
    return status;
}

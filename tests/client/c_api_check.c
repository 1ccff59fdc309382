/* Compiled as C99: the library's public headers are plain C with C linkage,
 * and a C program can create, use and release a connection. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"
#include "client/result_codes.h"
#include "client/scan.h"
#include "client/transfer.h"
#include "digest/md5.h"

static int failures = 0;

static void check(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    ServerConnection *conn = conn_create(128, 1, 1, CONN_NO_WAIT);
    check(conn != NULL, "conn_create");
    if (conn == NULL) return 1;
    check(conn->state == NULL && conn->result == RC_OK, "fresh record is idle");
    check(conn_open("", 1, conn) == RC_BAD_ARGUMENT, "empty address refused");
    check(conn_send_command(conn, "NOOP\r\n", on_simple_reply, 0) == RC_BUSY, "queued");
    check(conn->state == send_pending, "state handler is the sending step");
    check(free_key_list(conn) == RC_OK, "free_key_list");
    check(conn_free(conn) == RC_OK, "conn_free");
    check(sizeof(ResultCode) == 4, "ResultCode is 32 bits");
    check(sizeof(((ServerConnection *)0)->server_tag) == 20, "server_tag holds 20 characters");
    check(sizeof(((ServerConnection *)0)->cured_digest) == 33, "cured_digest holds 33");
    check(sizeof(Md5Context) == 4 * 2 + 4 * 4 + 64 + 16, "Md5Context is plain data");
    return failures == 0 ? 0 : 1;
}

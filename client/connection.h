/* The connection record of the client library and the event loop that drives
 * it: queueing one command line, waiting on the socket with select, and
 * cutting the reply into lines for the command's reply handler. */
#ifndef ORVA_CLIENT_CONNECTION_H
#define ORVA_CLIENT_CONNECTION_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "client/result_codes.h"
#include "digest/md5.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of ServerConnection.flags. */
#define CONN_NO_WAIT 0x1u /* commands are only queued; the caller drives conn_step */
#define CONN_TCP 0x2u     /* the connection is a TCP connection (set by conn_open) */

typedef struct ServerConnection ServerConnection;
typedef struct KeyRecord KeyRecord;
typedef struct ScanReport ScanReport;

/* The current I/O step of a command; null in `state` means idle. */
typedef ResultCode (*StateHandler)(ServerConnection *conn);

/* Called once per reply line. `text` starts at the line's fifth character and
 * is valid only during the call; `is_final` is 1 on the last line of a reply. */
typedef void (*ReplyHandler)(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

/* Optional caller function told of per-object scan events (index 0..9). */
typedef void (*ProgressCallback)(int32_t event, const char *text);

struct ServerConnection {
    int32_t sock;
    uint16_t flags;
    int32_t sent_all;
    uint32_t greeting_word1;
    uint32_t greeting_word3;
    uint8_t db_day;
    uint8_t db_month;
    uint16_t db_year;
    uint32_t db_records;
    char server_tag[20];
    KeyRecord *key_list;
    ProgressCallback progress;
    ScanReport *report;
    uint32_t timeout_a_sec;
    uint32_t timeout_b_sec;
    char *recv_buf;
    uint32_t recv_len;
    uint32_t recv_size;
    char *send_buf;
    uint32_t send_len;
    uint32_t send_size;
    ReplyHandler on_reply;
    StateHandler state;
    FILE *cured_stream;
    FILE *scan_stream;
    char *scan_path;
    char *cured_temp_path;
    uint32_t cured_remaining;
    char cured_digest[33];
    Md5Context cured_md5;
    int32_t collect_names;
    int32_t body_ended;
    ResultCode result;
    /* Identity (device and inode) of the file being scanned, taken when the
     * scan starts, so that a cured copy is only written over that same file. */
    uint64_t scan_dev;
    uint64_t scan_ino;
    int32_t scan_identity_known;
    /* The failure of storing a cured copy during the scan in progress; the
     * reply's final line does not hide it from the caller. */
    ResultCode cured_result;
    /* A larger buffer that a long cured body is read through, so that it
     * takes fewer reads; held only while such a body is received. */
    char *body_buf;
    uint32_t body_buf_size;
    /* Bytes of the cured body still to come, counted whole, so that a body of
     * up to the largest signed 64-bit size is received exactly. The 32-bit
     * cured_remaining holds the same count saturated at 0xffffffff, so it is
     * non-zero while any byte is due. A caller that stores a count into
     * cured_remaining alone is obeyed: the wide count is used only while the
     * 32-bit field agrees with it. */
    uint64_t cured_remaining_wide;
    /* The size of the scanned file that the NETSCAN line announced, and the
     * bytes of it that the upload has still to take from the file: exactly
     * the announced bytes are sent, whatever the file holds by then. */
    uint64_t upload_size;
    uint64_t upload_remaining;
};

/* Creates an idle, unconnected record with two buffers of buffer_size bytes.
 * Returns null when memory runs out or buffer_size is 0. */
ServerConnection *conn_create(uint32_t buffer_size, uint32_t timeout_a_sec, uint32_t timeout_b_sec,
                              uint16_t flags);

/* Releases the record and its buffers. Does not close the socket nor release
 * the key list. */
ResultCode conn_free(ServerConnection *conn);

/* Queues one command line (CR LF included) with its reply handler. Without
 * CONN_NO_WAIT, runs the command to its end and returns its code; with it,
 * returns RC_BUSY once queued. When free_text is non-zero the text is freed
 * after it has been copied; a refused text is never freed. */
ResultCode conn_send_command(ServerConnection *conn, const char *text, ReplyHandler handler,
                             int32_t free_text);

/* Runs the event loop until the connection is idle. */
ResultCode conn_run(ServerConnection *conn);

/* One pass of the loop without waiting; returns what the step returned, 0 when
 * the connection is idle. */
ResultCode conn_step(ServerConnection *conn);

/* Hands every complete line in the receive buffer to the reply handler. */
ResultCode dispatch_reply_lines(ServerConnection *conn);

/* Writes the bytes queued in the send buffer once, keeping an unwritten tail
 * at its start. 1 when nothing is left queued, 0 when a tail is left, -1 when
 * the write failed. */
int32_t send_queued(ServerConnection *conn);

/* The two state handlers of the line protocol: write the queued command, and
 * read and dispatch reply lines. */
ResultCode send_pending(ServerConnection *conn);
ResultCode read_lines(ServerConnection *conn);

/* Reads and writes that retry when a signal interrupts them; sock_read
 * serves any descriptor. A write never raises SIGPIPE: writing to a
 * connection that the peer has closed fails like any other write. */
ssize_t sock_read(int fd, void *buffer, uint32_t count);
ssize_t sock_write(int fd, const void *bytes, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif

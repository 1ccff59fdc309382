/* The connection record of the client library and the event loop that drives
 * it: queueing one command line, waiting on the socket with poll, and cutting
 * the reply into lines for the command's reply handler.
 *
 * One record stands for one connection; one command at a time runs on it,
 * in the caller's thread. The record owns its two buffers, the scan's open
 * file and path copies and a cured copy's temporary file; it does not own
 * the caller's ScanReport nor (until free_key_list) release its key list. */
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

/* The current I/O step of a command; null in `state` means idle. A state
 * handler makes at most one read or one write on the socket, stores the next
 * step in `state`, and on a failed or empty read or write sets `state` to
 * null and `result` to RC_READ_FAILED or RC_WRITE_FAILED and returns it. */
typedef ResultCode (*StateHandler)(ServerConnection *conn);

/* Called once per reply line. `text` starts at the line's fifth character and
 * is valid only during the call; `is_final` is 1 on the last line of a reply.
 * The handler ends its command by setting `state` to null and storing the
 * command's code in `result`. */
typedef void (*ReplyHandler)(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

/* Optional caller function told of per-object scan events (index 0..9). */
typedef void (*ProgressCallback)(int32_t event, const char *text);

struct ServerConnection {
    int32_t sock; /* the socket; -1 while the record holds none */
    uint16_t flags;
    int32_t sent_all; /* 1 while nothing is left to write */
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
    char *recv_buf; /* received bytes not consumed yet, NUL-terminated */
    uint32_t recv_len;
    uint32_t recv_size;
    char *send_buf; /* the queued command line or upload piece */
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
    /* Set when a cured body has ended inside the receive buffer and the bytes
     * behind it stand at its start, waiting to be dispatched as lines. */
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
    /* Set by a reply handler whose line is followed by a cured body: the line
     * dispatcher then hands the bytes behind the line to the body. */
    int32_t body_follows;
    /* How the upload in progress sends the file: 0 not decided yet, 1 by the
     * kernel (the socket is non-blocking meanwhile), 2 through the send
     * buffer, where the kernel cannot send it. */
    int32_t upload_mode;
    /* The buffer of scan_stream, large so that the file is digested in few
     * reads; released with the stream. */
    char *scan_stream_buf;
    /* Set once the scan in progress, or the last one, began to write a cured
     * copy over the scanned file; see conn_scan_wrote_file. */
    int32_t cured_written;
};

/* Creates an idle, unconnected record (sock -1, result RC_OK) with a receive
 * and a send buffer of buffer_size bytes each, both filled with zero bytes.
 * Each wait of the event loop lasts at most the larger of the two timeouts,
 * in seconds. `flags` may hold CONN_NO_WAIT.
 *
 * The caller owns the record and releases it with conn_free. Returns null
 * when buffer_size is 0 or memory runs out; nothing stays allocated then. */
ServerConnection *conn_create(uint32_t buffer_size, uint32_t timeout_a_sec, uint32_t timeout_b_sec,
                              uint16_t flags);

/* Releases the record, its buffers and whatever an unfinished scan holds
 * (the scanned file's stream, the path copy, a cured copy's temporary file,
 * which is removed). It neither closes the socket (conn_quit does) nor
 * releases the key list (free_key_list does; call it first).
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_free(ServerConnection *conn);

/* Queues one command line with its reply handler: copies the text's bytes
 * (without the NUL; the line end CR LF must be part of the text) into the
 * send buffer. With free_text non-zero the library releases the text with
 * free once it is copied; a text that is refused stays the caller's.
 * Without CONN_NO_WAIT the command is run to its end with conn_run.
 *
 * Returns the command's code (see conn_run), or:
 *   RC_BUSY              another command is in progress (nothing is queued);
 *                        with CONN_NO_WAIT also when the command has been
 *                        queued: drive it with conn_step
 *   RC_COMMAND_TOO_LONG  the text is longer than the send buffer
 *   RC_BAD_ARGUMENT      conn or text is null */
ResultCode conn_send_command(ServerConnection *conn, const char *text, ReplyHandler handler,
                             int32_t free_text);

/* Runs the event loop until the connection is idle: waits with poll for the
 * socket (readable, and writable while bytes remain to be sent), each wait
 * bounded by the larger timeout, and calls the state handler when it is
 * ready. A wait interrupted by a signal starts again.
 *
 * Returns `result` once the connection is idle (at once when it is idle
 * already), or, leaving the command installed (the connection stays busy and
 * a cured copy in progress is discarded):
 *   RC_TIMEOUT        the socket was not ready within the time limit
 *   RC_WRITE_FAILED   the server sent bytes while the client still had bytes
 *                     to send
 *   RC_READ_FAILED    the wait failed, or the record holds no socket
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_run(ServerConnection *conn);

/* Performs one step of the command in progress without waiting: calls the
 * state handler (whose read or write blocks until the socket can serve it),
 * then dispatches the lines that a cured body which ended left behind.
 *
 * Returns what the state handler returned (RC_OK, or the failure that ended
 * the command, see conn_run and the transfer functions), RC_OK (0) when the
 * connection is idle, or RC_BAD_ARGUMENT when conn is null. */
ResultCode conn_step(ServerConnection *conn);

/* Hands every complete line in the receive buffer to `on_reply`, in order,
 * and removes it; lines of three characters or fewer, and every line while
 * `on_reply` is null, are removed without a call. The bytes behind a line
 * that announces a cured body go to that body. Bytes of an incomplete line
 * stay, NUL-terminated, at the start of the buffer.
 *
 * Returns RC_OK, or:
 *   RC_READ_FAILED    the buffer is full without a line end (nothing else
 *                     changes; read_lines then ends the command)
 *   RC_BAD_ARGUMENT   conn or its receive buffer is null */
ResultCode dispatch_reply_lines(ServerConnection *conn);

/* The state handler that writes the queued command line, once per call;
 * an unwritten tail stays at the start of the send buffer. Once every byte
 * is written it installs read_lines.
 *
 * Returns RC_OK, or RC_WRITE_FAILED when the write failed or wrote nothing
 * (the command then ends with that code in `result`). */
ResultCode send_pending(ServerConnection *conn);

/* The state handler that reads once into the receive buffer, behind the
 * bytes held, and dispatches the complete lines.
 *
 * Returns what dispatch_reply_lines returns, or RC_READ_FAILED, ending the
 * command with that code in `result`, when the server closed the
 * connection, the read failed, or the buffer is full without a line end. */
ResultCode read_lines(ServerConnection *conn);

/* read, retried when a signal interrupts it; any descriptor. Returns what
 * read returns. */
ssize_t sock_read(int fd, void *buffer, uint32_t count);

/* One write to the socket, retried when a signal interrupts it. It never
 * raises SIGPIPE: writing to a connection that the peer has closed fails with
 * EPIPE like any other write. A descriptor that is not a socket is written
 * with write. Returns what the write returns. */
ssize_t sock_write(int fd, const void *bytes, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif

/* The connection record of the client library and the event loop that drives
 * it: queueing one command line, waiting on the socket with poll, and cutting
 * the reply into lines for the command's reply handler.
 *
 * One record stands for one connection; one command at a time runs on it,
 * in the caller's thread, either inside the library's own loop (conn_run) or
 * in the caller's loop (conn_fd, conn_events, conn_timeout_ms, conn_process).
 * The record owns its socket, its two buffers, its key list, the scan's open
 * file and path copies and a cured copy's temporary file, and conn_free
 * releases them all; it does not own the caller's ScanReport. */
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
struct ConnOpening;
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
    /* The whole-command limit that conn_set_deadline gives, in seconds (0:
     * none), and the moment, in nanoseconds of the monotonic clock, by which
     * the command or open in progress must end (0: no deadline). */
    uint32_t deadline_sec;
    int64_t deadline_ns;
    /* When the current wait began: the start of the command or its last
     * step. Each wait lasts at most the larger timeout from there. */
    int64_t wait_start_ns;
    /* The open in progress: which step it is at (0: none), when its connect
     * time-out runs out, when a Unix-domain connect that found the server's
     * queue full tries again, and the addresses still to be tried. */
    int32_t open_phase;
    int64_t connect_deadline_ns;
    int64_t retry_at_ns;
    struct ConnOpening *opening;
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

/* Releases the record and everything it holds: a socket still open (closed
 * as conn_close closes it), the key list, the buffers, and whatever an
 * unfinished command or open holds (the scanned file's stream, the path
 * copy, a cured copy's temporary file, which is removed). A record whose
 * socket conn_quit has closed (sock -1) and whose list free_key_list has
 * released (key_list null) is released just the same.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_free(ServerConnection *conn);

/* Closes the connection's socket without a word to the server and discards
 * what is in progress on it: a command (a cured copy being received goes
 * with its temporary file, the file of an upload is closed) or an open. The
 * record is then idle and holds no socket (sock -1), ready for another
 * conn_open or conn_open_start; its key list, its greeting values, its
 * timeouts, flags and deadline stay. A record without a socket may be
 * closed as well.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_close(ServerConnection *conn);

/* 1 when the record holds an open socket, no command or open is in progress
 * and the server has neither sent anything nor closed the connection (a
 * look at the socket that does not wait); 0 otherwise, also for a null conn.
 * The server says nothing unasked: a kept connection that is not alive is
 * one to close. */
int32_t conn_alive(const ServerConnection *conn);

/* 1 while a command or an open is in progress on the connection (conn_busy
 * is then what makes a new command RC_BUSY), 0 when it is idle or conn is
 * null. */
int32_t conn_busy(const ServerConnection *conn);

/* Gives every later command, and every later open, `seconds` from its start
 * to end, however the server paces its reply: past that, in conn_run,
 * conn_process and conn_step alike, the command fails with RC_TIMEOUT as a
 * wait that ran out does (a cured copy being received is discarded; see
 * conn_run). A command starts when its line is queued (for conn_scan over
 * TCP, once the file has been digested), an open when conn_open or
 * conn_open_start is called. 0, the default, sets no deadline: each wait is
 * then bounded by the timeouts alone. The command in progress keeps the
 * deadline it started with.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_set_deadline(ServerConnection *conn, uint32_t seconds);

/* Sets (on non-zero) or clears CONN_NO_WAIT: with it, each command is only
 * queued and returns RC_BUSY, to be driven by the caller (conn_process or
 * conn_step); without it, each command waits for its end. The command in
 * progress is not affected.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_set_no_wait(ServerConnection *conn, int32_t on);

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
 * bounded by the larger timeout and by the deadline, and calls the state
 * handler when it is ready; it does so through conn_process, whose rules
 * are the loop's. A wait interrupted by a signal starts again. An open
 * started with conn_open_start is run to its end the same way.
 *
 * Returns `result` once the connection is idle (at once when it is idle
 * already), or, leaving the command installed (the connection stays busy and
 * a cured copy in progress is discarded; close it with conn_close):
 *   RC_TIMEOUT        the socket was not ready within the time limit, or the
 *                     deadline passed
 *   RC_WRITE_FAILED   the server sent bytes while the client still had bytes
 *                     to send
 *   RC_READ_FAILED    the wait failed, or the record holds no socket
 *   RC_BAD_ARGUMENT   conn is null
 * For an open, what conn_open returns. */
ResultCode conn_run(ServerConnection *conn);

/* Performs one step of the command in progress without waiting: calls the
 * state handler (whose read or write blocks until the socket can serve it),
 * then dispatches the lines that a cured body which ended left behind. With
 * a deadline (conn_set_deadline) the step waits for the socket at most until
 * then; during an open started by conn_open_start, the step waits for the
 * connect at most until its time-out.
 *
 * Returns what the state handler returned (RC_OK, or the failure that ended
 * the command, see conn_run and the transfer functions), RC_OK (0) when the
 * connection is idle, or RC_BAD_ARGUMENT when conn is null. With a deadline,
 * RC_TIMEOUT once it has passed (as conn_run: the command stays installed).
 * During the connect of an open, RC_BUSY while it goes on, or the open's
 * failure (see conn_open). */
ResultCode conn_step(ServerConnection *conn);

/* Driving connections from the caller's own event loop.
 *
 * A program that waits on many descriptors at once (several connections, or
 * its own sockets beside them) gives its connections CONN_NO_WAIT, so that a
 * command only queues its line and returns RC_BUSY, and opens them with
 * conn_open_start. In its loop it then asks each busy connection what to
 * wait for and hands it what poll reported:
 *
 *   struct pollfd p = { conn_fd(conn), conn_events(conn), 0 };
 *   int64_t ms = conn_timeout_ms(conn);
 *   int ready = poll(&p, 1, ms > 60000 ? 60000 : (int)ms);
 *   ResultCode rc = conn_process(conn, ready > 0 ? p.revents : 0);
 *   if (rc != RC_BUSY) ... the command (or open) has ended with rc
 *
 * The library keeps its own rules there, exactly as in conn_run: the time
 * limits, the server that must not speak while the client sends, the lines
 * behind a cured body. Ask conn_fd, conn_events and conn_timeout_ms again
 * after every conn_process: an open that tries a name's addresses in turn
 * changes the descriptor. */

/* The descriptor to wait on: the socket the record holds, or -1 when it holds
 * none, and also while an open over a Unix-domain socket waits for room in
 * the server's listen queue (the wait is then one of time alone, see
 * conn_timeout_ms). -1 for a null conn. */
int32_t conn_fd(const ServerConnection *conn);

/* The poll events that the step in progress waits for: POLLIN while a reply
 * is read; POLLOUT | POLLIN while bytes remain to be sent (POLLIN, to see a
 * server that speaks meanwhile, which fails the command); POLLOUT while a
 * TCP connect is in progress. 0 when the connection is idle, while a
 * Unix-domain open waits for room in the listen queue, or for a null conn. */
short conn_events(const ServerConnection *conn);

/* Milliseconds until the current wait runs out: the larger of the two
 * timeouts, counted from the start of the command or its last step; while an
 * open connects, its connect time-out (and the next try of a Unix-domain
 * connect that found the queue full); never beyond the deadline. 0 once that
 * time has passed (conn_process then ends the wait), -1 when the connection
 * is idle or conn is null. */
int64_t conn_timeout_ms(const ServerConnection *conn);

/* Moves the command or open in progress on, given what poll reported for
 * conn_fd (0 when the wait ran out, or when the caller's poll woke for some
 * other descriptor): reads or writes once what is ready, by exactly the rules
 * of conn_run, and never waits. A revents of 0 before conn_timeout_ms has
 * run out changes nothing.
 *
 * Returns RC_BUSY while the command or open goes on. Once a command has
 * ended, its code (as the command itself would return it, also in
 * `result`); once an open has ended, what conn_open returns for it (a failed
 * open has closed its socket: sock -1, idle). Or, for a command, leaving it
 * installed as conn_run does: the connection stays busy, a cured copy being
 * received is discarded, and the caller closes it with conn_close, as it
 * carries no further command:
 *   RC_TIMEOUT        the wait ran out (see conn_timeout_ms), or the deadline
 *                     passed
 *   RC_WRITE_FAILED   the server sent bytes while the client still had bytes
 *                     to send
 *   RC_READ_FAILED    poll reported POLLNVAL, or the record holds no socket
 * On an idle connection it returns `result` at once; RC_BAD_ARGUMENT when
 * conn is null. */
ResultCode conn_process(ServerConnection *conn, short revents);

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

/* Helpers that only the connection library itself uses. This header is
 * neither installed nor exported from the shared library: nothing here is a
 * promise to the library's callers. */
#ifndef ORVA_CLIENT_INTERNAL_H
#define ORVA_CLIENT_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "client/connection.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The steps of an open in progress (ServerConnection.open_phase; 0: none). */
#define OPEN_CONNECTING 1 /* a TCP connect waits to complete */
#define OPEN_RETRYING 2   /* a Unix-domain connect waits for room in the queue */
#define OPEN_GREETING 3   /* connected; the greeting is awaited */

/* Nanoseconds in a second and in a millisecond. */
#define NS_PER_SECOND INT64_C(1000000000)
#define NS_PER_MS INT64_C(1000000)

/* The monotonic clock, in nanoseconds. */
int64_t monotonic_ns(void);

/* Milliseconds from now until `deadline` (of monotonic_ns), rounded up; 0
 * once it has passed. */
uint64_t milliseconds_until(int64_t deadline);

/* Starts the whole-command limit of conn_set_deadline from `now`: sets
 * deadline_ns, 0 when there is none. */
void start_deadline(ServerConnection *conn, int64_t now);

/* Moves the connect of an open on, given what poll reported for its socket
 * (0: nothing, or the time ran out). RC_BUSY while the open goes on (the
 * greeting's wait included), else the open's failure. */
ResultCode open_progress(ServerConnection *conn, short revents);

/* Ends the open in progress with `code`, stored in `result`: closes its
 * socket (sock -1), releases what it holds and leaves the record idle. */
ResultCode open_failed(ServerConnection *conn, ResultCode code);

/* Releases the addresses that an open still had to try. */
void release_opening(ServerConnection *conn);

/* The state handler while an open connects, for conn_step: waits for the
 * connect at most until its time-out (or the deadline), then moves it on as
 * open_progress does and returns what that returns. */
ResultCode continue_open(ServerConnection *conn);

/* Writes all `length` bytes to `fd`: continues a short write, retries a write
 * that a signal interrupted. Returns 0, or -1 with errno from the write that
 * failed (ENOSPC for a write that wrote nothing). */
int write_all(int fd, const void *bytes, size_t length);

/* Waits with poll until `fd` is ready for `events` or `milliseconds` have
 * passed, however long that is. Returns poll's result: above 0 when ready
 * (what was reported is in *revents), 0 when the time passed, -1 with errno
 * (EINTR when a signal interrupted the wait). */
int wait_for_descriptor(int fd, short events, uint64_t milliseconds, short *revents);

/* Removes `count` bytes from the start of the receive buffer (at most
 * recv_len); the bytes behind them move to its start, NUL-terminated when
 * there is room. The one place where bytes move inside the receive buffer. */
void drop_received(ServerConnection *conn, uint32_t count);

/* Writes the queued bytes of the send buffer once, keeping an unwritten tail
 * at its start. 1 when nothing is left queued, 0 when a tail is left, -1
 * when the write failed. */
int32_t send_queued(ServerConnection *conn);

/* Closes the scanned file's stream, if open, and releases its buffer. */
void close_scan_stream(ServerConnection *conn);

/* Starts the upload after a final 310: installs upload_file for exactly the
 * size that the NETSCAN line announced, from the start of the file. */
void begin_upload(ServerConnection *conn);

/* Handles a 312 line (its text) inside a scan reply: prepares the temporary
 * file and the digest and asks the line dispatcher, through body_follows, to
 * hand over the bytes behind the line. A line without size or digest is
 * ignored. */
void begin_cured_file(ServerConnection *conn, const char *text);

/* Closes and removes a temporary file left by a command that ended before
 * its cured body did. */
void discard_cured_file(ServerConnection *conn);

#ifdef __cplusplus
}
#endif

#endif

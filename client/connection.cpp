// The connection record and the poll-driven event loop. This file owns the
// receive buffer: it reads reply lines into it, cuts them out, and hands the
// bytes behind a line that announces a cured body to that body; every move
// of bytes inside the buffer goes through drop_received.
#include "client/connection.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/commands.h"
#include "client/internal.h"
#include "client/transfer.h"

namespace {

// What poll reports, read as select reads it: an error or a hang-up makes a
// socket readable, an error makes it writable.
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLERR;

// Reply codes are read as a 32-bit strtol reads them: values beyond the
// 32-bit range saturate instead of wrapping into a valid-looking code.
uint32_t parse_reply_code(const char *line) {
    long value = std::strtol(line, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

// Each wait lasts at most the larger of the two timeouts, kept within the
// seconds that a 32-bit time_t can hold.
int64_t wait_limit_ns(const ServerConnection *conn) {
    uint32_t seconds =
        conn->timeout_a_sec > conn->timeout_b_sec ? conn->timeout_a_sec : conn->timeout_b_sec;
    if (seconds > INT32_MAX) seconds = INT32_MAX;
    return static_cast<int64_t>(seconds) * NS_PER_SECOND;
}

bool connecting(const ServerConnection *conn) {
    return conn->open_phase == OPEN_CONNECTING || conn->open_phase == OPEN_RETRYING;
}

// The moment the current wait runs out: the connect's time (or the next try
// of a Unix-domain connect) while an open connects, else the larger timeout
// from the start of the command or its last step; never beyond the
// deadline.
int64_t wait_end_ns(const ServerConnection *conn) {
    int64_t end;
    if (connecting(conn)) {
        end = conn->connect_deadline_ns;
        if (conn->open_phase == OPEN_RETRYING && conn->retry_at_ns < end) end = conn->retry_at_ns;
    } else {
        end = conn->wait_start_ns + wait_limit_ns(conn);
    }
    if (conn->deadline_ns != 0 && conn->deadline_ns < end) end = conn->deadline_ns;
    return end;
}

// The loop gives up on the command in progress. A cured copy still being
// received can no longer be completed, so its temporary file goes now; the
// command itself stays installed, as the caller may still look at it. An
// open, though, ends: its socket is closed.
ResultCode give_up(ServerConnection *conn, ResultCode code) {
    if (conn->open_phase != 0) return open_failed(conn, code);
    discard_cured_file(conn);
    return code;
}

// The command ends as it does when a read fails: the server closed the
// connection, or the receive buffer filled without a line end, which no
// later read can change.
ResultCode fail_read(ServerConnection *conn) {
    conn->state = nullptr;
    conn->on_reply = nullptr;
    conn->result = RC_READ_FAILED;
    return RC_READ_FAILED;
}

// Dispatches what a body that ended left in the buffer. A full buffer ends
// the command at once, as it does in read_lines, unless the lines before
// ended it already.
void dispatch_after_body(ServerConnection *conn) {
    conn->body_ended = 0;
    if (dispatch_reply_lines(conn) == RC_READ_FAILED && conn->state != nullptr) fail_read(conn);
}

// A command has ended: its deadline goes, and a greeting that failed closes
// the socket of its open.
void command_ended(ServerConnection *conn) {
    conn->deadline_ns = 0;
    if (conn->open_phase == 0) return;
    if (conn->result != RC_OK) {
        open_failed(conn, conn->result);
    } else {
        conn->open_phase = 0;
    }
}

// One step of the command in progress, the same for conn_process (once the
// socket is ready) and conn_step (without a wait).
ResultCode run_step(ServerConnection *conn) {
    ResultCode code = conn->state(conn);
    if (conn->body_ended != 0) dispatch_after_body(conn);
    if (conn->state == nullptr) command_ended(conn);
    return code;
}

// The rules of the event loop, for the library's own loop and the caller's
// alike: what poll reported for the socket (0: nothing) moves the command on,
// or fails it.
ResultCode process_ready(ServerConnection *conn, short revents) {
    if (connecting(conn)) return open_progress(conn, revents);

    int64_t now = monotonic_ns();
    if (conn->deadline_ns != 0 && now >= conn->deadline_ns) return give_up(conn, RC_TIMEOUT);
    // poll passes over a negative descriptor and would wait out the limit: a
    // record without a socket fails as a failing wait does, and so does a
    // descriptor that is not open.
    if (conn->sock < 0 || (revents & POLLNVAL) != 0) return give_up(conn, RC_READ_FAILED);

    bool can_read = (revents & kReadable) != 0;
    bool can_write = conn->sent_all == 0 && (revents & kWritable) != 0;
    // The server must not speak while bytes remain to be sent.
    if (can_read && conn->sent_all == 0) return give_up(conn, RC_WRITE_FAILED);
    if (!can_read && !can_write)
        return now >= wait_end_ns(conn) ? give_up(conn, RC_TIMEOUT) : RC_BUSY;

    run_step(conn);
    if (conn->state == nullptr) return conn->result;
    conn->wait_start_ns = monotonic_ns();
    return RC_BUSY;
}

// A command begins: its wait starts now, and so does its deadline.
void command_begins(ServerConnection *conn) {
    int64_t now = monotonic_ns();
    conn->wait_start_ns = now;
    start_deadline(conn, now);
}

} // namespace

extern "C" {

ServerConnection *conn_create(uint32_t buffer_size, uint32_t timeout_a_sec, uint32_t timeout_b_sec,
                              uint16_t flags) {
    // One byte of the receive buffer is always kept for the terminating NUL,
    // so a buffer needs at least one byte.
    if (buffer_size == 0) return nullptr;

    auto *conn = static_cast<ServerConnection *>(std::malloc(sizeof(ServerConnection)));
    if (conn == nullptr) return nullptr;
    std::memset(conn, 0, sizeof *conn);
    // No descriptor is owned until conn_open creates one; -1 keeps a
    // premature conn_quit away from descriptor 0.
    conn->sock = -1;

    conn->recv_buf = static_cast<char *>(std::malloc(buffer_size));
    if (conn->recv_buf == nullptr) {
        std::free(conn);
        return nullptr;
    }
    conn->send_buf = static_cast<char *>(std::malloc(buffer_size));
    if (conn->send_buf == nullptr) {
        std::free(conn->recv_buf);
        std::free(conn);
        return nullptr;
    }
    std::memset(conn->recv_buf, 0, buffer_size);
    std::memset(conn->send_buf, 0, buffer_size);

    conn->recv_size = buffer_size;
    conn->send_size = buffer_size;
    conn->timeout_a_sec = timeout_a_sec;
    conn->timeout_b_sec = timeout_b_sec;
    conn->flags = flags;
    conn->collect_names = 1;
    return conn;
}

ResultCode conn_free(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    // Whatever the record still holds goes with it: the socket, an
    // unfinished command or open, the key list.
    conn_close(conn);
    free_key_list(conn);
    std::free(conn->recv_buf);
    std::free(conn->send_buf);
    std::free(conn);
    return RC_OK;
}

ResultCode conn_close(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    discard_cured_file(conn);
    close_scan_stream(conn);
    std::free(conn->scan_path);
    conn->scan_path = nullptr;
    release_opening(conn);
    conn->open_phase = 0;
    if (conn->sock >= 0) close(conn->sock);
    conn->sock = -1;
    conn->state = nullptr;
    conn->on_reply = nullptr;
    conn->report = nullptr;
    conn->sent_all = 0;
    conn->send_len = 0;
    conn->recv_len = 0;
    conn->recv_buf[0] = '\0';
    conn->body_ended = 0;
    conn->body_follows = 0;
    conn->upload_mode = 0;
    conn->deadline_ns = 0;
    return RC_OK;
}

int32_t conn_alive(const ServerConnection *conn) {
    if (conn == nullptr || conn->sock < 0 || conn->state != nullptr) return 0;
    // Anything to read, the server's close, an error or a descriptor that
    // is not open: all show in one look that does not wait.
    struct pollfd one = {conn->sock, POLLIN, 0};
    int ready;
    do {
        ready = poll(&one, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready == 0 ? 1 : 0;
}

int32_t conn_busy(const ServerConnection *conn) {
    return conn != nullptr && conn->state != nullptr ? 1 : 0;
}

ResultCode conn_set_deadline(ServerConnection *conn, uint32_t seconds) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    conn->deadline_sec = seconds;
    return RC_OK;
}

ResultCode conn_set_no_wait(ServerConnection *conn, int32_t on) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    if (on != 0) {
        conn->flags = static_cast<uint16_t>(conn->flags | CONN_NO_WAIT);
    } else {
        conn->flags = static_cast<uint16_t>(conn->flags & ~CONN_NO_WAIT);
    }
    return RC_OK;
}

ResultCode conn_send_command(ServerConnection *conn, const char *text, ReplyHandler handler,
                             int32_t free_text) {
    if (conn == nullptr || text == nullptr) return RC_BAD_ARGUMENT;
    if (conn->state != nullptr) return RC_BUSY;

    size_t length = std::strlen(text);
    if (length > conn->send_size) return RC_COMMAND_TOO_LONG;

    conn->on_reply = handler;
    conn->state = send_pending;
    conn->sent_all = 0;
    std::memcpy(conn->send_buf, text, length);
    conn->send_len = static_cast<uint32_t>(length);
    command_begins(conn);

    if (free_text != 0) std::free(const_cast<char *>(text));
    if ((conn->flags & CONN_NO_WAIT) != 0) return RC_BUSY;
    return conn_run(conn);
}

ResultCode conn_run(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;

    // Each run waits afresh, as each wait's limit is set before it.
    conn->wait_start_ns = monotonic_ns();
    while (conn->state != nullptr) {
        short revents = 0;
        int fd = conn_fd(conn);
        short events = conn_events(conn);
        auto milliseconds = static_cast<uint64_t>(conn_timeout_ms(conn));
        if (fd >= 0 && events != 0) {
            int ready = wait_for_descriptor(fd, events, milliseconds, &revents);
            if (ready < 0 && errno == EINTR) {
                // The wait starts again with its full limit; a connect goes
                // on with the time it has left.
                conn->wait_start_ns = monotonic_ns();
                continue;
            }
            if (ready < 0)
                return connecting(conn) ? open_failed(conn, RC_CONNECT_FAILED)
                                        : give_up(conn, RC_READ_FAILED);
        } else if (conn->open_phase == OPEN_RETRYING && milliseconds > 0) {
            // Nothing to wait on while a Unix-domain connect waits for room
            // in the server's queue: only the time until the next try.
            poll(nullptr, 0, static_cast<int>(milliseconds));
        }
        ResultCode code = process_ready(conn, revents);
        if (code != RC_BUSY) return code;
    }
    return conn->result;
}

ResultCode conn_step(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    if (conn->state == nullptr) return RC_OK;
    // With a deadline, the step's read or write waits for the socket at most
    // until then. (An open's connect step bounds its own wait.)
    while (conn->deadline_ns != 0 && !connecting(conn) && conn->sock >= 0) {
        uint64_t left_ms = milliseconds_until(conn->deadline_ns);
        if (left_ms == 0) return give_up(conn, RC_TIMEOUT);
        short revents = 0;
        short events = conn->sent_all == 0 ? POLLOUT : POLLIN;
        int ready = wait_for_descriptor(conn->sock, events, left_ms, &revents);
        if (ready == 0) return give_up(conn, RC_TIMEOUT);
        if (ready > 0 || errno != EINTR) break;
    }
    return run_step(conn);
}

int32_t conn_fd(const ServerConnection *conn) {
    if (conn == nullptr || conn->open_phase == OPEN_RETRYING) return -1;
    return conn->sock;
}

short conn_events(const ServerConnection *conn) {
    if (conn == nullptr || conn->state == nullptr || conn->open_phase == OPEN_RETRYING) return 0;
    if (conn->open_phase == OPEN_CONNECTING) return POLLOUT;
    return conn->sent_all == 0 ? POLLOUT | POLLIN : POLLIN;
}

int64_t conn_timeout_ms(const ServerConnection *conn) {
    if (conn == nullptr || conn->state == nullptr) return -1;
    return static_cast<int64_t>(milliseconds_until(wait_end_ns(conn)));
}

ResultCode conn_process(ServerConnection *conn, short revents) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    if (conn->state == nullptr) return conn->result;
    return process_ready(conn, revents);
}

ResultCode dispatch_reply_lines(ServerConnection *conn) {
    if (conn == nullptr || conn->recv_buf == nullptr) return RC_BAD_ARGUMENT;

    char *buf = conn->recv_buf;
    for (;;) {
        // The held bytes are NUL-terminated; a NUL received inside a reply
        // hides what follows it from the search.
        char *line_end = std::strstr(buf, "\r\n");
        if (line_end == nullptr) break;

        *line_end = '\0';
        size_t line_length = static_cast<size_t>(line_end - buf);
        auto consumed = static_cast<uint32_t>(line_length + 2);

        // Only the handler of this line may announce a body behind it.
        conn->body_follows = 0;
        if (conn->on_reply != nullptr && line_length > 3) {
            int32_t is_final = buf[3] == ' ' ? 1 : 0;
            conn->on_reply(conn, parse_reply_code(buf), buf + 4, is_final);
        }

        if (conn->body_follows != 0) {
            // The bytes behind the line begin a cured body: the line goes,
            // and the body takes what it is owed of the rest. Either every
            // byte held is the body's, or the body ended and the bytes
            // behind it now stand at the start of the buffer.
            conn->body_follows = 0;
            drop_received(conn, consumed);
            conn->result = store_cured_chunk(conn);
            conn->body_ended = 0;
            if (conn->recv_len == 0) return RC_OK;
            continue;
        }
        if (conn->recv_len == 0) {
            // A handler that consumed the whole buffer itself. Nothing is
            // left to shift, so a body that ended with the bytes held has no
            // use for the mark; left set, it would keep the next line read
            // from being removed once handled.
            conn->body_ended = 0;
            return RC_OK;
        }
        if (conn->body_ended != 0) {
            // A handler has moved the bytes behind its line (and behind the
            // body that followed it) to the start of the buffer already.
            conn->body_ended = 0;
            continue;
        }
        drop_received(conn, consumed);
    }

    if (conn->recv_len + 1 < conn->recv_size) return RC_OK;
    return RC_READ_FAILED;
}

ResultCode send_pending(ServerConnection *conn) {
    int32_t sent = send_queued(conn);
    if (sent < 0) {
        conn->state = nullptr;
        conn->result = RC_WRITE_FAILED;
        return RC_WRITE_FAILED;
    }
    if (sent == 0) return RC_OK;
    conn->sent_all = 1;
    conn->state = read_lines;
    return RC_OK;
}

ResultCode read_lines(ServerConnection *conn) {
    // One byte always stays free for the terminating NUL. When the buffer is
    // already full this asks for nothing, gets 0 and ends the command.
    uint32_t room = conn->recv_len + 1 < conn->recv_size ? conn->recv_size - conn->recv_len - 1 : 0;
    ssize_t got = sock_read(conn->sock, conn->recv_buf + conn->recv_len, room);
    if (got <= 0) return fail_read(conn);
    conn->recv_len += static_cast<uint32_t>(got);
    conn->recv_buf[conn->recv_len] = '\0';
    ResultCode code = dispatch_reply_lines(conn);
    // A buffer full without a line end ends the command now: waiting for
    // more could only end in the time-out.
    if (code == RC_READ_FAILED && conn->state != nullptr) return fail_read(conn);
    return code;
}

ssize_t sock_read(int fd, void *buffer, uint32_t count) {
    ssize_t got;
    do {
        got = read(fd, buffer, count);
    } while (got < 0 && errno == EINTR);
    return got;
}

ssize_t sock_write(int fd, const void *bytes, uint32_t count) {
    ssize_t written;
    do {
        // MSG_NOSIGNAL keeps a write to a closed connection from raising
        // SIGPIPE, without touching the process's signal handling.
        written = send(fd, bytes, count, MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK) written = write(fd, bytes, count);
    } while (written < 0 && errno == EINTR);
    return written;
}

int write_all(int fd, const void *bytes, size_t length) {
    const char *next = static_cast<const char *>(bytes);
    while (length > 0) {
        ssize_t written = write(fd, next, length);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return -1;
        if (written == 0) {
            errno = ENOSPC;
            return -1;
        }
        next += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

int wait_for_descriptor(int fd, short events, uint64_t milliseconds, short *revents) {
    // One poll waits at most INT_MAX milliseconds; a longer limit is waited
    // in turns.
    for (;;) {
        int turn = milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
        struct pollfd one = {fd, events, 0};
        int ready = poll(&one, 1, turn);
        *revents = one.revents;
        if (ready != 0 || milliseconds <= INT_MAX) return ready;
        milliseconds -= INT_MAX;
    }
}

void drop_received(ServerConnection *conn, uint32_t count) {
    if (count > conn->recv_len) count = conn->recv_len;
    conn->recv_len -= count;
    std::memmove(conn->recv_buf, conn->recv_buf + count, conn->recv_len);
    if (conn->recv_len < conn->recv_size) conn->recv_buf[conn->recv_len] = '\0';
}

int32_t send_queued(ServerConnection *conn) {
    if (conn->send_len == 0) return 1;
    ssize_t written = sock_write(conn->sock, conn->send_buf, conn->send_len);
    if (written <= 0) return -1;
    auto count = static_cast<uint32_t>(written);
    if (count < conn->send_len) {
        // Keep the unwritten tail at the start of the buffer; the next
        // writable socket continues with it.
        std::memmove(conn->send_buf, conn->send_buf + count, conn->send_len - count);
        conn->send_len -= count;
        return 0;
    }
    conn->send_len = 0;
    return 1;
}

} // extern "C"

// The connection record and the select-driven event loop.
#include "client/connection.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "client/transfer.h"

namespace {

// Reply codes are read as a 32-bit strtol reads them: values beyond the
// 32-bit range saturate instead of wrapping into a valid-looking code.
uint32_t parse_reply_code(const char *line) {
    long value = std::strtol(line, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

// select can only watch descriptors below FD_SETSIZE.
bool fits_fd_set(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

// Each wait lasts at most the larger of the two timeouts; the value is kept
// within what a 32-bit time_t can hold.
struct timeval wait_limit(const ServerConnection *conn) {
    uint32_t seconds =
        conn->timeout_a_sec > conn->timeout_b_sec ? conn->timeout_a_sec : conn->timeout_b_sec;
    if (seconds > INT32_MAX) seconds = INT32_MAX;
    struct timeval limit;
    limit.tv_sec = static_cast<time_t>(seconds);
    limit.tv_usec = 0;
    return limit;
}

// The loop gives up on a command: a cured copy still being received can no
// longer be completed, so its temporary file goes now. The command itself
// stays installed, as the caller may still look at or drive it.
ResultCode abandon_command(ServerConnection *conn, ResultCode code) {
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
    // Whatever an unfinished scan still holds goes with the record.
    discard_cured_file(conn);
    if (conn->scan_stream != nullptr) std::fclose(conn->scan_stream);
    std::free(conn->scan_path);
    std::free(conn->recv_buf);
    std::free(conn->send_buf);
    std::free(conn);
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

    if (free_text != 0) std::free(const_cast<char *>(text));
    if ((conn->flags & CONN_NO_WAIT) != 0) return RC_BUSY;
    return conn_run(conn);
}

ResultCode conn_run(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;

    while (conn->state != nullptr) {
        // A descriptor that does not fit the sets is treated like a failing
        // select: nothing is written past the set, the command stays as it is.
        if (!fits_fd_set(conn->sock)) return abandon_command(conn, RC_READ_FAILED);

        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(conn->sock, &readable);
        if (conn->sent_all == 0) FD_SET(conn->sock, &writable);

        struct timeval limit = wait_limit(conn);
        int ready = select(conn->sock + 1, &readable, &writable, nullptr, &limit);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return abandon_command(conn, RC_READ_FAILED);
        }

        bool can_read = FD_ISSET(conn->sock, &readable) != 0;
        bool can_write = FD_ISSET(conn->sock, &writable) != 0;
        // The server must not speak while bytes remain to be sent.
        if (can_read && conn->sent_all == 0) return abandon_command(conn, RC_WRITE_FAILED);
        if (!can_read && !can_write) return abandon_command(conn, RC_TIMEOUT);

        conn->state(conn);
        if (conn->body_ended != 0) dispatch_after_body(conn);
    }
    return conn->result;
}

ResultCode conn_step(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    if (conn->state == nullptr) return RC_OK;

    ResultCode code = conn->state(conn);
    if (conn->body_ended != 0) dispatch_after_body(conn);
    return code;
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
        size_t consumed = line_length + 2;

        if (conn->on_reply != nullptr && line_length > 3) {
            int32_t is_final = buf[3] == ' ' ? 1 : 0;
            conn->on_reply(conn, parse_reply_code(buf), buf + 4, is_final);
        }

        if (conn->recv_len == 0) {
            // Nothing is left to shift, so a body that ended with the bytes
            // held has no use for the mark. Left set, it would keep the next
            // line read from being removed once handled.
            conn->body_ended = 0;
            return RC_OK;
        }
        if (conn->body_ended != 0) {
            // The handler has already moved the bytes behind its line (and
            // behind the body that followed it) to the start of the buffer.
            conn->body_ended = 0;
            continue;
        }
        if (consumed > conn->recv_len) consumed = conn->recv_len;
        std::memmove(buf, buf + consumed, conn->recv_len - consumed + 1);
        conn->recv_len -= static_cast<uint32_t>(consumed);
    }

    if (conn->recv_len + 1 < conn->recv_size) return RC_OK;
    return RC_READ_FAILED;
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

} // extern "C"

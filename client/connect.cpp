// Connecting to the server and reading its greeting.
#include "client/connect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "client/internal.h"

namespace {

ResultCode clear_nonblocking(int fd) {
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) return RC_CONNECT_FAILED;
    return RC_OK;
}

// A connection that could not be opened owns no descriptor: a caller that
// tries again on the same record must not pile up sockets. Nothing is left
// in progress on it either.
void close_failed_open(ServerConnection *conn) {
    if (conn->sock >= 0) close(conn->sock);
    conn->sock = -1;
    conn->state = nullptr;
    conn->on_reply = nullptr;
}

// The monotonic clock in nanoseconds.
int64_t now_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Milliseconds from now until `deadline`, rounded up; 0 once it has passed.
uint64_t milliseconds_until(int64_t deadline) {
    int64_t left = deadline - now_ns();
    return left > 0 ? static_cast<uint64_t>((left + 999999) / 1000000) : 0;
}

// Takes the digits of a port text as strtol does; anything outside 1..65535
// (an empty text reads as 0) is refused.
bool parse_port(const char *text, uint16_t *port) {
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || value < 1 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// A dotted IPv4 address is used as it stands; anything else is looked up.
bool resolve_host(const char *host, struct in_addr *address) {
    in_addr_t dotted = inet_addr(host);
    if (dotted != INADDR_NONE) {
        address->s_addr = dotted;
        return true;
    }
    struct hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(&address->s_addr, entry->h_addr_list[0], 4);
    return true;
}

// The two address forms. `*attempted` becomes true once a socket exists and
// the connect has been tried; only then is the outcome stored in `result`.
ResultCode connect_unix(const char *path, ServerConnection *conn, bool *attempted) {
    size_t length = std::strlen(path);
    if (length > CONN_UNIX_PATH_MAX) return RC_BAD_ARGUMENT;

    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);

    conn->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (conn->sock < 0) return RC_CONNECT_FAILED;
    *attempted = true;
    auto address_length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    return connect_blocking(conn->sock, reinterpret_cast<struct sockaddr *>(&address),
                            address_length);
}

ResultCode connect_tcp(const char *text, int32_t timeout_sec, ServerConnection *conn,
                       bool *attempted) {
    size_t length = std::strlen(text);
    auto *host = static_cast<char *>(std::malloc(length + 1));
    if (host == nullptr) return RC_NO_MEMORY;
    std::memcpy(host, text, length + 1);

    uint16_t port = CONN_DEFAULT_PORT;
    char *colon = std::strchr(host, ':');
    if (colon != nullptr) {
        *colon = '\0';
        if (!parse_port(colon + 1, &port)) {
            std::free(host);
            return RC_BAD_ARGUMENT;
        }
    }

    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    bool resolved = resolve_host(host, &address.sin_addr);
    std::free(host);
    if (!resolved) return RC_BAD_ARGUMENT;

    conn->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (conn->sock < 0) return RC_CONNECT_FAILED;
    conn->flags |= CONN_TCP;
    *attempted = true;
    return connect_with_timeout(conn->sock, timeout_sec,
                                reinterpret_cast<struct sockaddr *>(&address), 16);
}

} // namespace

extern "C" {

ResultCode conn_open(const char *address, int32_t timeout_sec, ServerConnection *conn) {
    if (conn == nullptr || address == nullptr || address[0] == '\0') return RC_BAD_ARGUMENT;

    conn->flags &= static_cast<uint16_t>(~CONN_TCP);
    bool attempted = false;
    ResultCode code = address[0] == '/' ? connect_unix(address, conn, &attempted)
                                        : connect_tcp(address, timeout_sec, conn, &attempted);
    if (attempted) {
        conn->result = code;
        if (code == RC_OK) {
            // The greeting is always awaited, whatever CONN_NO_WAIT says.
            // Bytes left from an earlier connection on this record are not
            // part of this one.
            conn->recv_len = 0;
            conn->recv_buf[0] = '\0';
            conn->on_reply = on_greeting;
            conn->sent_all = 1;
            conn->state = read_lines;
            code = conn_run(conn);
        }
    }
    if (attempted && code != RC_OK) close_failed_open(conn);
    return code;
}

ResultCode connect_with_timeout(int fd, int32_t timeout_sec, const struct sockaddr *address,
                                socklen_t address_length) {
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0) return RC_CONNECT_FAILED;

    if (connect(fd, address, address_length) == 0) return clear_nonblocking(fd);
    if (errno != EINPROGRESS && errno != EAGAIN) return RC_CONNECT_FAILED;

    if (timeout_sec < 0) return RC_CONNECT_FAILED; // no wait can be that short

    // A signal that interrupts the wait does not end it: it goes on with
    // the time that is left.
    int64_t deadline = now_ns() + static_cast<int64_t>(timeout_sec) * 1000000000;
    short revents = 0;
    for (;;) {
        int ready = wait_for_descriptor(fd, POLLOUT, milliseconds_until(deadline), &revents);
        if (ready > 0) break;
        if (ready == 0) return RC_TIMEOUT;
        if (errno != EINTR) return RC_CONNECT_FAILED;
    }
    if ((revents & POLLNVAL) != 0) return RC_CONNECT_FAILED;

    int error = 0;
    socklen_t error_length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0 || error != 0) {
        clear_nonblocking(fd);
        return RC_CONNECT_FAILED;
    }
    return clear_nonblocking(fd);
}

ResultCode connect_blocking(int fd, const struct sockaddr *address, socklen_t address_length) {
    return connect(fd, address, address_length) == 0 ? RC_OK : RC_CONNECT_FAILED;
}

void on_greeting(ServerConnection *conn, uint32_t code, char *text, int32_t is_final) {
    (void)is_final; // a 201 continuation line counts like a final one
    conn->result = RC_PROTOCOL_ERROR;

    if (code == 401) {
        conn->result = RC_SERVER_OVERLOADED;
    } else if (code == 402) {
        conn->result = RC_CLIENT_NOT_ALLOWED;
    } else if (code != 201) {
        conn->result = RC_CONNECT_FAILED;
    } else {
        uint32_t first = 0;
        uint32_t version = 0;
        if (std::sscanf(text, "%" SCNu32 " %" SCNu32, &first, &version) == 2) {
            if (version != CONN_PROTOCOL_VERSION) {
                conn->result = RC_VERSION_MISMATCH;
            } else {
                std::memset(conn->server_tag, 0, sizeof conn->server_tag);
                uint32_t day = 0;
                uint32_t month = 0;
                uint32_t year = 0;
                int items = std::sscanf(text,
                                        "%" SCNu32 " %" SCNu32 " %" SCNu32 " %2" SCNu32 "%2" SCNu32
                                        "%4" SCNu32 " %" SCNu32 " %19s",
                                        &conn->greeting_word1, &version, &conn->greeting_word3,
                                        &day, &month, &year, &conn->db_records, conn->server_tag);
                if (items == 8) {
                    conn->db_day = static_cast<uint8_t>(day);
                    conn->db_month = static_cast<uint8_t>(month);
                    conn->db_year = static_cast<uint16_t>(year);
                    conn->result = RC_OK;
                }
            }
        }
    }
    conn->state = nullptr;
}

} // extern "C"

// Connecting to the server and reading its greeting. An open is a command
// like the others: conn_open_start resolves the address, creates the socket
// and starts the connect; the event loop (the library's own, or the
// caller's through conn_process) finishes the connect, tries the next
// address of a name when one fails, and then reads the greeting.
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

// A Unix-domain connect that finds the server's listen queue full is tried
// again after this pause, doubled each time up to kRetryMaxNs: the kernel
// offers nothing to wait on for room in the queue.
constexpr int64_t kRetryFirstNs = 2 * NS_PER_MS;
constexpr int64_t kRetryMaxNs = 64 * NS_PER_MS;
// Longest host text that is looked up; no resolvable name is longer.
constexpr size_t kHostMax = 1025;

// One address of the server to try.
struct Candidate {
    struct sockaddr_storage address;
    socklen_t length;
};

} // namespace

// The addresses of the open in progress, with the one to try next. Held only
// while there is something to try again: a name's further addresses, or a
// Unix-domain socket whose queue was full.
struct ConnOpening {
    uint32_t count;
    uint32_t next;
    int64_t retry_delay_ns;
    // A negative time-out lets no connect wait: one that does not complete
    // at once fails.
    bool may_wait;
    // A socket was created: the open's outcome is then stored in `result`.
    bool attempted;
    Candidate *candidates; // `count` of them, right behind this record
};

namespace {

ResultCode clear_nonblocking(int fd) {
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) return RC_CONNECT_FAILED;
    return RC_OK;
}

// Ends an open, storing its code in `result` only once a socket had been
// created (the argument checks and a failed socket creation leave it).
ResultCode end_open(ServerConnection *conn, ResultCode code, bool store) {
    if (conn->sock >= 0) close(conn->sock);
    conn->sock = -1;
    release_opening(conn);
    conn->open_phase = 0;
    conn->state = nullptr;
    conn->on_reply = nullptr;
    conn->deadline_ns = 0;
    if (store) conn->result = code;
    return code;
}

// The connect has completed: the socket blocks again, as the steps of every
// command expect, and the greeting is awaited, whatever CONN_NO_WAIT says.
// Bytes left from an earlier connection on this record are not part of this
// one.
ResultCode connected(ServerConnection *conn) {
    if (clear_nonblocking(conn->sock) != RC_OK) return open_failed(conn, RC_CONNECT_FAILED);
    release_opening(conn);
    conn->result = RC_OK;
    conn->open_phase = OPEN_GREETING;
    conn->recv_len = 0;
    conn->recv_buf[0] = '\0';
    conn->on_reply = on_greeting;
    conn->sent_all = 1;
    conn->state = read_lines;
    conn->wait_start_ns = monotonic_ns();
    return RC_BUSY;
}

// The time by which the connect must be done: its own time-out, or the
// command's deadline when that comes first.
int64_t connect_limit(const ServerConnection *conn) {
    int64_t limit = conn->connect_deadline_ns;
    if (conn->deadline_ns != 0 && conn->deadline_ns < limit) limit = conn->deadline_ns;
    return limit;
}

// Tries the next addresses of a TCP open in turn, each on a new socket,
// until one connects at once or has its connect under way. CONNECT_FAILED
// once none is left.
ResultCode try_next_address(ServerConnection *conn) {
    ConnOpening *opening = conn->opening;
    while (opening->next < opening->count) {
        const Candidate &candidate = opening->candidates[opening->next++];
        if (conn->sock >= 0) close(conn->sock);
        conn->sock =
            socket(candidate.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (conn->sock < 0) continue;
        conn->flags |= CONN_TCP;
        opening->attempted = true;
        if (connect(conn->sock, reinterpret_cast<const struct sockaddr *>(&candidate.address),
                    candidate.length) == 0)
            return connected(conn);
        if ((errno == EINPROGRESS || errno == EAGAIN) && opening->may_wait) {
            conn->open_phase = OPEN_CONNECTING;
            conn->state = continue_open;
            return RC_BUSY;
        }
    }
    return end_open(conn, RC_CONNECT_FAILED, opening->attempted);
}

// Takes the digits of a port text as strtol does; anything outside 1..65535
// (an empty text reads as 0) is refused.
bool parse_port(const char *text, uint16_t *port) {
    if (text == nullptr) {
        *port = CONN_DEFAULT_PORT;
        return true;
    }
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || value < 1 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// A port as conn_check_address wants it: digits alone, 1 to 65535.
bool strict_port(const char *text) {
    if (text == nullptr) return true;
    size_t digits = std::strspn(text, "0123456789");
    if (digits == 0 || text[digits] != '\0' || digits > 5) return false;
    long value = std::strtol(text, nullptr, 10);
    return value >= 1 && value <= 65535;
}

// A TCP address cut into its host and its port text (null: no port).
struct HostAndPort {
    char host[kHostMax];
    const char *port;
    bool bracketed;
};

// Splits "host", "host:port" (at the first colon), "[v6]" and "[v6]:port".
// False for a malformed bracket or a host too long to be looked up.
bool split_address(const char *text, HostAndPort *parts) {
    const char *host = text;
    size_t host_length;
    parts->port = nullptr;
    parts->bracketed = text[0] == '[';
    if (parts->bracketed) {
        const char *close = std::strchr(text, ']');
        if (close == nullptr) return false;
        host = text + 1;
        host_length = static_cast<size_t>(close - host);
        if (close[1] == ':') {
            parts->port = close + 2;
        } else if (close[1] != '\0') {
            return false;
        }
    } else {
        const char *colon = std::strchr(text, ':');
        host_length = colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text);
        if (colon != nullptr) parts->port = colon + 1;
    }
    if (host_length >= sizeof parts->host) return false;
    std::memcpy(parts->host, host, host_length);
    parts->host[host_length] = '\0';
    return true;
}

// Looks up an IPv6 address given between brackets, numerically only.
int lookup_bracketed(const char *host, struct addrinfo **found) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    return getaddrinfo(host, nullptr, &hints, found);
}

ResultCode new_opening(ServerConnection *conn, uint32_t count, int32_t timeout_sec) {
    auto *opening = static_cast<ConnOpening *>(
        std::malloc(sizeof(ConnOpening) + static_cast<size_t>(count) * sizeof(Candidate)));
    if (opening == nullptr) return RC_NO_MEMORY;
    std::memset(opening, 0, sizeof *opening);
    opening->count = count;
    opening->may_wait = timeout_sec >= 0;
    opening->retry_delay_ns = kRetryFirstNs;
    opening->candidates = reinterpret_cast<Candidate *>(opening + 1);
    conn->opening = opening;
    return RC_OK;
}

void set_port(struct sockaddr_storage *address, uint16_t port) {
    if (address->ss_family == AF_INET)
        reinterpret_cast<struct sockaddr_in *>(address)->sin_port = htons(port);
    else
        reinterpret_cast<struct sockaddr_in6 *>(address)->sin6_port = htons(port);
}

// Resolves a TCP address into the open's list of addresses to try. A
// dotted IPv4 address is used as it stands; a name gives every IPv4 and
// IPv6 address that getaddrinfo finds for it, in its order.
ResultCode resolve_tcp(const char *text, int32_t timeout_sec, ServerConnection *conn) {
    HostAndPort parts;
    uint16_t port = CONN_DEFAULT_PORT;
    if (!split_address(text, &parts) || !parse_port(parts.port, &port)) return RC_BAD_ARGUMENT;
    if (parts.host[0] == '\0') return RC_BAD_ARGUMENT;

    in_addr_t dotted = parts.bracketed ? INADDR_NONE : inet_addr(parts.host);
    if (dotted != INADDR_NONE) {
        if (new_opening(conn, 1, timeout_sec) != RC_OK) return RC_NO_MEMORY;
        Candidate &only = conn->opening->candidates[0];
        std::memset(&only, 0, sizeof only);
        auto *in = reinterpret_cast<struct sockaddr_in *>(&only.address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = dotted;
        set_port(&only.address, port);
        only.length = sizeof(struct sockaddr_in);
        return RC_OK;
    }

    struct addrinfo *found = nullptr;
    int status;
    if (parts.bracketed) {
        status = lookup_bracketed(parts.host, &found);
    } else {
        struct addrinfo hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        status = getaddrinfo(parts.host, nullptr, &hints, &found);
    }
    if (status == EAI_MEMORY) return RC_NO_MEMORY;
    if (status != 0) return RC_BAD_ARGUMENT;

    uint32_t count = 0;
    for (const struct addrinfo *one = found; one != nullptr; one = one->ai_next)
        if ((one->ai_family == AF_INET || one->ai_family == AF_INET6) &&
            one->ai_addrlen <= sizeof(struct sockaddr_storage))
            ++count;
    ResultCode code = count == 0 ? RC_BAD_ARGUMENT : new_opening(conn, count, timeout_sec);
    if (code == RC_OK) {
        uint32_t index = 0;
        for (const struct addrinfo *one = found; one != nullptr; one = one->ai_next) {
            if ((one->ai_family != AF_INET && one->ai_family != AF_INET6) ||
                one->ai_addrlen > sizeof(struct sockaddr_storage))
                continue;
            Candidate &candidate = conn->opening->candidates[index++];
            std::memset(&candidate, 0, sizeof candidate);
            std::memcpy(&candidate.address, one->ai_addr, one->ai_addrlen);
            candidate.length = one->ai_addrlen;
            set_port(&candidate.address, port);
        }
    }
    freeaddrinfo(found);
    return code;
}

// A Unix-domain connect. It does not block: a server whose listen queue is
// full makes it fail with EAGAIN, and it is tried again, on a timer, until
// the connect time-out.
ResultCode start_unix(const char *path, int32_t timeout_sec, ServerConnection *conn) {
    size_t length = std::strlen(path);
    if (length > CONN_UNIX_PATH_MAX) return RC_BAD_ARGUMENT;

    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    auto address_length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);

    conn->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (conn->sock < 0) return end_open(conn, RC_CONNECT_FAILED, false);
    if (connect(conn->sock, reinterpret_cast<struct sockaddr *>(&address), address_length) == 0)
        return connected(conn);
    if (errno != EAGAIN || timeout_sec < 0) return open_failed(conn, RC_CONNECT_FAILED);

    // The queue is full. Only now is the address kept, for the tries to come.
    if (new_opening(conn, 1, timeout_sec) != RC_OK) return open_failed(conn, RC_NO_MEMORY);
    Candidate &only = conn->opening->candidates[0];
    std::memset(&only, 0, sizeof only);
    std::memcpy(&only.address, &address, sizeof address);
    only.length = address_length;
    conn->opening->attempted = true;
    conn->open_phase = OPEN_RETRYING;
    conn->retry_at_ns = monotonic_ns() + conn->opening->retry_delay_ns;
    conn->state = continue_open;
    return RC_BUSY;
}

// A Unix-domain connect tried again once its pause has passed.
ResultCode retry_unix(ServerConnection *conn, int64_t now) {
    ConnOpening *opening = conn->opening;
    if (now < conn->retry_at_ns && now < connect_limit(conn)) return RC_BUSY;
    const Candidate &only = opening->candidates[0];
    if (connect(conn->sock, reinterpret_cast<const struct sockaddr *>(&only.address),
                only.length) == 0)
        return connected(conn);
    if (errno != EAGAIN) return open_failed(conn, RC_CONNECT_FAILED);
    if (monotonic_ns() >= connect_limit(conn)) return open_failed(conn, RC_TIMEOUT);
    opening->retry_delay_ns *= 2;
    if (opening->retry_delay_ns > kRetryMaxNs) opening->retry_delay_ns = kRetryMaxNs;
    conn->retry_at_ns = monotonic_ns() + opening->retry_delay_ns;
    return RC_BUSY;
}

} // namespace

extern "C" {

int64_t monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NS_PER_SECOND + now.tv_nsec;
}

uint64_t milliseconds_until(int64_t deadline) {
    int64_t left = deadline - monotonic_ns();
    return left > 0 ? static_cast<uint64_t>((left + NS_PER_MS - 1) / NS_PER_MS) : 0;
}

void start_deadline(ServerConnection *conn, int64_t now) {
    conn->deadline_ns = conn->deadline_sec != 0
                            ? now + static_cast<int64_t>(conn->deadline_sec) * NS_PER_SECOND
                            : 0;
}

void release_opening(ServerConnection *conn) {
    std::free(conn->opening);
    conn->opening = nullptr;
}

ResultCode open_failed(ServerConnection *conn, ResultCode code) {
    return end_open(conn, code, true);
}

ResultCode open_progress(ServerConnection *conn, short revents) {
    int64_t now = monotonic_ns();
    if (conn->open_phase == OPEN_RETRYING) return retry_unix(conn, now);

    if ((revents & POLLNVAL) != 0) return open_failed(conn, RC_CONNECT_FAILED);
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
        int error = 0;
        socklen_t error_length = sizeof error;
        if (getsockopt(conn->sock, SOL_SOCKET, SO_ERROR, &error, &error_length) == 0 && error == 0)
            return connected(conn);
        // Refused or unreachable: the name's next address, if it has one.
        return try_next_address(conn);
    }
    if (now >= connect_limit(conn)) return open_failed(conn, RC_TIMEOUT);
    return RC_BUSY;
}

ResultCode continue_open(ServerConnection *conn) {
    short revents = 0;
    if (conn->open_phase == OPEN_CONNECTING) {
        // A signal that interrupts the wait does not end it: it goes on with
        // the time that is left.
        while (wait_for_descriptor(conn->sock, POLLOUT, milliseconds_until(connect_limit(conn)),
                                   &revents) < 0) {
            if (errno != EINTR) return open_failed(conn, RC_CONNECT_FAILED);
        }
    } else if (conn->open_phase == OPEN_RETRYING) {
        int64_t until =
            conn->retry_at_ns < connect_limit(conn) ? conn->retry_at_ns : connect_limit(conn);
        uint64_t ms = milliseconds_until(until);
        if (ms > 0) poll(nullptr, 0, static_cast<int>(ms));
    }
    return open_progress(conn, revents);
}

ResultCode conn_open_start(const char *address, int32_t timeout_sec, ServerConnection *conn) {
    if (conn == nullptr || address == nullptr || address[0] == '\0') return RC_BAD_ARGUMENT;
    // What is still in progress on the record gives way to the new open.
    if (conn->state != nullptr) conn_close(conn);

    conn->flags &= static_cast<uint16_t>(~CONN_TCP);
    int64_t now = monotonic_ns();
    start_deadline(conn, now);
    conn->connect_deadline_ns =
        now + static_cast<int64_t>(timeout_sec > 0 ? timeout_sec : 0) * NS_PER_SECOND;
    conn->wait_start_ns = now;

    ResultCode code;
    if (address[0] == '/') {
        code = start_unix(address, timeout_sec, conn);
    } else {
        code = resolve_tcp(address, timeout_sec, conn);
        // The descriptor a record may still hold from an earlier connection
        // is forgotten, not closed: its owner may have closed it already.
        if (code == RC_OK) {
            conn->sock = -1;
            code = try_next_address(conn);
        }
    }
    // Refused before anything started: no deadline stays behind.
    if (conn->state == nullptr) conn->deadline_ns = 0;
    return code;
}

ResultCode conn_open(const char *address, int32_t timeout_sec, ServerConnection *conn) {
    ResultCode code = conn_open_start(address, timeout_sec, conn);
    if (code != RC_BUSY) return code;
    return conn_run(conn);
}

ResultCode conn_check_address(const char *address) {
    if (address == nullptr || address[0] == '\0') return RC_BAD_ARGUMENT;
    if (address[0] == '/')
        return std::strlen(address) <= CONN_UNIX_PATH_MAX ? RC_OK : RC_BAD_ARGUMENT;

    HostAndPort parts;
    if (!split_address(address, &parts) || parts.host[0] == '\0' || !strict_port(parts.port))
        return RC_BAD_ARGUMENT;
    if (parts.bracketed) {
        struct addrinfo *found = nullptr;
        if (lookup_bracketed(parts.host, &found) != 0) return RC_BAD_ARGUMENT;
        freeaddrinfo(found);
        return RC_OK;
    }
    for (const char *c = parts.host; *c != '\0'; ++c) {
        bool letter = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z');
        bool digit = *c >= '0' && *c <= '9';
        if (!letter && !digit && *c != '.' && *c != '-' && *c != '_') return RC_BAD_ARGUMENT;
    }
    return RC_OK;
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
    int64_t deadline = monotonic_ns() + static_cast<int64_t>(timeout_sec) * NS_PER_SECOND;
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

// Opening and closing the front end's connections.
#include "cli/server.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "client/connect.h"

bool tcp_address_valid(const char *address) {
    const char *colon = std::strchr(address, ':');
    if (colon == address || address[0] == '\0') return false;
    if (colon == nullptr) return true;
    const char *digits = colon + 1;
    size_t count = std::strlen(digits);
    if (count == 0 || std::strspn(digits, "0123456789") != count) return false;
    long port = std::strtol(digits, nullptr, 10);
    return port >= 1 && port <= 65535;
}

namespace {

constexpr int64_t kRetryMs = 500;

int64_t now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleep_until(int64_t when_ms) {
    for (int64_t left = when_ms - now_ms(); left > 0; left = when_ms - now_ms()) {
        struct timespec pause = {static_cast<time_t>(left / 1000),
                                 static_cast<long>(left % 1000) * 1000000};
        nanosleep(&pause, nullptr);
    }
}

// One attempt: the connect and the wait for the greeting last at most
// `timeout_sec`. Returns the open connection, or null with *code set (and
// *failure when it is the message to give).
ServerConnection *try_open(const char *address, uint16_t flags, uint32_t timeout_sec,
                           ResultCode *code, const char **failure) {
    ServerConnection *conn = conn_create(kBufferSize, timeout_sec, timeout_sec, flags);
    if (conn == nullptr) {
        *code = RC_NO_MEMORY;
        *failure = "ERROR: Could not allocate memory!\n";
        return nullptr;
    }
    if (conn_open(address, static_cast<int32_t>(timeout_sec), conn) == RC_OK) {
        // The scans that follow wait as long as with any connection.
        conn->timeout_a_sec = kTimeoutSec;
        conn->timeout_b_sec = kTimeoutSec;
        return conn;
    }
    *code = conn->result;
    switch (conn->result) {
    case RC_SERVER_OVERLOADED:
        *failure = "ERROR: Could not connect to orvaserver: server is overloaded.\n";
        break;
    case RC_CLIENT_NOT_ALLOWED:
        *failure = "ERROR: Could not connect to orvaserver: client IP is not allowed.\n";
        break;
    default:
        *failure = "ERROR: Could not connect to server!\n";
        break;
    }
    close_server(conn);
    return nullptr;
}

} // namespace

ServerConnection *open_server(const char *address, uint16_t flags, const char **failure) {
    ResultCode code = RC_OK;
    return try_open(address, flags, kTimeoutSec, &code, failure);
}

ServerConnection *open_server_waiting(const char *address, uint16_t flags, int wait_sec,
                                      const char **failure) {
    if (wait_sec <= 0) return open_server(address, flags, failure);
    int64_t deadline = now_ms() + static_cast<int64_t>(wait_sec) * 1000;
    for (;;) {
        int64_t attempt = now_ms();
        // Each attempt ends by the deadline, rounded up to a whole second.
        auto timeout = static_cast<uint32_t>((deadline - attempt + 999) / 1000);
        if (timeout == 0) timeout = 1;
        if (timeout > kTimeoutSec) timeout = kTimeoutSec;
        ResultCode code = RC_OK;
        ServerConnection *conn = try_open(address, flags, timeout, &code, failure);
        if (conn != nullptr || code == RC_NO_MEMORY || code == RC_CLIENT_NOT_ALLOWED ||
            code == RC_VERSION_MISMATCH)
            return conn;
        // The last attempt is made when the time runs out.
        if (now_ms() >= deadline) return nullptr;
        sleep_until(attempt + kRetryMs < deadline ? attempt + kRetryMs : deadline);
    }
}

void close_server(ServerConnection *conn) {
    if (conn == nullptr) return;
    // Still open after the check mode, which sends no QUIT; conn_quit and a
    // failed conn_open leave it at -1.
    if (conn->sock >= 0) close(conn->sock);
    conn_free(conn);
}

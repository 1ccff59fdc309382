// The front end's servers and its connections to them.
#include "cli/server.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "cli/system.h"
#include "client/connect.h"

namespace {

constexpr int64_t kRetryMs = 500;

void sleep_until(int64_t when_ms) {
    for (int64_t left = when_ms - monotonic_ms(); left > 0; left = when_ms - monotonic_ms()) {
        struct timespec pause = {static_cast<time_t>(left / 1000),
                                 static_cast<long>(left % 1000) * 1000000};
        nanosleep(&pause, nullptr);
    }
}

void say_down(const char *address, ResultCode code) {
    std::fprintf(stderr, "Server %s marked down: %s.\n", address, result_code_text(code));
}

// conn_open_list's report of a server that it could not use.
void report_failure(void *, uint32_t, const char *address, ResultCode code) {
    say_down(address, code);
}

// One attempt on one address: the connect and the wait for the greeting
// last at most `timeout_sec` together. Returns the open connection, or null
// with *code and *failure set.
ServerConnection *try_open(const ServerSet &servers, const char *address, uint16_t flags,
                           uint32_t timeout_sec, ResultCode *code, const char **failure) {
    ServerConnection *conn = create_connection(servers, flags);
    if (conn == nullptr) {
        *code = RC_NO_MEMORY;
        *failure = open_failure_message(RC_NO_MEMORY);
        return nullptr;
    }
    // A shorter attempt bounds the whole open; the scans that follow wait as
    // long as on any connection.
    bool shorter = timeout_sec < servers.timeout_sec;
    if (shorter) conn_set_deadline(conn, timeout_sec);
    if (conn_open(address, static_cast<int32_t>(timeout_sec), conn) == RC_OK) {
        if (shorter) conn_set_deadline(conn, 0);
        return conn;
    }
    *code = conn->result;
    *failure = open_failure_message(conn->result);
    close_server(conn);
    return nullptr;
}

} // namespace

ServerSet servers_of(const RunOptions &options) {
    ServerSet servers;
    servers.list = options.server_list;
    if (servers.list == nullptr) servers.address = options.address();
    servers.timeout_sec = static_cast<uint32_t>(options.timeout_sec);
    return servers;
}

uint32_t server_count(const ServerSet &servers) {
    return servers.list != nullptr ? server_list_size(servers.list) : 1;
}

const char *server_address(const ServerSet &servers, uint32_t index) {
    return servers.list != nullptr ? server_list_address(servers.list, index) : servers.address;
}

int32_t first_live_server(const ServerSet &servers, uint32_t from) {
    if (servers.list == nullptr) return 0;
    return server_list_first_live(servers.list, from % server_list_size(servers.list));
}

void mark_server_down(const ServerSet &servers, uint32_t index, ResultCode code) {
    if (servers.list == nullptr) return;
    if (first_live_server(servers, index) == static_cast<int32_t>(index))
        say_down(server_address(servers, index), code);
    server_list_mark_down(servers.list, index);
}

bool connection_lost(ResultCode code) {
    return code == RC_READ_FAILED || code == RC_WRITE_FAILED || code == RC_TIMEOUT;
}

const char *open_failure_message(ResultCode code) {
    switch (code) {
    case RC_NO_MEMORY:
        return "ERROR: Could not allocate memory!\n";
    case RC_SERVER_OVERLOADED:
        return "ERROR: Could not connect to orvaserver: server is overloaded.\n";
    case RC_CLIENT_NOT_ALLOWED:
        return "ERROR: Could not connect to orvaserver: client IP is not allowed.\n";
    default:
        return "ERROR: Could not connect to server!\n";
    }
}

ServerConnection *create_connection(const ServerSet &servers, uint16_t flags) {
    return conn_create(kBufferSize, servers.timeout_sec, servers.timeout_sec, flags);
}

ServerConnection *open_server(const ServerSet &servers, uint32_t first, uint16_t flags,
                              uint32_t *opened, ResultCode *code, const char **failure) {
    *opened = 0;
    if (servers.list == nullptr)
        return try_open(servers, servers.address, flags, servers.timeout_sec, code, failure);
    ServerConnection *conn = create_connection(servers, flags);
    if (conn == nullptr) {
        *code = RC_NO_MEMORY;
        *failure = open_failure_message(RC_NO_MEMORY);
        return nullptr;
    }
    *code = conn_open_list(conn, servers.list, first, static_cast<int32_t>(servers.timeout_sec),
                           report_failure, nullptr, opened);
    if (*code == RC_OK) return conn;
    *failure = open_failure_message(*code);
    close_server(conn);
    return nullptr;
}

ServerConnection *open_server_waiting(const ServerSet &servers, uint16_t flags, int wait_sec,
                                      uint32_t *opened, const char **failure) {
    ResultCode code = RC_OK;
    if (wait_sec <= 0) return open_server(servers, 0, flags, opened, &code, failure);
    *opened = 0;
    uint32_t count = server_count(servers);
    // The servers that are not asked again.
    auto *given_up = static_cast<bool *>(std::calloc(count, sizeof(bool)));
    if (given_up == nullptr) {
        *failure = open_failure_message(RC_NO_MEMORY);
        return nullptr;
    }
    ServerConnection *conn = nullptr;
    int64_t deadline = monotonic_ms() + static_cast<int64_t>(wait_sec) * 1000;
    for (bool asking = true; asking && conn == nullptr;) {
        int64_t round = monotonic_ms();
        const char *round_failure = nullptr;
        asking = false;
        for (uint32_t index = 0; index < count && conn == nullptr; ++index) {
            if (given_up[index]) continue;
            // Each attempt ends by the deadline, rounded up to a whole second.
            auto timeout = static_cast<uint32_t>((deadline - monotonic_ms() + 999) / 1000);
            if (timeout == 0) timeout = 1;
            if (timeout > servers.timeout_sec) timeout = servers.timeout_sec;
            const char *message = nullptr;
            conn =
                try_open(servers, server_address(servers, index), flags, timeout, &code, &message);
            if (conn != nullptr) {
                *opened = index;
                break;
            }
            if (round_failure == nullptr) round_failure = message;
            if (code == RC_NO_MEMORY) {
                round_failure = message;
                asking = false;
                break;
            }
            given_up[index] = code == RC_CLIENT_NOT_ALLOWED || code == RC_VERSION_MISMATCH;
            asking = asking || !given_up[index];
        }
        if (conn != nullptr) break;
        *failure = round_failure;
        // The last attempt is made when the time runs out.
        if (monotonic_ms() >= deadline) break;
        if (asking) sleep_until(round + kRetryMs < deadline ? round + kRetryMs : deadline);
    }
    std::free(given_up);
    return conn;
}

void close_server(ServerConnection *conn) {
    if (conn != nullptr) conn_free(conn);
}

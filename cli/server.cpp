// Opening and closing the front end's connections.
#include "cli/server.h"

#include <cstdlib>
#include <cstring>
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

ServerConnection *open_server(const char *address, uint16_t flags, const char **failure) {
    ServerConnection *conn = conn_create(kBufferSize, kTimeoutSec, kTimeoutSec, flags);
    if (conn == nullptr) {
        *failure = "ERROR: Could not allocate memory!\n";
        return nullptr;
    }
    if (conn_open(address, kTimeoutSec, conn) == RC_OK) return conn;

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

void close_server(ServerConnection *conn) {
    if (conn == nullptr) return;
    // Still open after the check mode, which sends no QUIT; conn_quit and a
    // failed conn_open leave it at -1.
    if (conn->sock >= 0) close(conn->sock);
    conn_free(conn);
}

// Helpers shared by the library tests: a connection that is released at the
// end of the test, and a reply handler that records what it is given.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"
#include "support/fake_server.h"

// Owns a ServerConnection and releases it when the test ends; conn_free
// closes its socket and releases its key list.
struct ConnectionCloser {
    void operator()(ServerConnection *conn) const { conn_free(conn); }
};
using Connection = std::unique_ptr<ServerConnection, ConnectionCloser>;

// Tests never wait for the client's 300-second default.
constexpr uint32_t kTestTimeoutSec = 1;

inline Connection make_connection(uint32_t buffer_size = 8192, uint16_t flags = 0) {
    return Connection(conn_create(buffer_size, kTestTimeoutSec, kTestTimeoutSec, flags));
}

// A connection opened to the server, which starts with a ready greeting.
inline Connection open_connection(FakeServer &server, uint32_t buffer_size = 8192,
                                  uint16_t flags = 0) {
    Connection conn = make_connection(buffer_size, flags);
    server.start();
    EXPECT_EQ(conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()), RC_OK);
    return conn;
}

// Scripts a TCP server that greets, takes the NETSCAN `line`, asks for the
// file with 310, waits for its `size` bytes and answers `verdict`.
inline FakeServer &serve_upload(FakeServer &server, const std::string &line, size_t size,
                                const std::string &verdict = "220 clean\r\n") {
    return server.send(FakeServer::greeting())
        .expect_line()
        .send("310 go on\r\n")
        .expect_bytes(line.size() + size)
        .send(verdict);
}

// Waits, at most five seconds, until bytes (or the server's close) wait to
// be read on the connection.
inline bool readable_soon(const ServerConnection *conn) {
    pollfd one = {conn->sock, POLLIN, 0};
    return poll(&one, 1, 5000) == 1;
}

// The descriptors the test process holds.
inline size_t open_descriptor_count() {
    size_t count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) >= 0) ++count;
    return count;
}

// The records of the key list, in order.
inline std::vector<KeyRecord> keys_of(const ServerConnection *conn) {
    std::vector<KeyRecord> keys;
    for (const KeyRecord *key = conn->key_list; key != nullptr; key = key->next)
        keys.push_back(*key);
    return keys;
}

// Ends the client's side so that the fake server's recording is complete.
inline std::string hang_up(FakeServer &server, ServerConnection *conn) {
    if (conn->sock >= 0) close(conn->sock);
    conn->sock = -1;
    return server.received();
}

struct ReplyLine {
    uint32_t code;
    std::string text;
    int32_t is_final;
    bool operator==(const ReplyLine &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const ReplyLine &line) {
    return out << "{" << line.code << ", \"" << line.text << "\", " << line.is_final << "}";
}

// Records every line it is handed; ends the command on a final line.
inline std::vector<ReplyLine> recorded_lines;
inline void record_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final) {
    recorded_lines.push_back({code, text, is_final});
    if (is_final != 0) {
        conn->state = nullptr;
        conn->result = RC_OK;
    }
}

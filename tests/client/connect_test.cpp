// Opening a connection and reading the greeting.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>

#include "fault_helpers.h"
#include "support/faults.h"
#include "support/ports.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

struct GreetingOutcome {
    ResultCode code;
    Connection conn;
};

GreetingOutcome greet_with(FakeServer &server, uint32_t buffer_size = 8192) {
    Connection conn = make_connection(buffer_size);
    server.start();
    ResultCode code = conn_open(server.address().c_str(), kTestTimeoutSec, conn.get());
    return {code, std::move(conn)};
}

GreetingOutcome greet_with(const std::string &bytes) {
    FakeServer server;
    server.send(bytes);
    return greet_with(server);
}

TEST(Greeting, ReadyGreetingFillsEveryField) {
    FakeServer server;
    server.send("201 7 4 9 05032004 123456 standin-tag\r\n");
    faults::read_bytewise();
    auto [code, conn] = greet_with(server);
    faults::reset();
    EXPECT_EQ(code, RC_OK);
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_EQ(conn->greeting_word1, 7u);
    EXPECT_EQ(conn->greeting_word3, 9u);
    EXPECT_EQ(conn->db_day, 5);
    EXPECT_EQ(conn->db_month, 3);
    EXPECT_EQ(conn->db_year, 2004);
    EXPECT_EQ(conn->db_records, 123456u);
    EXPECT_STREQ(conn->server_tag, "standin-tag");
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->flags & CONN_TCP, 0);
}

TEST(Greeting, RefusalsAndUnknownCodes) {
    const std::pair<const char *, ResultCode> cases[] = {
        {"401 busy\r\n", RC_SERVER_OVERLOADED}, {"402 go away\r\n", RC_CLIENT_NOT_ALLOWED},
        {"401-busy\r\n", RC_SERVER_OVERLOADED}, // finality is not consulted
        {"220 hello\r\n", RC_CONNECT_FAILED},   {"201 x y\r\n", RC_PROTOCOL_ERROR},
        {"201 1\r\n", RC_PROTOCOL_ERROR},       {"201 1 4 2 0503200\r\n", RC_PROTOCOL_ERROR},
    };
    for (const auto &[greeting, expected] : cases) {
        auto [code, conn] = greet_with(greeting);
        EXPECT_EQ(code, expected) << greeting;
        EXPECT_EQ(conn->result, expected) << greeting;
        EXPECT_EQ(conn->state, nullptr) << greeting;
    }
}

TEST(Greeting, OtherProtocolVersionStoresNothing) {
    auto [code, conn] = greet_with("201 7 3 9 05032004 123456 tag\r\n");
    EXPECT_EQ(code, RC_VERSION_MISMATCH);
    EXPECT_EQ(conn->greeting_word1, 0u);
    EXPECT_EQ(conn->db_records, 0u);
    EXPECT_EQ(conn->db_year, 0);
    EXPECT_STREQ(conn->server_tag, "");
}

TEST(Greeting, MissingTagKeepsTheNumbersScannedAndNotTheDate) {
    auto [code, conn] = greet_with("201 7 4 9 05032004 123456\r\n");
    EXPECT_EQ(code, RC_PROTOCOL_ERROR);
    EXPECT_EQ(conn->greeting_word1, 7u);
    EXPECT_EQ(conn->greeting_word3, 9u);
    EXPECT_EQ(conn->db_records, 123456u);
    EXPECT_STREQ(conn->server_tag, "");
    EXPECT_EQ(conn->db_day, 0);
    EXPECT_EQ(conn->db_month, 0);
    EXPECT_EQ(conn->db_year, 0);
}

TEST(Greeting, LongTagIsCutTo19CharactersAndDateIsSplitByDigits) {
    auto [code, conn] = greet_with("201 1 4 2 31122099 5 abcdefghijklmnopqrstuvwxyz\r\n");
    EXPECT_EQ(code, RC_OK);
    EXPECT_STREQ(conn->server_tag, "abcdefghijklmnopqrs");
    EXPECT_EQ(conn->db_day, 31);
    EXPECT_EQ(conn->db_month, 12);
    EXPECT_EQ(conn->db_year, 2099);
}

TEST(Greeting, SeveralLinesInOneReadTheLastDecides) {
    auto [code, conn] = greet_with("401 busy\r\n201 1 4 2 01012020 5 tag\r\n");
    EXPECT_EQ(code, RC_OK);
    auto [code2, conn2] = greet_with("201 1 4 2 01012020 5 tag\r\n402 no\r\n");
    EXPECT_EQ(code2, RC_CLIENT_NOT_ALLOWED);
    EXPECT_EQ(conn2->db_records, 5u);
}

TEST(Greeting, ServerThatClosesOrStaysSilentOrRambles) {
    {
        FakeServer server;
        server.send("201 1 4").close_now();
        auto [code, conn] = greet_with(server);
        EXPECT_EQ(code, RC_READ_FAILED);
        EXPECT_EQ(conn->result, RC_READ_FAILED);
    }
    {
        FakeServer server; // accepts and says nothing
        auto [code, conn] = greet_with(server);
        EXPECT_EQ(code, RC_TIMEOUT);
    }
    {
        FakeServer server;
        server.send(std::string(200, 'z'));
        auto [code, conn] = greet_with(server, 64);
        EXPECT_EQ(code, RC_READ_FAILED);
    }
    {
        FakeServer server;
        server.send(std::string("201 1 4\0 2 01012020 5 tag\r\n", 27));
        auto [code, conn] = greet_with(server, 64);
        EXPECT_EQ(code, RC_TIMEOUT) << "a NUL hides the line end; nothing more comes";
    }
}

TEST(Greeting, IsAwaitedEvenWithoutWaitFlag) {
    FakeServer server;
    server.pause(100).send(FakeServer::greeting());
    Connection conn = make_connection(8192, CONN_NO_WAIT);
    server.start();
    EXPECT_EQ(conn_open(server.address().c_str(), 1, conn.get()), RC_OK);
    EXPECT_EQ(conn->db_records, 123456u);
    EXPECT_EQ(conn->flags, CONN_NO_WAIT);
}

TEST(UnixAddress, LengthLimitIs107Characters) {
    FakeServer server;
    server.send(FakeServer::greeting());
    // A link at a path of exactly 107 characters, to the server's socket.
    std::string link = server.directory() + "/";
    link += std::string(107 - link.size(), 'l');
    ASSERT_EQ(symlink(server.path().c_str(), link.c_str()), 0);
    Connection conn = make_connection();
    server.start();
    EXPECT_EQ(conn_open(link.c_str(), 1, conn.get()), RC_OK);
    unlink(link.c_str());

    Connection refused = make_connection();
    refused->result = RC_SCAN_532;
    EXPECT_EQ(conn_open((link + "x").c_str(), 1, refused.get()), RC_BAD_ARGUMENT);
    EXPECT_LT(refused->sock, 0) << "no socket for a refused path";
    EXPECT_EQ(refused->result, RC_SCAN_532);
}

TEST(UnixAddress, FailuresToConnect) {
    Connection conn = make_connection();
    EXPECT_EQ(conn_open("", 1, conn.get()), RC_BAD_ARGUMENT);
    EXPECT_EQ(conn_open("/", 1, conn.get()), RC_CONNECT_FAILED);
    EXPECT_EQ(conn->sock, -1) << "a failed open closes its socket";
    EXPECT_EQ(conn->result, RC_CONNECT_FAILED);
    EXPECT_EQ(conn_open("/nonexistent/orva.sock", 1, conn.get()), RC_CONNECT_FAILED);
}

size_t open_descriptors() {
    return TempDir::list("/proc/self/fd").size();
}

TEST(FailedOpen, ClosesItsSocketSoThatRetriesLeakNothing) {
    Connection conn = make_connection();
    std::string refused = "127.0.0.1:" + std::to_string(free_tcp_port());
    size_t before = open_descriptors();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(conn_open("/nonexistent/orva.sock", 1, conn.get()), RC_CONNECT_FAILED);
        EXPECT_EQ(conn->sock, -1);
        EXPECT_EQ(conn_open(refused.c_str(), 1, conn.get()), RC_CONNECT_FAILED);
        EXPECT_EQ(conn->sock, -1);
        for (const char *greeting : {"401 busy\r\n", "201 7 3 9 05032004 1 tag\r\n", "201 1 4"}) {
            FakeServer server;
            server.send(greeting).close_now();
            server.start();
            EXPECT_TRUE(RC_FAILED(conn_open(server.address().c_str(), 1, conn.get()))) << greeting;
            EXPECT_EQ(conn->sock, -1) << greeting;
            EXPECT_EQ(conn->state, nullptr) << greeting;
        }
    }
    EXPECT_EQ(open_descriptors(), before);

    // The same record then opens normally.
    FakeServer server;
    server.send(FakeServer::greeting());
    server.start();
    EXPECT_EQ(conn_open(server.address().c_str(), 1, conn.get()), RC_OK);
    EXPECT_EQ(conn->db_records, 123456u);
}

TEST(TcpAddress, ConnectsAndMarksTheConnection) {
    FakeServer server(FakeServer::Transport::Tcp);
    server.send(FakeServer::greeting());
    Connection conn = make_connection(8192, CONN_NO_WAIT);
    server.start();
    std::string address = "127.0.0.1:" + std::to_string(server.port()) + "abc:2";
    EXPECT_EQ(conn_open(address.c_str(), 1, conn.get()), RC_OK);
    EXPECT_EQ(conn->flags, CONN_NO_WAIT | CONN_TCP);
    EXPECT_EQ(fcntl(conn->sock, F_GETFL) & O_NONBLOCK, 0) << "left in blocking mode";
    EXPECT_EQ(conn->db_records, 123456u);

    // A later Unix-domain open clears the TCP mark again.
    close(conn->sock);
    EXPECT_EQ(conn_open("/nonexistent", 1, conn.get()), RC_CONNECT_FAILED);
    EXPECT_EQ(conn->flags, CONN_NO_WAIT);
}

TEST(TcpAddress, PortWithoutColonIs9001) {
    std::unique_ptr<FakeServer> server;
    try {
        server = std::make_unique<FakeServer>(FakeServer::Transport::Tcp, 9001);
    } catch (const std::exception &) {
        GTEST_SKIP() << "port 9001 is taken";
    }
    server->send(FakeServer::greeting());
    Connection conn = make_connection();
    server->start();
    EXPECT_EQ(conn_open("127.0.0.1", 1, conn.get()), RC_OK);
}

TEST(TcpAddress, PortsOutsideTheRangeAndUnknownHostsAreBadArguments) {
    for (const char *address : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:-80",
                                "127.0.0.1:99999999999999999999", "no-such-host.invalid:80"}) {
        Connection conn = make_connection();
        conn->result = RC_SCAN_532;
        EXPECT_EQ(conn_open(address, 1, conn.get()), RC_BAD_ARGUMENT) << address;
        EXPECT_LT(conn->sock, 0) << address;
        EXPECT_EQ(conn->result, RC_SCAN_532) << address;
    }
}

TEST(TcpAddress, RefusedConnectAndPort65535) {
    Connection conn = make_connection();
    std::string address = "127.0.0.1:" + std::to_string(free_tcp_port());
    EXPECT_EQ(conn_open(address.c_str(), 1, conn.get()), RC_CONNECT_FAILED);
    EXPECT_EQ(conn->result, RC_CONNECT_FAILED);
    EXPECT_NE(conn->flags & CONN_TCP, 0);

    Connection top = make_connection();
    ResultCode code = conn_open("127.0.0.1:65535", 1, top.get());
    EXPECT_NE(code, RC_BAD_ARGUMENT) << "65535 is a valid port";
}

TEST(TcpAddress, ConnectThatNeverCompletesTimesOut) {
    // A listener that accepts nobody: once its queue is full, further
    // connects stay pending.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    ASSERT_EQ(listen(listener, 0), 0);

    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
            errno == EINPROGRESS) {
            pollfd wait = {fd, POLLOUT, 0};
            full = poll(&wait, 1, 200) == 0;
        }
    }
    if (full) {
        Connection conn = make_connection();
        std::string text = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        // Signals keep interrupting the wait: it goes on with the time left
        // and ends with the time-out, neither failing at the first signal
        // nor starting again from the full time.
        // (The signals are caught in a child process, see in_child.)
        auto start = std::chrono::steady_clock::now();
        int status = fault_helpers::in_child([&] {
            fault_helpers::AlarmStorm storm(50 * 1000, 5);
            ResultCode code = conn_open(text.c_str(), 1, conn.get());
            if (storm.received() <= 5) return 3;
            return code == RC_TIMEOUT && conn->result == RC_TIMEOUT ? 0 : 2;
        });
        EXPECT_EQ(status, 0) << "2: not the time-out, 3: the signals did not come";
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    for (int fd : fillers)
        close(fd);
    close(listener);
    if (!full) GTEST_SKIP() << "the listen queue never filled";
}

TEST(OpenStart, RefusesAtOnceWhatConnOpenRefusesAndDrivesTheRest) {
    Connection conn = make_connection(8192, CONN_NO_WAIT);
    for (const char *address : {"", "127.0.0.1:0", "[::1", "[::1]x"}) {
        EXPECT_EQ(conn_open_start(address, 1, conn.get()), RC_BAD_ARGUMENT) << address;
        EXPECT_EQ(conn_fd(conn.get()), -1) << address;
        EXPECT_EQ(conn_timeout_ms(conn.get()), -1) << address;
    }
    // A failed greeting closes the socket as conn_open does.
    FakeServer server;
    server.send("401 busy\r\n");
    server.start();
    ASSERT_EQ(conn_open_start(server.address().c_str(), 1, conn.get()), RC_BUSY);
    EXPECT_GE(conn_fd(conn.get()), 0);
    EXPECT_EQ(conn_events(conn.get()), POLLIN);
    EXPECT_EQ(conn_run(conn.get()), RC_SERVER_OVERLOADED);
    EXPECT_EQ(conn->sock, -1);
    EXPECT_EQ(conn_busy(conn.get()), 0);
}

TEST(CheckAddress, AcceptsTheFormsStrictly) {
    std::string longest = "/" + std::string(106, 'p');
    for (const char *good :
         {"/", "/run/orvaserver.sock", longest.c_str(), "localhost", "scan-1.example.org:9001",
          "10.0.0.7:1", "host_name:65535", "[::1]", "[::1]:9001", "[fe80::1:2]:80"})
        EXPECT_EQ(conn_check_address(good), RC_OK) << good;
    std::string too_long = longest + "p";
    for (const char *bad : {"", ":9001", "host:", "host:0", "host:65536", "host:12junk", "host:-80",
                            "host: 80", "host:1:2", "ho st", "::1", "[::1", "[]",
                            "[::1]:", "[::1]x", "[not-v6]:80", "[127.0.0.1]", too_long.c_str()})
        EXPECT_EQ(conn_check_address(bad), RC_BAD_ARGUMENT) << bad;
    EXPECT_EQ(conn_check_address(nullptr), RC_BAD_ARGUMENT);
}

TEST(TcpAddress, Ipv6LoopbackInBrackets) {
    std::unique_ptr<FakeServer> server;
    try {
        server = std::make_unique<FakeServer>(FakeServer::Transport::Tcp6);
    } catch (const std::exception &) {
        GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
    }
    server->send(FakeServer::greeting());
    Connection conn = make_connection();
    server->start();
    EXPECT_EQ(conn_open(server->address().c_str(), 1, conn.get()), RC_OK) << server->address();
    EXPECT_NE(conn->flags & CONN_TCP, 0);
    EXPECT_EQ(conn->db_records, 123456u);
}

TEST(TcpAddress, EveryAddressOfANameIsTriedInTurn) {
    // 127.0.0.2 has no listener on the server's port (which is bound on
    // 127.0.0.1 alone), so it refuses; the name's second address works.
    FakeServer server(FakeServer::Transport::Tcp);
    server.send(FakeServer::greeting());
    server.start();
    std::string port = std::to_string(server.port());
    size_t before = open_descriptors();
    faults::resolve_name("scanner.test", {"127.0.0.2", "127.0.0.1"});
    Connection conn = make_connection();
    EXPECT_EQ(conn_open(("scanner.test:" + port).c_str(), 1, conn.get()), RC_OK);
    EXPECT_EQ(conn->db_records, 123456u);
    conn_close(conn.get());

    faults::resolve_name("dead.test", {"127.0.0.2", "127.0.0.3"});
    EXPECT_EQ(conn_open(("dead.test:" + port).c_str(), 1, conn.get()), RC_CONNECT_FAILED);
    EXPECT_EQ(conn->sock, -1);
    faults::reset();
    server.received();
    EXPECT_EQ(open_descriptors(), before);
}

TEST(UnixAddress, AServerThatNeverAcceptsIsWaitedForOnlyUntilTheTimeOut) {
    TempDir dir;
    std::string path = dir / "full.sock";
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    // Fill the queue: once a connect fails with EAGAIN, the next one waits.
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) break;
    }

    Connection conn = make_connection();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn_open(path.c_str(), 1, conn.get()), RC_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(conn->sock, -1);

    // Started without waiting, the open has no descriptor to wait on meanwhile.
    ASSERT_EQ(conn_open_start(path.c_str(), 1, conn.get()), RC_BUSY);
    EXPECT_EQ(conn_fd(conn.get()), -1);
    EXPECT_EQ(conn_events(conn.get()), 0);
    EXPECT_LE(conn_timeout_ms(conn.get()), 100);
    EXPECT_EQ(conn_close(conn.get()), RC_OK);
    for (int fd : fillers)
        close(fd);
    close(listener);
}

} // namespace

// The event loop and the framing of reply lines, against the fake server.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <sys/resource.h>
#include <sys/time.h>

#include "fault_helpers.h"
#include "support/faults.h"
#include "test_connection.h"

namespace {

class EventLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        recorded_lines.clear();
        faults::reset();
    }
    void TearDown() override { faults::reset(); }

    FakeServer server;
};

ResultCode send_recorded(ServerConnection *conn, const char *line) {
    return conn_send_command(conn, line, record_reply, 0);
}

TEST_F(EventLoop, LinesAreDispatchedWhateverTheirSplit) {
    const std::string reply = "250-first\r\n251 second\r\n";
    const std::vector<ReplyLine> expected = {{250, "first", 0}, {251, "second", 1}};
    // Whole, byte by byte, split between CR and LF, right behind a line end,
    // and inside the code of the second line.
    const std::vector<std::vector<size_t>> splits = {
        {}, std::vector<size_t>(reply.size(), 1), {10}, {9, 12}, {11}, {13}};
    server.send(FakeServer::greeting());
    for (size_t i = 0; i < splits.size(); ++i)
        server.expect_line().send(reply);
    Connection conn = open_connection(server);
    std::string sent;
    for (const auto &split : splits) {
        SCOPED_TRACE(::testing::PrintToString(split));
        recorded_lines.clear();
        faults::split_reads(split);
        EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_OK);
        faults::reset();
        EXPECT_EQ(recorded_lines, expected);
        EXPECT_EQ(conn->recv_len, 0u);
        sent += "NOOP\r\n";
    }
    EXPECT_EQ(hang_up(server, conn.get()), sent);
}

TEST_F(EventLoop, FourthCharacterDecidesFinalityAndCodeIsReadAsDecimal) {
    server.send(FakeServer::greeting())
        .expect_line()
        .send("200\r\n\r\n250-hyphen\r\n250Xletter\r\n2001 digit\r\n-7 signed\r\nabc text\r\n"
              "99999999999 x\r\n200 \r\n");
    Connection conn = open_connection(server);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_OK);
    // The text always starts at the fifth character, whatever the code.
    const std::vector<ReplyLine> expected = {{250, "hyphen", 0},  {250, "letter", 0},
                                             {2001, " digit", 0}, {uint32_t(-7), "igned", 0},
                                             {0, "text", 1},      {0x7fffffffu, "9999999 x", 0},
                                             {200, "", 1}};
    EXPECT_EQ(recorded_lines, expected);
}

TEST_F(EventLoop, LinesAfterTheFinalLineReachTheSameHandlerAndPartialBytesStay) {
    server.send(FakeServer::greeting()).expect_line().send("200 done\r\n210 more\r\n220 part");
    Connection conn = open_connection(server);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_OK);
    const std::vector<ReplyLine> expected = {{200, "done", 1}, {210, "more", 1}};
    EXPECT_EQ(recorded_lines, expected);
    EXPECT_EQ(std::string(conn->recv_buf, conn->recv_len), "220 part");
    EXPECT_EQ(conn->recv_buf[conn->recv_len], '\0');
}

TEST_F(EventLoop, LongestLineFitsAndOneMoreCharacterFails) {
    // 8192-byte buffers: 8189 characters, CR LF and the NUL fill it exactly.
    std::string longest = "200 " + std::string(8189 - 4, 'a');
    server.send(FakeServer::greeting()).expect_line().send(longest + "\r\n");
    Connection conn = open_connection(server);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_OK);
    ASSERT_EQ(recorded_lines.size(), 1u);
    EXPECT_EQ(recorded_lines[0].text.size(), 8189u - 4);

    recorded_lines.clear();
    FakeServer other;
    other.send(FakeServer::greeting()).expect_line().send(longest + "a\r\n");
    Connection second = open_connection(other);
    EXPECT_EQ(send_recorded(second.get(), "NOOP\r\n"), RC_READ_FAILED);
    EXPECT_TRUE(recorded_lines.empty());
    EXPECT_EQ(second->state, nullptr);
}

TEST_F(EventLoop, FullBufferWithoutLineEndFailsTheDispatch) {
    Connection conn = make_connection(16);
    std::memcpy(conn->recv_buf, "200 0123456789a", 16);
    conn->recv_len = 15;
    EXPECT_EQ(dispatch_reply_lines(conn.get()), RC_READ_FAILED);
    EXPECT_EQ(conn->recv_len, 15u);
    conn->recv_len = 14;
    conn->recv_buf[14] = '\0';
    EXPECT_EQ(dispatch_reply_lines(conn.get()), RC_OK);
}

TEST_F(EventLoop, ABufferFilledWithoutALineEndEndsTheCommandAtOnce) {
    // The server fills the buffer and says nothing more for seconds; the
    // loop's wait is longer still. The command must not wait at all.
    server.send(FakeServer::greeting()).expect_line().send(std::string(63, 'x'));
    server.start();
    Connection conn(conn_create(64, 10, 10, 0));
    ASSERT_EQ(conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()), RC_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_READ_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->on_reply, nullptr);
    EXPECT_EQ(hang_up(server, conn.get()), "NOOP\r\n");
}

TEST_F(EventLoop, NulInsideAReplyHidesTheLinesBehindIt) {
    std::string reply("200-a\0b\r\n200 c\r\n", 16);
    server.send(FakeServer::greeting()).expect_line().send(reply).send(std::string(64, 'x'));
    Connection conn = open_connection(server, 64);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_READ_FAILED);
    EXPECT_TRUE(recorded_lines.empty());
}

TEST_F(EventLoop, CommandOfExactlyTheBufferSizeIsSentOneMoreIsRefused) {
    std::string exact = std::string(62, 'N') + "\r\n";
    server.send(FakeServer::greeting()).expect_bytes(64).send("200 \r\n");
    Connection conn = open_connection(server, 64);
    EXPECT_EQ(send_recorded(conn.get(), (exact + "X").c_str()), RC_COMMAND_TOO_LONG);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(send_recorded(conn.get(), exact.c_str()), RC_OK);
    EXPECT_EQ(hang_up(server, conn.get()), exact);
}

TEST_F(EventLoop, ShortWritesAreFinishedOnTheNextWritableSocket) {
    std::string command = std::string(5000, 'c') + "\r\n";
    server.send(FakeServer::greeting()).expect_line().send("200 \r\n");
    Connection conn = open_connection(server);
    faults::cap_send(7);
    EXPECT_EQ(send_recorded(conn.get(), command.c_str()), RC_OK);
    faults::reset();
    EXPECT_EQ(hang_up(server, conn.get()), command);
}

TEST_F(EventLoop, ShortWriteKeepsTheUnwrittenTailAtTheStartOfTheBuffer) {
    server.send(FakeServer::greeting()).expect_line().send("200 ok\r\n");
    Connection conn = open_connection(server, 8192, CONN_NO_WAIT);
    EXPECT_EQ(send_recorded(conn.get(), "HELLO WORLD\r\n"), RC_BUSY);
    faults::cap_send(5);
    EXPECT_EQ(conn_step(conn.get()), RC_OK);
    EXPECT_EQ(conn->send_len, 8u);
    EXPECT_EQ(std::string(conn->send_buf, 8), " WORLD\r\n");
    EXPECT_EQ(conn->state, &send_pending);
    EXPECT_EQ(conn->sent_all, 0);
    faults::reset();
    EXPECT_EQ(conn_step(conn.get()), RC_OK); // the rest of the line
    EXPECT_EQ(conn->state, &read_lines);
    EXPECT_EQ(conn->sent_all, 1);
    EXPECT_EQ(conn_step(conn.get()), RC_OK); // the reply
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_EQ(conn_step(conn.get()), RC_OK); // idle
    EXPECT_EQ(hang_up(server, conn.get()), "HELLO WORLD\r\n");
}

TEST_F(EventLoop, NoWaitCommandIsQueuedAndDrivenByStep) {
    server.send(FakeServer::greeting()).expect_line().send("250-x\r\n200 y\r\n");
    Connection conn = open_connection(server, 8192, CONN_NO_WAIT);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), 0x80000013u);
    EXPECT_EQ(conn->state, &send_pending);
    for (int steps = 0; conn->state != nullptr && steps < 10; ++steps)
        conn_step(conn.get());
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_EQ(recorded_lines.size(), 2u);
}

TEST_F(EventLoop, ServerSpeakingWhileTheClientWritesFailsTheWrite) {
    // The unasked line comes once the greeting has been read, and is there
    // before the command is sent.
    std::promise<void> opened;
    std::future<void> open_done = opened.get_future();
    server.send(FakeServer::greeting())
        .call([&] { open_done.wait_for(std::chrono::seconds(5)); })
        .send("200 unasked\r\n");
    Connection conn = open_connection(server);
    opened.set_value();
    ASSERT_TRUE(readable_soon(conn.get()));
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_WRITE_FAILED);
    EXPECT_EQ(conn->state, &send_pending); // abandoned, still busy
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_BUSY);
    EXPECT_EQ(hang_up(server, conn.get()), "");
}

TEST_F(EventLoop, SilentServerTimesOutAndLeavesTheConnectionBusy) {
    server.send(FakeServer::greeting()).expect_line();
    Connection conn = open_connection(server);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_TIMEOUT);
    EXPECT_EQ(conn->state, &read_lines);
    EXPECT_EQ(conn_noop(conn.get()), RC_BUSY);
}

TEST_F(EventLoop, ServerClosingEndsTheCommandWithReadFailed) {
    server.send(FakeServer::greeting()).expect_line().send("250-partial\r\n").close_now();
    Connection conn = open_connection(server);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_READ_FAILED);
    EXPECT_EQ(conn->result, RC_READ_FAILED);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->on_reply, nullptr);
    EXPECT_EQ(recorded_lines.size(), 1u);
}

TEST_F(EventLoop, WriteToAClosedConnectionFailsWithoutEndingTheProcess) {
    // The peer stops reading: the next write raises SIGPIPE unless the
    // library keeps it away. The test process would die of it.
    std::promise<void> shut;
    server.send(FakeServer::greeting()).shutdown_reading().call([&] { shut.set_value(); });
    Connection conn = open_connection(server);
    ASSERT_EQ(shut.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_WRITE_FAILED);

    // The same through conn_step, which writes without waiting.
    Connection queued = make_connection(64, CONN_NO_WAIT);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    queued->sock = pair[0];
    EXPECT_EQ(send_recorded(queued.get(), "NOOP\r\n"), RC_BUSY);
    EXPECT_EQ(conn_step(queued.get()), RC_WRITE_FAILED);
    EXPECT_EQ(queued->result, RC_WRITE_FAILED);
}

TEST_F(EventLoop, IdleConnectionReturnsTheStoredResultAtOnce) {
    Connection conn = make_connection();
    conn->result = RC_SCAN_525;
    EXPECT_EQ(conn_run(conn.get()), RC_SCAN_525);
    EXPECT_EQ(conn_step(conn.get()), 0u);
    EXPECT_EQ(send_recorded(nullptr, "NOOP\r\n"), RC_BAD_ARGUMENT);
}

TEST_F(EventLoop, AnyDescriptorNumberIsServed) {
    // A large process may hold thousands of descriptors; one above 1023 (the
    // limit of select's sets) works like any other.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    constexpr int kHigh = 1029;
    if (limit.rlim_max <= kHigh + 10) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = limit;
    raised.rlim_cur = kHigh + 10;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(dup2(pair[0], kHigh), kHigh);
    close(pair[0]);
    Connection conn = make_connection(8192, CONN_NO_WAIT);
    conn->sock = kHigh;
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_BUSY);
    EXPECT_EQ(conn_step(conn.get()), RC_OK); // the line is written
    char line[16] = {};
    EXPECT_EQ(read(pair[1], line, sizeof line), 6);
    EXPECT_STREQ(line, "NOOP\r\n");
    ASSERT_EQ(write(pair[1], "200 ok\r\n", 8), 8);
    EXPECT_EQ(conn_run(conn.get()), RC_OK); // waits for the reply

    // No descriptor at all fails at once, as a failing wait does.
    conn->sock = -1;
    EXPECT_EQ(send_recorded(conn.get(), "NOOP\r\n"), RC_BUSY);
    EXPECT_EQ(conn_run(conn.get()), RC_READ_FAILED);
    close(pair[1]);
    close(kHigh);
    setrlimit(RLIMIT_NOFILE, &limit);
}

void ignore_signal(int) {}

TEST_F(EventLoop, WaitInterruptedBySignalStartsAgain) {
    server.send(FakeServer::greeting()).expect_line().pause(400).send("200 late\r\n");
    server.start();
    // The signal is caught in a child process (see fault_helpers::in_child).
    int status = fault_helpers::in_child([&] {
        struct sigaction action {};
        action.sa_handler = ignore_signal; // no SA_RESTART: poll sees EINTR
        sigaction(SIGALRM, &action, nullptr);
        Connection conn = make_connection();
        if (conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()) != RC_OK) return 1;
        itimerval timer{};
        timer.it_value.tv_usec = 100 * 1000;
        setitimer(ITIMER_REAL, &timer, nullptr);
        return send_recorded(conn.get(), "NOOP\r\n") == RC_OK ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(server.received(), "NOOP\r\n");
}

} // namespace

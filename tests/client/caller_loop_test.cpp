// Connections driven from the test's own poll loop through conn_fd,
// conn_events, conn_timeout_ms and conn_process: opens that overlap, the
// library's rules kept there as in conn_run, and the whole-command deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <poll.h>

#include "client/connect.h"
#include "client/scan.h"
#include "fault_helpers.h"
#include "support/faults.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
using fault_helpers::md5_hex;

// Called when a connection's command ends; returns true when it has started
// another one on it.
using Next = std::function<bool(size_t index, ResultCode code)>;

// The caller's loop: one poll over every connection with a command or open
// in progress, at most five seconds in all. Returns the code with which each
// connection's last command ended (RC_BUSY: it did not end).
std::vector<ResultCode> drive(const std::vector<ServerConnection *> &conns, const Next &next = {}) {
    std::vector<ResultCode> codes(conns.size(), RC_BUSY);
    std::vector<bool> running(conns.size(), true);
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        int64_t wait = 1000;
        for (size_t i = 0; i < conns.size(); ++i) {
            if (!running[i]) continue;
            fds.push_back({conn_fd(conns[i]), conn_events(conns[i]), 0});
            which.push_back(i);
            wait = std::min(wait, conn_timeout_ms(conns[i]));
        }
        if (fds.empty()) break;
        int ready = poll(fds.data(), fds.size(), static_cast<int>(wait));
        for (size_t k = 0; k < fds.size(); ++k) {
            size_t i = which[k];
            ResultCode code = conn_process(conns[i], ready > 0 ? fds[k].revents : 0);
            if (code == RC_BUSY) continue;
            codes[i] = code;
            running[i] = next && next(i, code);
            if (running[i]) codes[i] = RC_BUSY;
        }
    }
    return codes;
}

class CallerLoop : public ::testing::Test {
  protected:
    void SetUp() override { faults::reset(); }
    void TearDown() override {
        for (ScanReport &report : reports)
            scan_report_clear(&report);
    }

    TempDirAsTmp temp;
    TempDir scanned;
    ScanReport reports[3] = {};
};

TEST_F(CallerLoop, ThreeConnectionsScanCureUploadAndMeetAServerThatSpeaksTooEarly) {
    std::string original = fault_helpers::patterned_without_line_ends(900, 3);
    std::string body = fault_helpers::patterned(5000, 4);
    std::string infected = scanned.write("infected", original);
    std::string upload = fault_helpers::patterned_without_line_ends(70000, 5);
    std::string uploaded = scanned.write("uploaded", upload);
    std::string large = scanned.write("large", std::string(16 << 20, 'x'));
    std::string netscan =
        "NETSCAN xmqprstuw " + std::to_string(upload.size()) + " " + md5_hex(upload) + "\r\n";

    FakeServer curing;
    curing.send(FakeServer::greeting())
        .expect_line()
        .send("323-Test.Threat /f\r\n" + fault_helpers::cured_copy(body) + "221 /f\r\n");
    FakeServer uploading(FakeServer::Transport::Tcp);
    serve_upload(uploading, netscan, upload.size(), "220 clean\r\n");
    // Speaks after the first bytes of a 16 MiB upload, long before its end.
    FakeServer early(FakeServer::Transport::Tcp);
    early.send(FakeServer::greeting())
        .expect_line()
        .send("310 go on\r\n")
        .expect_bytes(150 + 4096)
        .send("220 too early\r\n");
    curing.start();
    uploading.start();
    early.start();

    FakeServer *servers[] = {&curing, &uploading, &early};
    const std::string files[] = {infected, uploaded, large};
    std::vector<Connection> owned;
    std::vector<ServerConnection *> conns;
    for (FakeServer *server : servers) {
        owned.push_back(make_connection(8192, CONN_NO_WAIT));
        conns.push_back(owned.back().get());
        EXPECT_EQ(conn_open_start(server->address().c_str(), kTestTimeoutSec, conns.back()),
                  RC_BUSY);
    }
    std::vector<bool> scanning(3, false);
    std::vector<ResultCode> codes = drive(conns, [&](size_t i, ResultCode code) {
        if (scanning[i] || code != RC_OK) return false;
        scanning[i] = true;
        ScanFlags flags = i == 0 ? SCAN_CURE : 0;
        return conn_scan(conns[i], files[i].c_str(), &reports[i], flags, nullptr) == RC_BUSY;
    });

    EXPECT_EQ(scanning, std::vector<bool>(3, true)) << "every open ended with RC_OK";
    EXPECT_EQ(codes[0], RC_OK);
    EXPECT_EQ(reports[0].verdict, VERDICT_CURED);
    EXPECT_TRUE(TempDir::read(infected) == body) << "the cured copy replaced the file";
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    EXPECT_EQ(codes[1], RC_OK);
    EXPECT_EQ(reports[1].verdict, VERDICT_OK);
    EXPECT_EQ(codes[2], RC_WRITE_FAILED);
    EXPECT_EQ(conn_busy(conns[2]), 1) << "left installed, as conn_run leaves it";
    EXPECT_EQ(conn_close(conns[2]), RC_OK);
    for (ServerConnection *conn : conns)
        conn_close(conn);
    EXPECT_TRUE(uploading.received() == netscan + upload);
}

TEST_F(CallerLoop, OpensOverlapTheirWaitsForTheGreeting) {
    constexpr size_t kCount = 8;
    FakeServer server;
    for (size_t i = 0; i < kCount; ++i) {
        if (i > 0) server.next_client();
        server.pause(300).send(FakeServer::greeting());
    }
    server.start();
    std::vector<Connection> owned;
    std::vector<ServerConnection *> conns;
    auto start = Clock::now();
    for (size_t i = 0; i < kCount; ++i) {
        owned.push_back(make_connection(8192, CONN_NO_WAIT));
        conns.push_back(owned.back().get());
        ASSERT_EQ(conn_open_start(server.address().c_str(), kTestTimeoutSec, conns.back()),
                  RC_BUSY);
        EXPECT_EQ(conn_events(conns.back()), POLLIN) << "awaiting the greeting";
    }
    EXPECT_EQ(drive(conns), std::vector<ResultCode>(kCount, RC_OK));
    // One after another they would take 2.4 s.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    for (ServerConnection *conn : conns)
        EXPECT_EQ(conn->db_records, 123456u);
}

// A server that answers a byte-sized piece every 300 ms, quicker than the
// one-second wait and slower than the one-second deadline allows for the
// whole reply.
enum class Driver { Run, Process, Step };

class Deadline : public ::testing::TestWithParam<Driver> {};

TEST_P(Deadline, BoundsTheWholeCommandWhateverThePaceOfTheReply) {
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line();
    for (int i = 0; i < 8; ++i)
        server.send("250-piece\r\n").pause(300);
    server.send("200 done\r\n");
    Connection conn = open_connection(server, 8192, GetParam() == Driver::Run ? 0 : CONN_NO_WAIT);
    ASSERT_EQ(conn_set_deadline(conn.get(), 1), RC_OK);

    auto start = Clock::now();
    ResultCode code = conn_noop(conn.get());
    if (GetParam() != Driver::Run) {
        EXPECT_EQ(conn_events(conn.get()), POLLOUT | POLLIN) << "the line waits to be sent";
        EXPECT_GT(conn_timeout_ms(conn.get()), 0);
        EXPECT_LE(conn_timeout_ms(conn.get()), 1000);
        EXPECT_EQ(conn_process(conn.get(), 0), RC_BUSY) << "a wake-up before the time";
    }
    if (GetParam() == Driver::Process) {
        code = drive({conn.get()})[0];
    } else if (GetParam() == Driver::Step) {
        while (code == RC_BUSY || (code == RC_OK && conn_busy(conn.get()) != 0))
            code = conn_step(conn.get());
    }
    auto took = Clock::now() - start;
    EXPECT_EQ(code, RC_TIMEOUT);
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(2200)) << "the reply alone would take 2.4 s";
    EXPECT_EQ(conn_busy(conn.get()), 1) << "left installed, as a time-out leaves it";
    EXPECT_EQ(conn_timeout_ms(conn.get()), 0);
    EXPECT_EQ(conn_close(conn.get()), RC_OK);
    EXPECT_EQ(conn_timeout_ms(conn.get()), -1) << "idle";
}

INSTANTIATE_TEST_SUITE_P(EveryDriver, Deadline,
                         ::testing::Values(Driver::Run, Driver::Process, Driver::Step));

} // namespace

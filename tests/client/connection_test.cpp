// Creating and releasing the connection record.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <unistd.h>

#include "client/scan.h"
#include "fault_helpers.h"
#include "support/faults.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

TEST(ConnectionRecord, FreshRecordIsIdleWithZeroedBuffers) {
    Connection conn = make_connection(256, CONN_NO_WAIT);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->on_reply, nullptr);
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_EQ(conn->collect_names, 1);
    EXPECT_EQ(conn->sent_all, 0);
    EXPECT_EQ(conn->recv_len, 0u);
    EXPECT_EQ(conn->send_len, 0u);
    EXPECT_EQ(conn->recv_size, 256u);
    EXPECT_EQ(conn->send_size, 256u);
    EXPECT_EQ(conn->flags, CONN_NO_WAIT);
    EXPECT_EQ(conn->key_list, nullptr);
    EXPECT_LT(conn->sock, 0) << "no descriptor is owned before conn_open";
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(conn->recv_buf[i], 0);
        ASSERT_EQ(conn->send_buf[i], 0);
    }
}

TEST(ConnectionRecord, FailedAllocationReleasesEverythingTakenBefore) {
    for (int successes = 0; successes < 3; ++successes) {
        faults::track_allocations();
        faults::fail_malloc_after(successes);
        ServerConnection *conn = conn_create(8192, 1, 1, 0);
        faults::fail_malloc_after(-1);
        EXPECT_EQ(conn, nullptr) << successes;
        EXPECT_EQ(faults::live_allocations(), 0) << successes;
        faults::reset();
    }
}

TEST(ConnectionRecord, EmptyBufferSizeIsRefused) {
    EXPECT_EQ(conn_create(0, 1, 1, 0), nullptr);
}

TEST(ConnectionRecord, FreeWithoutRecordIsABadArgument) {
    EXPECT_EQ(conn_free(nullptr), 0x80000008u);
}

TEST(ConnectionRecord, ResultCodesKeepTheirValuesAndFailuresHaveBit31) {
    const ResultCode failures[] = {RC_ENV_REFUSED,
                                   RC_SCAN_525,
                                   RC_COMMAND_TOO_LONG,
                                   RC_BAD_ARGUMENT,
                                   RC_NO_MEMORY,
                                   RC_BUSY,
                                   RC_CONNECT_FAILED,
                                   RC_TIMEOUT,
                                   RC_READ_FAILED,
                                   RC_WRITE_FAILED,
                                   RC_PROTOCOL_ERROR,
                                   RC_VERSION_MISMATCH,
                                   RC_SERVER_OVERLOADED,
                                   RC_COPY_READ_FAILED,
                                   RC_CHECKSUM_MISMATCH,
                                   RC_NO_TEMP_FILE,
                                   RC_SCAN_532,
                                   RC_CLIENT_NOT_ALLOWED,
                                   RC_ENV_202};
    const ResultCode values[] = {0x80000001, 0x80000002, 0x80000007, 0x80000008, 0x8000000e,
                                 0x80000013, 0x80000015, 0x80000016, 0x80000017, 0x80000018,
                                 0x80000019, 0x8000001a, 0x8000001b, 0x8000001c, 0x8000001d,
                                 0x8000001f, 0x80000020, 0x80000021, 0x80000022};
    for (size_t i = 0; i < std::size(failures); ++i) {
        EXPECT_EQ(failures[i], values[i]);
        EXPECT_TRUE(RC_FAILED(failures[i]));
    }
    EXPECT_FALSE(RC_FAILED(RC_OK));
}

} // namespace

namespace {

TEST(ResultCodeText, EveryCodeHasItsOwnShortLowerCaseText) {
    // The twenty codes of the table are RC_OK and failures below 0x80000023.
    const std::string unknown = result_code_text(0x80000003u);
    std::set<std::string> texts;
    size_t known = 0;
    for (ResultCode code = 0x80000000u; code < 0x80000100u; ++code) {
        std::string text = result_code_text(code == 0x80000000u ? RC_OK : code);
        if (text == unknown) continue;
        ++known;
        texts.insert(text);
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(text[0])) && text.size() < 80) << text;
    }
    EXPECT_EQ(known, 20u);
    EXPECT_EQ(texts.size(), known) << "two codes share a text";
    EXPECT_STREQ(result_code_text(RC_TIMEOUT), "timed out");
    EXPECT_EQ(unknown, "unknown result code");
    EXPECT_EQ(result_code_text(0xffffffffu), unknown);
}

// Drives a queued command with poll until `done` says so, at most five
// seconds; false when it ended or the time ran out first.
template <class Done> bool drive_until(ServerConnection *conn, Done done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < end) {
        pollfd one = {conn_fd(conn), conn_events(conn), 0};
        int ready = poll(&one, 1, 100);
        if (conn_process(conn, ready > 0 ? one.revents : 0) != RC_BUSY) return done();
    }
    return done();
}

TEST(CloseAndFree, DescriptorsAndMemoryAreTheSameAfterOpenFailedOpenCloseAndFree) {
    FakeServer unix_server;
    unix_server.send(FakeServer::greeting())
        .next_client()
        .send(FakeServer::greeting())
        .expect_line()
        .send("301-1-2-3 01012030 1 L 1\r\n301-4-5-6 01012030 1 N 1\r\n200 \r\n")
        .expect_line()
        .send("200 bye\r\n");
    FakeServer tcp_server(FakeServer::Transport::Tcp);
    tcp_server.send(FakeServer::greeting());
    unix_server.start();
    tcp_server.start();
    size_t before = open_descriptor_count();
    faults::track_allocations();

    ServerConnection *conn = conn_create(8192, kTestTimeoutSec, kTestTimeoutSec, 0);
    ASSERT_EQ(conn_open(unix_server.address().c_str(), kTestTimeoutSec, conn), RC_OK);
    EXPECT_EQ(conn_close(conn), RC_OK);
    EXPECT_EQ(conn->sock, -1);
    EXPECT_EQ(conn_busy(conn), 0);
    EXPECT_EQ(conn->db_records, 123456u) << "the greeting's values stay";
    EXPECT_EQ(conn_close(conn), RC_OK) << "closing twice is harmless";
    EXPECT_EQ(conn_open("/nonexistent/orva.sock", kTestTimeoutSec, conn), RC_CONNECT_FAILED);
    // The same record opens again; conn_free closes a socket still open.
    ASSERT_EQ(conn_open(tcp_server.address().c_str(), kTestTimeoutSec, conn), RC_OK);
    EXPECT_EQ(conn_free(conn), RC_OK);

    // conn_free after conn_quit, with the key list of KEYS still held.
    conn = conn_create(8192, kTestTimeoutSec, kTestTimeoutSec, 0);
    ASSERT_EQ(conn_open(unix_server.address().c_str(), kTestTimeoutSec, conn), RC_OK);
    EXPECT_EQ(conn_keys(conn), RC_OK);
    EXPECT_EQ(keys_of(conn).size(), 2u);
    EXPECT_EQ(conn_quit(conn), RC_OK);
    EXPECT_EQ(conn_free(conn), RC_OK);
    EXPECT_EQ(faults::live_allocations(), 0) << "the key list was released";
    faults::reset();

    unix_server.received(1);
    tcp_server.received();
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_EQ(conn_close(nullptr), RC_BAD_ARGUMENT);
}

TEST(CloseAndFree, CloseDiscardsACuredCopyInProgress) {
    TempDirAsTmp temp;
    TempDir scanned;
    std::string file = scanned.write("f", std::string(3000, 'o'));
    std::string body(5000, 'c');
    FakeServer unix_server;
    unix_server.send(FakeServer::greeting())
        .expect_line()
        .send(fault_helpers::copy_line(body.size(), fault_helpers::md5_hex(body)) +
              body.substr(0, 100));
    Connection conn = open_connection(unix_server, 8192, CONN_NO_WAIT);
    ScanReport report{};
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_BUSY);
    // The copy being received has no name; the descriptor that holds it
    // shows where it lives.
    auto copies_held = [&] {
        size_t held = 0;
        for (const std::string &fd : TempDir::list("/proc/self/fd")) {
            char target[4096];
            std::string link = "/proc/self/fd/" + fd;
            ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0 &&
                std::string(target, static_cast<size_t>(length)).rfind(temp.path() + "/", 0) == 0)
                ++held;
        }
        return held;
    };
    EXPECT_TRUE(drive_until(conn.get(), [&] { return copies_held() == 1; }));
    EXPECT_EQ(conn_close(conn.get()), RC_OK);
    EXPECT_EQ(copies_held(), 0u) << "the partial copy is removed";
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    EXPECT_EQ(conn_busy(conn.get()), 0);
    EXPECT_EQ(conn_fd(conn.get()), -1);
    EXPECT_EQ(conn_events(conn.get()), 0);
    EXPECT_EQ(TempDir::read(file), std::string(3000, 'o'));
    scan_report_clear(&report);
}

TEST(Alive, OnlyAnIdleOpenConnectionThatTheServerLeftAlone) {
    EXPECT_EQ(conn_alive(nullptr), 0);
    Connection fresh = make_connection();
    EXPECT_EQ(conn_alive(fresh.get()), 0) << "no socket yet";

    FakeServer quiet;
    quiet.send(FakeServer::greeting());
    Connection busy = open_connection(quiet, 8192, CONN_NO_WAIT);
    EXPECT_EQ(conn_alive(busy.get()), 1);
    EXPECT_EQ(conn_noop(busy.get()), RC_BUSY);
    EXPECT_EQ(conn_alive(busy.get()), 0) << "a command is in progress";

    FakeServer closer;
    closer.send(FakeServer::greeting()).close_now();
    Connection closed = open_connection(closer);
    ASSERT_TRUE(readable_soon(closed.get()));
    EXPECT_EQ(conn_alive(closed.get()), 0) << "the server has closed";
}

} // namespace

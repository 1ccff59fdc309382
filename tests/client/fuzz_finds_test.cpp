// Replies that the fuzzer found mishandled, each written out as a scripted
// exchange so that the fault stays fixed whatever the corpus holds.
#include <gtest/gtest.h>

#include <cstdlib>

#include "client/scan.h"
#include "fault_helpers.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::md5_hex;

class FuzzFinds : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TMP", temp.path().c_str(), 1);
        unsetenv("TEMP");
        file = scanned.write("f", "infected\n");
    }
    void TearDown() override {
        scan_report_clear(&report);
        unsetenv("TMP");
        EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    }

    TempDir temp;
    TempDir scanned;
    std::string file;
    ScanReport report{};
};

std::string copy_line(const std::string &body) {
    return "312-" + std::to_string(body.size()) + " " + md5_hex(body) + "\r\n";
}

TEST_F(FuzzFinds, ASecondCopyEndingExactlyAtTheEndOfARead) {
    // The first body ends in a read of its own state, the second 312 line
    // and its whole body follow in that same read and end exactly with it.
    // The lines read next must still be cut and dispatched.
    std::string first = "first copy", second = "2nd";
    FakeServer server;
    server.send(FakeServer::greeting())
        .expect_line()
        .send(copy_line(first))
        .pause(100)
        .send(first + copy_line(second) + second)
        .pause(100)
        .send("323-Threat /f\r\n221 /f\r\n");
    Connection conn = open_connection(server, 64);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    EXPECT_EQ(report.cured_count, 1u);
    EXPECT_EQ(TempDir::read(file), second);
    EXPECT_EQ(conn->body_ended, 0);
    EXPECT_EQ(conn->recv_len, 0u);
    hang_up(server, conn.get());
}

} // namespace

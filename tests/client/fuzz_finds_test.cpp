// Replies that the fuzzer found mishandled, each written out as a scripted
// exchange so that the fault stays fixed whatever the corpus holds.
#include <gtest/gtest.h>

#include <cstdlib>

#include "client/scan.h"
#include "fault_helpers.h"
#include "support/faults.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::cured_copy;

class FuzzFinds : public ::testing::Test {
  protected:
    void SetUp() override { file = scanned.write("f", "infected\n"); }
    void TearDown() override {
        scan_report_clear(&report);
        EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    }

    TempDirAsTmp temp;
    TempDir scanned;
    std::string file;
    ScanReport report{};
};

TEST_F(FuzzFinds, ASecondCopyEndingExactlyAtTheEndOfARead) {
    // The first body ends in a read of its own state, the second 312 line
    // and its whole body follow in that same read and end exactly with it.
    // The lines read next must still be cut and dispatched.
    std::string first = "first copy", second = "2nd";
    std::string middle = first + cured_copy(second);
    FakeServer server;
    server.send(FakeServer::greeting())
        .expect_line()
        .send(cured_copy(first) + cured_copy(second) + "323-Threat /f\r\n221 /f\r\n");
    Connection conn = open_connection(server, 64);
    faults::split_reads({cured_copy(first).size() - first.size(), middle.size()});
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
    faults::reset();
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    EXPECT_EQ(report.cured_count, 1u);
    EXPECT_EQ(TempDir::read(file), second);
    EXPECT_EQ(conn->body_ended, 0);
    EXPECT_EQ(conn->recv_len, 0u);
    hang_up(server, conn.get());
}

} // namespace

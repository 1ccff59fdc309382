// The connection library against the built stand-in server over real
// sockets, both transports: scans, uploads over TCP, cured copies, the
// control commands, and several connections at once.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "client/commands.h"
#include "client/connect.h"
#include "client/scan.h"
#include "client/test_connection.h"
#include "standin/signatures.h"
#include "standin_process.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t kTimeoutSec = 5;

class LibraryEndToEnd : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error_output(); }
    void TearDown() override { scan_report_clear(&report); }

    bool tcp() const { return GetParam(); }
    std::string address() const {
        return tcp() ? "127.0.0.1:" + std::to_string(server.tcp_port()) : server.socket_path();
    }

    Connection connect() {
        Connection conn(conn_create(8192, kTimeoutSec, kTimeoutSec, 0));
        EXPECT_EQ(conn_open(address().c_str(), kTimeoutSec, conn.get()), RC_OK);
        EXPECT_EQ((conn->flags & CONN_TCP) != 0, tcp());
        return conn;
    }

    StandinProcess server{{"--signatures", SAMPLE_SIGNATURES, "--tcp", "0", "--records", "777",
                           "--key", "1a2b-3c4d-5e6f 31122027 5 L 100"}};
    TempDir folder;
    TempDirAsTmp temp;
    ScanReport report{};
    const std::string test_file = standin::test_file_bytes();
};

TEST_P(LibraryEndToEnd, CleanInfectedAndCured) {
    Connection conn = connect();
    EXPECT_EQ(conn->db_records, 777u);

    std::string clean = folder.write("clean", "nothing to see\n");
    ASSERT_EQ(conn_scan(conn.get(), clean.c_str(), &report, SCAN_DEFAULT_FLAGS, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_OK);
    scan_report_clear(&report);

    std::string infected = folder.write("infected", "a " + test_file + " STANDIN-SAMPLE-WORM");
    ASSERT_EQ(conn_scan(conn.get(), infected.c_str(), &report, SCAN_DEFAULT_FLAGS, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_INFECTED);
    EXPECT_EQ(report.infected_count, 2u);
    ASSERT_NE(report.infected_list, nullptr);
    EXPECT_NE(std::string(report.infected_list).find("Sample.Worm"), std::string::npos);
    scan_report_clear(&report);

    struct stat before;
    ASSERT_EQ(stat(infected.c_str(), &before), 0);
    ASSERT_EQ(
        conn_scan(conn.get(), infected.c_str(), &report, SCAN_DEFAULT_FLAGS | SCAN_CURE, nullptr),
        RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    EXPECT_GE(report.cured_count, 1u);
    std::string cured = TempDir::read(infected);
    EXPECT_EQ(cured.size(), before.st_size);
    EXPECT_EQ(cured.find(test_file), std::string::npos);
    EXPECT_EQ(cured.find("STANDIN-SAMPLE-WORM"), std::string::npos);
    struct stat after;
    ASSERT_EQ(stat(infected.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    scan_report_clear(&report);

    // The cured file scans clean, and the connection is still good.
    ASSERT_EQ(conn_scan(conn.get(), infected.c_str(), &report, SCAN_DEFAULT_FLAGS, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_OK);
    EXPECT_EQ(conn_noop(conn.get()), RC_OK);
    EXPECT_EQ(TempDir::list(temp.path()), std::vector<std::string>{}) << "temporary file left";
}

TEST_P(LibraryEndToEnd, ALargeFileWithAThreatNearItsEnd) {
    Connection conn = connect();
    std::string content(3 * 1024 * 1024 + 5, 'x');
    content.replace(content.size() - 100, test_file.size(), test_file);
    std::string big = folder.write("big", content);
    ASSERT_EQ(conn_scan(conn.get(), big.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    std::string cured = TempDir::read(big);
    EXPECT_EQ(cured.size(), content.size());
    EXPECT_EQ(cured.find(test_file), std::string::npos);
    EXPECT_EQ(cured.substr(0, 1000), content.substr(0, 1000));
}

TEST_P(LibraryEndToEnd, ControlCommandsAndSeveralConnections) {
    Connection first = connect();
    Connection second = connect();
    ASSERT_EQ(conn_keys(first.get()), RC_OK);
    ASSERT_NE(first->key_list, nullptr);
    EXPECT_EQ(first->key_list->serial1, 0x1a2bu);
    EXPECT_EQ(first->key_list->next, nullptr);
    EXPECT_EQ(conn_env(second.get(), '+', "NAME=value\r\n"), RC_OK);
    std::string clean = folder.write("clean", "ok\n");
    for (int i = 0; i < 3; ++i) {
        for (ServerConnection *conn : {first.get(), second.get()}) {
            ASSERT_EQ(conn_scan(conn, clean.c_str(), &report, 0, nullptr), RC_OK);
            EXPECT_EQ(report.verdict, VERDICT_OK);
            scan_report_clear(&report);
        }
    }
    EXPECT_EQ(conn_quit(first.get()), RC_OK);
    EXPECT_EQ(first->sock, -1);
    EXPECT_EQ(conn_noop(second.get()), RC_OK);
}

INSTANTIATE_TEST_SUITE_P(Transports, LibraryEndToEnd, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &param) {
                             return param.param ? std::string("Tcp") : std::string("Unix");
                         });

} // namespace

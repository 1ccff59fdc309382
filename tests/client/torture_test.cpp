// Allocation-failure torture: every allocation of an operation is made to
// fail in turn, alone and together with every later one. Each run must end
// with the operation's out-of-memory outcome, release everything it took,
// leave no temporary file, and leave the connection usable where the reply
// was not cut short.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "client/scan.h"
#include "client/transfer.h"
#include "fault_helpers.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::each_allocation_failing;
using fault_helpers::inode_of;
using fault_helpers::md5_hex;
using fault_helpers::Trial;

class Torture : public ::testing::Test {
  protected:
    void SetUp() override { faults::reset(); }
    void TearDown() override { faults::reset(); }

    void expect_no_temporary_file() {
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
    }

    TempDirAsTmp temp;
};

TEST_F(Torture, CreateReleasesWhatItTookAndReturnsNull) {
    long total = each_allocation_failing([](Trial &trial) {
        trial.arm();
        ServerConnection *conn = conn_create(64, kTestTimeoutSec, kTestTimeoutSec, CONN_NO_WAIT);
        trial.disarm();
        if (trial.failing()) {
            EXPECT_EQ(conn, nullptr);
        } else {
            ASSERT_NE(conn, nullptr);
            EXPECT_EQ(conn->recv_size, 64u);
            EXPECT_EQ(conn->flags, CONN_NO_WAIT);
        }
        if (conn != nullptr) conn_free(conn);
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    EXPECT_EQ(total, 3) << "the record and its two buffers";
}

TEST_F(Torture, OperationsThatAllocateNothing) {
    FakeServer server;
    server.send(FakeServer::greeting())
        .expect_line()
        .send("200 ok\r\n")
        .expect_line()
        .send("200 bye\r\n");
    server.start();
    Connection conn = make_connection();
    std::string file = temp.write("f", "contents");
    FILE *stream = std::fopen(file.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    char digest[MD5_HEX_LENGTH + 2];
    ScanReport report{};

    Trial trial;
    trial.arm();
    EXPECT_EQ(conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()), RC_OK);
    EXPECT_EQ(conn_noop(conn.get()), RC_OK);
    EXPECT_EQ(conn_quit(conn.get()), RC_OK);
    EXPECT_EQ(free_key_list(conn.get()), RC_OK);
    EXPECT_EQ(scan_report_clear(&report), RC_OK);
    EXPECT_EQ(md5_file_hex(stream, digest, sizeof digest), RC_OK);
    trial.disarm();
    std::fclose(stream);
    EXPECT_EQ(trial.calls, 0);
    EXPECT_EQ(server.received(), "NOOP\r\nQUIT\r\n");
}

TEST_F(Torture, TcpOpenFailsBeforeConnectingAndCanBeRepeated) {
    long total = each_allocation_failing([](Trial &trial) {
        FakeServer server{FakeServer::Transport::Tcp};
        server.send(FakeServer::greeting());
        server.start();
        Connection conn = make_connection();
        trial.arm();
        ResultCode code = conn_open(server.address().c_str(), kTestTimeoutSec, conn.get());
        trial.disarm();
        if (trial.failing()) {
            EXPECT_EQ(code, RC_NO_MEMORY);
            EXPECT_EQ(conn->sock, -1) << "no socket before the address is read";
            EXPECT_EQ(conn->result, RC_OK);
            code = conn_open(server.address().c_str(), kTestTimeoutSec, conn.get());
        }
        EXPECT_EQ(code, RC_OK);
        EXPECT_EQ(conn->db_records, 123456u);
        EXPECT_NE(conn->flags & CONN_TCP, 0u);
        hang_up(server, conn.get());
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    EXPECT_EQ(total, 1) << "the copy of the address";
}

class TransportTorture : public Torture,
                         public ::testing::WithParamInterface<FakeServer::Transport> {
  protected:
    bool tcp() const { return GetParam() == FakeServer::Transport::Tcp; }
    // A scan allocates its command line and its path copy first; over TCP
    // the stream buffer of a file above 64 KiB comes before them, and without
    // it the file is read through a smaller one: only the two refuse the
    // scan. The scanned files here are that large.
    long allocations_before_reply() const { return tcp() ? 3 : 2; }
    bool refused(const Trial &trial) const {
        if (!tcp()) return trial.nth == 1 || trial.nth == 2;
        return trial.nth == 2 || trial.nth == 3 || (trial.nth == 1 && trial.and_later);
    }
};

std::string transport_name(const ::testing::TestParamInfo<FakeServer::Transport> &param) {
    return param.param == FakeServer::Transport::Unix ? "Unix" : "Tcp";
}

// A scan whose reply has per-object lines of each listed kind. The command
// line and the path copy come first (over TCP behind the stream buffer);
// then one list entry per listed line, in the order of the lines.
class ScanTorture : public TransportTorture {
  protected:
    struct Entry {
        char *ScanReport::*list;
        std::string text;
    };

    const std::vector<Entry> entries = {
        {&ScanReport::infected_list, "Eicar-Test /a"}, {&ScanReport::cured_list, "Cured.One /b"},
        {&ScanReport::warning_list, "Warn.Two /c"},    {&ScanReport::suspicion_list, "Sus.3 /d"},
        {&ScanReport::infected_list, "Second /e"},
    };
    const std::string reply = "321-/a clean\r\n322-Eicar-Test /a\r\n323-Cured.One /b\r\n"
                              "330-/x unknown\r\n327-Warn.Two /c\r\n328-Sus.3 /d\r\n"
                              "322-Second /e\r\n230 /a\r\n";
};

TEST_P(ScanTorture, EveryAllocationOfAScanWithObjectLines) {
    std::string content = fault_helpers::patterned_without_line_ends(70000, 3);
    std::string file = temp.write("scanned", content);
    std::string line = tcp() ? "NETSCAN xmqprstuw " + std::to_string(content.size()) + " " +
                                   md5_hex(content) + "\r\n"
                             : "SCAN xmqprstuw " + file + "\r\n";

    long total = each_allocation_failing([&](Trial &trial) {
        FakeServer server{GetParam()};
        server.send(FakeServer::greeting()).expect_line();
        if (tcp()) server.send("310 go on\r\n").expect_bytes(line.size() + content.size());
        server.send(reply).expect_line().send("200 ok\r\n");
        Connection conn = open_connection(server);
        ScanReport report{};

        trial.arm();
        ResultCode code = conn_scan(conn.get(), file.c_str(), &report, 0, nullptr);
        trial.disarm();

        bool refused_scan = refused(trial);
        if (refused_scan) {
            // The command line, then the path copy: nothing is sent, and the
            // same scan can be asked for again.
            EXPECT_EQ(code, RC_NO_MEMORY);
            EXPECT_EQ(conn->result, RC_NO_MEMORY);
            EXPECT_EQ(conn->state, nullptr);
            EXPECT_EQ(conn->scan_stream, nullptr);
            EXPECT_EQ(conn->scan_path, nullptr);
            EXPECT_EQ(server.received_so_far(), "");
            code = conn_scan(conn.get(), file.c_str(), &report, 0, nullptr);
        }
        EXPECT_EQ(code, RC_OK);
        EXPECT_EQ(report.verdict, VERDICT_INFECTED);
        // Every line is counted, listed or not.
        EXPECT_EQ(report.infected_count, 2u);
        EXPECT_EQ(report.cured_count, 1u);
        EXPECT_EQ(report.warning_count, 1u);
        EXPECT_EQ(report.suspicion_count, 1u);

        // The entries whose allocation failed are missing, the others kept
        // in order.
        ScanReport expected{};
        for (size_t i = 0; i < entries.size(); ++i) {
            if (refused_scan || !trial.fails(static_cast<long>(i) + allocations_before_reply() + 1))
                list_append_line(&(expected.*entries[i].list), entries[i].text.c_str());
        }
        for (auto list : {&ScanReport::infected_list, &ScanReport::cured_list,
                          &ScanReport::warning_list, &ScanReport::suspicion_list})
            EXPECT_STREQ(report.*list, expected.*list);
        scan_report_clear(&expected);
        scan_report_clear(&report);

        // The connection goes on.
        EXPECT_EQ(conn_noop(conn.get()), RC_OK);
        EXPECT_EQ(hang_up(server, conn.get()), line + (tcp() ? content : "") + "NOOP\r\n");
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    EXPECT_EQ(total, allocations_before_reply() + static_cast<long>(entries.size()));
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ScanTorture,
                         ::testing::Values(FakeServer::Transport::Unix, FakeServer::Transport::Tcp),
                         transport_name);

// Key lines of one length, so that a receive buffer of that length plus one
// takes exactly one line per read.
const std::vector<std::string> kKeyLines = {
    "301-0001-0002-0003 31122030 7777 L 9999\r\n",
    "301-0004-0005-0006 01012031 7777 N 9999\r\n",
    "301-0007-0008-0009 15062032 7777 X 9999\r\n",
};

std::string keys_reply() {
    std::string reply;
    for (const std::string &line : kKeyLines)
        reply += line;
    return reply + "200 end\r\n";
}

TEST_F(Torture, KeysInOneReadLoseOnlyTheRecordsThatFailed) {
    long total = each_allocation_failing([](Trial &trial) {
        FakeServer server;
        server.send(FakeServer::greeting())
            .expect_line()
            .send(keys_reply())
            .expect_line()
            .send("200 ok\r\n");
        Connection conn = open_connection(server);
        trial.arm();
        ResultCode code = conn_keys(conn.get());
        trial.disarm();
        // The final line, in the same read, ends the command normally.
        EXPECT_EQ(code, RC_OK);
        std::vector<uint32_t> serials;
        for (const KeyRecord &key : keys_of(conn.get()))
            serials.push_back(key.serial1);
        std::vector<uint32_t> expected;
        for (long n = 1; n <= 3; ++n)
            if (!trial.fails(n)) expected.push_back(static_cast<uint32_t>(3 * n - 2));
        EXPECT_EQ(serials, expected);
        EXPECT_EQ(conn_noop(conn.get()), RC_OK);
        free_key_list(conn.get());
        EXPECT_EQ(hang_up(server, conn.get()), "KEYS\r\nNOOP\r\n");
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    EXPECT_EQ(total, 3) << "one record per key line";
}

TEST_F(Torture, KeysReadLineByLineEndAtTheRecordThatFailedAndKeepTheOthers) {
    auto buffer_size = static_cast<uint32_t>(kKeyLines[0].size() + 1);
    ASSERT_GE(buffer_size, FakeServer::greeting().size() + 1);
    long total = each_allocation_failing([&](Trial &trial) {
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(keys_reply());
        Connection conn = open_connection(server, buffer_size);
        trial.arm();
        ResultCode code = conn_keys(conn.get());
        trial.disarm();
        size_t kept = trial.failing() ? static_cast<size_t>(trial.nth - 1) : kKeyLines.size();
        EXPECT_EQ(code, trial.failing() ? RC_NO_MEMORY : RC_OK);
        EXPECT_EQ(conn->state, nullptr);
        EXPECT_EQ(keys_of(conn.get()).size(), kept);
        free_key_list(conn.get());
        hang_up(server, conn.get());
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    EXPECT_EQ(total, 3);
}

TEST_F(Torture, EnvFailsBeforeSendingAndCanBeRepeated) {
    long total = each_allocation_failing([](Trial &trial) {
        FakeServer server;
        server.send(FakeServer::greeting())
            .expect_line()
            .send("200 set\r\n")
            .expect_line()
            .send("200 ok\r\n");
        Connection conn = open_connection(server);
        trial.arm();
        ResultCode code = conn_env(conn.get(), '=', "NAME=value\r\n");
        trial.disarm();
        if (trial.failing()) {
            EXPECT_EQ(code, RC_NO_MEMORY);
            EXPECT_EQ(conn->state, nullptr);
            code = conn_env(conn.get(), '=', "NAME=value\r\n");
        }
        EXPECT_EQ(code, RC_OK);
        EXPECT_EQ(conn_noop(conn.get()), RC_OK);
        EXPECT_EQ(hang_up(server, conn.get()), "ENV =NAME=value\r\nNOOP\r\n");
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    EXPECT_EQ(total, 1) << "the command line";
}

TEST_F(Torture, ListAppendLeavesTheListAsItWas) {
    for (const char *start : {static_cast<const char *>(nullptr), "", "one\n"}) {
        for (const char *text : {"", "two words"}) {
            long total = each_allocation_failing([&](Trial &trial) {
                char *list = nullptr;
                if (start != nullptr) {
                    list = static_cast<char *>(std::malloc(std::strlen(start) + 1));
                    std::strcpy(list, start);
                }
                char *before = list;
                trial.arm();
                ResultCode code = list_append_line(&list, text);
                trial.disarm();
                std::string expected = start != nullptr ? start : "";
                if (trial.failing()) {
                    EXPECT_EQ(code, RC_NO_MEMORY);
                    EXPECT_EQ(list, before);
                } else {
                    EXPECT_EQ(code, RC_OK);
                    expected += std::string(text) + "\n";
                }
                EXPECT_EQ(list != nullptr ? std::string(list) : std::string(), expected);
                std::free(list);
                EXPECT_EQ(faults::live_allocations(), 0);
            });
            EXPECT_EQ(total, 1);
        }
    }
}

// A cured copy: the scan line and path copy, a list entry for the 323 line,
// the temporary file's name, and whatever receiving a body longer than the
// receive buffer takes. Whatever fails, the file is either untouched or the
// whole verified copy, and no temporary file stays.
class CureTorture : public TransportTorture {};

TEST_P(CureTorture, EveryAllocationOfACuredCopy) {
    std::string original = fault_helpers::patterned_without_line_ends(70000, 1);
    std::string body = fault_helpers::patterned(20000, 2);
    std::string reply = "323-Cured.One /f\r\n" + fault_helpers::cured_copy(body) + "221 /f\r\n";
    TempDir scanned;
    std::string file = scanned.write("f", original);
    ino_t inode = inode_of(file);
    std::string line = tcp() ? "NETSCAN xmqprstuwl " + std::to_string(original.size()) + " " +
                                   md5_hex(original) + "\r\n"
                             : "SCAN xmqprstuwl " + file + "\r\n";

    std::set<std::pair<ResultCode, bool>> outcomes;
    each_allocation_failing([&](Trial &trial) {
        scanned.write("f", original);
        FakeServer server{GetParam()};
        server.send(FakeServer::greeting()).expect_line();
        if (tcp()) server.send("310 go on\r\n").expect_bytes(line.size() + original.size());
        server.send(reply).expect_line().send("200 ok\r\n");
        Connection conn = open_connection(server, 512);
        ScanReport report{};

        trial.arm();
        // The reply in pieces that cut the body: over TCP behind the 310.
        std::vector<size_t> pieces = {100, 5000, 3};
        if (tcp()) pieces.insert(pieces.begin(), std::strlen("310 go on\r\n"));
        faults::split_reads(pieces);
        ResultCode code = conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
        trial.disarm();
        if (refused(trial)) {
            EXPECT_EQ(code, RC_NO_MEMORY);
            EXPECT_EQ(TempDir::read(file), original);
            code = conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
        }
        EXPECT_EQ(conn->cured_stream, nullptr);
        EXPECT_EQ(conn->cured_temp_path, nullptr);
        expect_no_temporary_file();
        EXPECT_EQ(report.verdict, VERDICT_CURED);
        EXPECT_EQ(report.cured_count, 1u);
        bool listed = report.cured_list != nullptr;
        if (listed) {
            EXPECT_STREQ(report.cured_list, "Cured.One /f\n");
        }
        outcomes.insert({code, listed});

        std::string now = TempDir::read(file);
        if (code == RC_OK) {
            EXPECT_EQ(now, body) << "a cure reported must have replaced the file";
        } else {
            EXPECT_EQ(code, RC_NO_TEMP_FILE) << "the copy had nowhere to go";
            EXPECT_EQ(now, original);
        }
        EXPECT_EQ(inode_of(file), inode);
        scan_report_clear(&report);

        EXPECT_EQ(conn_noop(conn.get()), RC_OK);
        // Compared whole, not printed: the upload is binary.
        EXPECT_TRUE(hang_up(server, conn.get()) == line + (tcp() ? original : "") + "NOOP\r\n");
        EXPECT_EQ(faults::live_allocations(), 0);
    });
    // Each kind of failure was reached: the list entry, the temporary file.
    std::set<std::pair<ResultCode, bool>> expected = {
        {RC_OK, true}, {RC_OK, false}, {RC_NO_TEMP_FILE, true}, {RC_NO_TEMP_FILE, false}};
    for (const auto &outcome : expected)
        EXPECT_TRUE(outcomes.count(outcome) == 1)
            << "outcome never seen: " << std::hex << outcome.first << " listed " << outcome.second;
}

INSTANTIATE_TEST_SUITE_P(BothTransports, CureTorture,
                         ::testing::Values(FakeServer::Transport::Unix, FakeServer::Transport::Tcp),
                         transport_name);

} // namespace

// The scan command against the fake server: command lines, verdicts, the
// report's counters and lists, and the progress callback.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "client/scan.h"
#include "digest/md5.h"
#include "fault_helpers.h"
#include "support/faults.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

class Scan : public ::testing::Test {
  protected:
    void SetUp() override { faults::reset(); }
    void TearDown() override {
        faults::reset();
        scan_report_clear(&report);
    }

    // A server that greets, takes the scan line and answers `reply`.
    Connection answer(const std::string &reply) {
        server.send(FakeServer::greeting()).expect_line().send(reply);
        return open_connection(server);
    }

    FakeServer server;
    ScanReport report{};
};

std::string letters(ScanFlags flags) {
    char text[SCAN_LETTERS_MAX + 1];
    scan_flag_letters(flags, text);
    return text;
}

TEST(ScanFlagLetters, FollowTheTableInOrder) {
    EXPECT_EQ(letters(SCAN_DEFAULT_FLAGS), "mQPRSTUWabcdefghi");
    EXPECT_EQ(letters(SCAN_DEFAULT_FLAGS | SCAN_CURE), "mQPRSTUWabcdefghil");
    EXPECT_EQ(letters(0), "mqprstuw");
    // Bits without a row and the names bit give no letter.
    EXPECT_EQ(letters(0x1u | 0x8u | 0x10u | 0x20u | SCAN_NO_NAMES | 0xff800000u), "mqprstuw");
    EXPECT_EQ(letters(0xffffffffu).size(), static_cast<size_t>(SCAN_LETTERS_MAX));
}

TEST(VerdictNames, CoverTheTableOnly) {
    const char *names[] = {"OK",        "INFECTED",  "CURED",     "CUREFAILED", "WARNING",
                           "SUSPICION", "PROTECTED", "CORRUPTED", "DELETED",    "ERROR"};
    for (Verdict v = 0; v < VERDICT_COUNT; ++v)
        EXPECT_STREQ(verdict_name(v), names[v]);
    EXPECT_EQ(verdict_name(VERDICT_COUNT), nullptr);
}

TEST_F(Scan, SendsTheScanLineForEachMask) {
    struct Case {
        ScanFlags flags;
        std::string line;
    } cases[] = {
        {SCAN_DEFAULT_FLAGS, "SCAN xmQPRSTUWabcdefghi /a\r\n"},
        {SCAN_DEFAULT_FLAGS | SCAN_CURE, "SCAN xmQPRSTUWabcdefghil /a\r\n"},
        {0, "SCAN xmqprstuw /a\r\n"},
    };
    for (const Case &c : cases) {
        FakeServer one;
        one.send(FakeServer::greeting()).expect_line().send("220 /a\r\n");
        Connection conn = open_connection(one);
        EXPECT_EQ(conn_scan(conn.get(), "/a", &report, c.flags, nullptr), RC_OK);
        EXPECT_EQ(report.verdict, VERDICT_OK);
        EXPECT_EQ(hang_up(one, conn.get()), c.line);
        scan_report_clear(&report);
    }
}

TEST_F(Scan, PathsAreSentByteForByteUpTo1024Characters) {
    std::string longest = "/" + std::string(1023, 'p');
    std::string odd = "/with blank\nand\rlone breaks";
    FakeServer one;
    one.send(FakeServer::greeting())
        .expect_line()
        .send("220 ok\r\n")
        .expect_line()
        .send("220 ok\r\n");
    Connection conn = open_connection(one);
    EXPECT_EQ(conn_scan(conn.get(), longest.c_str(), &report, 0, nullptr), RC_OK);
    EXPECT_EQ(conn_scan(conn.get(), odd.c_str(), &report, 0, nullptr), RC_OK);

    std::string too_long = longest + "q";
    EXPECT_EQ(conn_scan(conn.get(), too_long.c_str(), &report, 0, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(conn_scan(conn.get(), "/a\r\nNOOP", &report, 0, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(conn_scan(conn.get(), "/a", nullptr, 0, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(hang_up(one, conn.get()),
              "SCAN xmqprstuw " + longest + "\r\nSCAN xmqprstuw " + odd + "\r\n");
}

TEST_F(Scan, EachFinalCodeGivesItsVerdictOrResult) {
    struct Case {
        std::string line;
        ResultCode code;
        Verdict verdict;
    } cases[] = {
        {"220 a", RC_OK, VERDICT_OK},
        {"230 a", RC_OK, VERDICT_INFECTED},
        {"221 a", RC_OK, VERDICT_CURED},
        {"231 a", RC_OK, VERDICT_CUREFAILED},
        {"233 a", RC_OK, VERDICT_WARNING},
        {"232 a", RC_OK, VERDICT_SUSPICION},
        {"240 a", RC_OK, VERDICT_PROTECTED},
        {"234 a", RC_OK, VERDICT_CORRUPTED},
        {"241 a", RC_OK, VERDICT_ERROR},
        {"525 a", RC_SCAN_525, VERDICT_OK},
        {"532 a", RC_SCAN_532, VERDICT_OK},
        {"222 a", RC_PROTOCOL_ERROR, VERDICT_OK},
        {"200 a", RC_PROTOCOL_ERROR, VERDICT_OK},
        {"312 5 ABC", RC_PROTOCOL_ERROR, VERDICT_OK},
        // Over a Unix socket there is no stream to upload.
        {"310 send it", RC_PROTOCOL_ERROR, VERDICT_OK},
    };
    for (const Case &c : cases) {
        FakeServer one;
        one.send(FakeServer::greeting()).expect_line().send("230-x\r\n" + c.line + "\r\n");
        Connection conn = open_connection(one);
        EXPECT_EQ(conn_scan(conn.get(), "/a", &report, 0, nullptr), c.code) << c.line;
        EXPECT_EQ(report.verdict, c.verdict) << c.line;
        EXPECT_EQ(conn->state, nullptr) << c.line;
        EXPECT_EQ(conn->scan_path, nullptr) << c.line;
        hang_up(one, conn.get());
        scan_report_clear(&report);
    }
}

TEST_F(Scan, CountsAndListsPerObjectLines) {
    std::string reply = "322-A x\r\n321-seen\r\n322-B\r\n323-C y\r\n327-D\r\n328-E\r\n328-F\r\n"
                        "330-done\r\n310-ignored\r\n999-ignored\r\n230 /a\r\n";
    Connection conn = answer(reply);
    ASSERT_EQ(conn_scan(conn.get(), "/a", &report, 0, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_INFECTED);
    EXPECT_EQ(report.infected_count, 2u);
    EXPECT_EQ(report.cured_count, 1u);
    EXPECT_EQ(report.warning_count, 1u);
    EXPECT_EQ(report.suspicion_count, 2u);
    EXPECT_STREQ(report.infected_list, "A x\nB\n");
    EXPECT_STREQ(report.cured_list, "C y\n");
    EXPECT_STREQ(report.warning_list, "D\n");
    EXPECT_STREQ(report.suspicion_list, "E\nF\n");
    hang_up(server, conn.get());

    scan_report_clear(&report);
    for (char *list :
         {report.infected_list, report.cured_list, report.warning_list, report.suspicion_list})
        EXPECT_EQ(list, nullptr);
    EXPECT_EQ(report.verdict | report.infected_count | report.cured_count | report.warning_count |
                  report.suspicion_count,
              0u);
    EXPECT_EQ(scan_report_clear(nullptr), RC_OK);
}

TEST_F(Scan, NoNamesCountsWithoutListing) {
    Connection conn = answer("322-A\r\n322-B\r\n323-C\r\n230 /a\r\n");
    ASSERT_EQ(conn_scan(conn.get(), "/a", &report, SCAN_NO_NAMES, nullptr), RC_OK);
    EXPECT_EQ(report.infected_count, 2u);
    EXPECT_EQ(report.cured_count, 1u);
    EXPECT_EQ(report.infected_list, nullptr);
    EXPECT_EQ(report.cured_list, nullptr);
    EXPECT_EQ(hang_up(server, conn.get()), "SCAN xmqprstuw /a\r\n");
}

std::vector<std::pair<int32_t, std::string>> events;
ScanReport *report_seen_by_callback = nullptr;
uint32_t infected_count_at_call = 0;
void record_event(int32_t event, const char *text) {
    events.emplace_back(event, text);
    if (event == 1 && report_seen_by_callback != nullptr)
        infected_count_at_call = report_seen_by_callback->infected_count;
}

TEST_F(Scan, ProgressCallbackSeesEveryObjectLineBeforeItIsCounted) {
    events.clear();
    report_seen_by_callback = &report;
    Connection conn = answer("321-a\r\n322-b\r\n330-c\r\n320-d\r\n331-e\r\n220 /a\r\n");
    ASSERT_EQ(conn_scan(conn.get(), "/a", &report, 0, record_event), RC_OK);
    report_seen_by_callback = nullptr;
    std::vector<std::pair<int32_t, std::string>> expected = {{0, "a"}, {1, "b"}, {9, "c"}};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(infected_count_at_call, 0u); // the 322 is counted after the call
    EXPECT_EQ(report.infected_count, 1u);
    hang_up(server, conn.get());
}

TEST_F(Scan, BusyConnectionLeavesTheReportAlone) {
    Connection conn = make_connection();
    conn->state = read_lines;
    report.infected_count = 7;
    EXPECT_EQ(conn_scan(conn.get(), "/a", &report, 0, nullptr), RC_BUSY);
    EXPECT_EQ(report.infected_count, 7u);
    conn->state = nullptr;
    report.infected_count = 0;
}

TEST_F(Scan, MemoryShortageSendsNothingAndLeaksNothing) {
    // The line, then the path copy: failing either sends nothing.
    for (int successes = 0; successes < 2; ++successes) {
        FakeServer one;
        one.send(FakeServer::greeting());
        Connection conn = open_connection(one);
        faults::track_allocations();
        faults::fail_malloc_after(successes);
        EXPECT_EQ(conn_scan(conn.get(), "/a", &report, 0, nullptr), RC_NO_MEMORY);
        faults::fail_malloc_after(-1);
        EXPECT_EQ(conn->result, RC_NO_MEMORY);
        EXPECT_EQ(conn->state, nullptr);
        EXPECT_EQ(faults::live_allocations(), 0);
        EXPECT_EQ(hang_up(one, conn.get()), "");
        faults::reset();
    }
}

TEST(ListAppendLine, GrowsTheListOrLeavesItUnchanged) {
    char *list = nullptr;
    ASSERT_EQ(list_append_line(&list, "one"), RC_OK);
    ASSERT_EQ(list_append_line(&list, ""), RC_OK);
    ASSERT_EQ(list_append_line(&list, "two words"), RC_OK);
    EXPECT_STREQ(list, "one\n\ntwo words\n");

    faults::fail_malloc_after(0);
    EXPECT_EQ(list_append_line(&list, "three"), RC_NO_MEMORY);
    faults::reset();
    EXPECT_STREQ(list, "one\n\ntwo words\n");
    std::free(list);
}

TEST_F(Scan, AListEntryThatCannotBeAllocatedIsStillCounted) {
    Connection conn = answer("322-A\r\n322-B\r\n230 /a\r\n");
    // The line and the path copy succeed, the first list entry too.
    faults::fail_malloc_after(3);
    EXPECT_EQ(conn_scan(conn.get(), "/a", &report, 0, nullptr), RC_OK);
    faults::reset();
    EXPECT_EQ(report.infected_count, 2u);
    EXPECT_STREQ(report.infected_list, "A\n");
    hang_up(server, conn.get());
}

// NETSCAN over TCP: the file's size and digest; the bytes follow on a 310.
class NetScan : public ::testing::Test {
  protected:
    void TearDown() override { scan_report_clear(&report); }

    FakeServer server{FakeServer::Transport::Tcp};
    TempDir dir;
    ScanReport report{};
};

using fault_helpers::md5_hex;

TEST_F(NetScan, AnnouncesSizeAndDigest) {
    std::string content = "some file contents\n";
    std::string file = dir.write("f", content);
    server.send(FakeServer::greeting()).expect_line().send("230 x\r\n");
    Connection conn = open_connection(server);
    ASSERT_NE(conn->flags & CONN_TCP, 0u);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_DEFAULT_FLAGS, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_INFECTED);
    EXPECT_EQ(conn->scan_stream, nullptr);
    EXPECT_EQ(hang_up(server, conn.get()), "NETSCAN xmQPRSTUWabcdefghi " +
                                               std::to_string(content.size()) + " " +
                                               md5_hex(content) + "\r\n");
}

TEST_F(NetScan, EmptyFileIsCleanWithoutAskingTheServer) {
    std::string file = dir.write("empty", "");
    server.send(FakeServer::greeting());
    Connection conn = open_connection(server);
    report.verdict = VERDICT_ERROR;
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_OK);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->scan_stream, nullptr);
    EXPECT_EQ(hang_up(server, conn.get()), "");
}

TEST_F(NetScan, AMissingOrUnreadableFileIsABadArgument) {
    server.send(FakeServer::greeting());
    Connection conn = open_connection(server);
    conn->result = RC_SCAN_532; // left by an earlier command
    EXPECT_EQ(conn_scan(conn.get(), (dir / "missing").c_str(), &report, 0, nullptr),
              RC_BAD_ARGUMENT);
    EXPECT_EQ(conn->result, RC_BAD_ARGUMENT);
    // A directory opens, but reading it fails: it is not announced as an
    // empty, clean file.
    conn->result = RC_SCAN_532;
    EXPECT_EQ(conn_scan(conn.get(), dir.path().c_str(), &report, 0, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(conn->result, RC_BAD_ARGUMENT);
    // A FIFO is refused at once instead of waiting for a writer, and a file
    // that is not the one the caller examined is not scanned in its place.
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(conn_scan(conn.get(), fifo.c_str(), &report, 0, nullptr), RC_BAD_ARGUMENT);
    std::string file = dir.write("f", "abc");
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    ASSERT_EQ(conn_scan_identity(conn.get(), info.st_dev, info.st_ino + 1), RC_OK);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(conn->scan_stream, nullptr);
    EXPECT_EQ(hang_up(server, conn.get()), "");
}

} // namespace

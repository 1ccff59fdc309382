// The check mode of the built client: exact output, statuses and what goes
// over the wire.
#include <gtest/gtest.h>

#include "cli_helpers.h"

namespace {

struct CheckRun {
    ProcessResult run;
    std::string wire;
};

CheckRun check(const std::string &greeting, const std::string &keys_reply,
               std::vector<std::string> extra = {}) {
    FakeServer server;
    server.send(greeting).expect_line().send(keys_reply);
    server.start();
    std::vector<std::string> args = {"-p", server.path(), "-c"};
    args.insert(args.end(), extra.begin(), extra.end());
    CheckRun result{run_client(args), {}};
    result.wire = server.received();
    return result;
}

TEST(CheckMode, PrintsTheDatabaseAndEveryKeyRecord) {
    CheckRun c =
        check(FakeServer::greeting("05032004", 123456), "301-1A2B-3C-DEADBEEF 01022030 7 L 8\r\n"
                                                        "301-12345-abcdef0-1 31122099 0 N 0\r\n"
                                                        "301-1-2-3 0101 bad line\r\n"
                                                        "200 done\r\n");
    EXPECT_EQ(c.run.out, "RECORDS 123456\nUPDATED 05-03-2004\n\n"
                         "SERIAL 1A2B-00003C-DEADBEEF\nEXPIRE 01-02-2030\n\n"
                         "SERIAL 12345-ABCDEF0-00000001\nEXPIRE 31-12-2099\n\n");
    EXPECT_EQ(c.run.err, "");
    EXPECT_EQ(c.run.status, 0);
    EXPECT_EQ(c.wire, "KEYS\r\n") << "no QUIT in the check mode";
}

TEST(CheckMode, EmptyListAndOperandsIgnored) {
    CheckRun c = check(FakeServer::greeting("31121999", 0), "500 none\r\n", {"file1", "-"});
    EXPECT_EQ(c.run.out, "RECORDS 0\nUPDATED 31-12-1999\n\n");
    EXPECT_EQ(c.run.status, 0);
}

TEST(CheckMode, QuietPrintsNothing) {
    CheckRun c = check(FakeServer::greeting(), "301-1-2-3 01012001 1 L 2\r\n200 \r\n", {"-q"});
    EXPECT_EQ(c.run.out, "");
    EXPECT_EQ(c.run.err, "");
    EXPECT_EQ(c.run.status, 0);
}

TEST(CheckMode, ServerThatClosesBeforeAnsweringFails) {
    FakeServer server;
    server.send(FakeServer::greeting())
        .expect_line()
        .send("301-1-2-3 01012001 1 L 2\r\n")
        .close_now();
    server.start();
    ProcessResult run = run_client({"-c", "-q", "-p", server.path()});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ERROR: Can not connect to server !\n");
    EXPECT_EQ(run.status, 1);
}

TEST(CheckMode, RecordCountIsPrintedUnsigned) {
    CheckRun c = check(FakeServer::greeting("01012001", 4000000000u), "200 \r\n");
    EXPECT_EQ(c.run.out, "RECORDS 4000000000\nUPDATED 01-01-2001\n\n");
}

} // namespace

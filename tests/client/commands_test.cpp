// NOOP, QUIT, ENV and KEYS against the fake server.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/faults.h"
#include "test_connection.h"

namespace {

class Commands : public ::testing::Test {
  protected:
    void SetUp() override { faults::reset(); }
    void TearDown() override { faults::reset(); }

    // A server that greets, takes one command line and answers `reply`.
    Connection answer(const std::string &reply, uint32_t buffer_size = 8192, uint16_t flags = 0) {
        server.send(FakeServer::greeting()).expect_line().send(reply);
        return open_connection(server, buffer_size, flags);
    }

    FakeServer server;
};

TEST_F(Commands, NoopAcceptsOnlyAFinal200) {
    Connection conn = answer("100-ignored\r\n200 ok\r\n");
    EXPECT_EQ(conn_noop(conn.get()), RC_OK);
    EXPECT_EQ(hang_up(server, conn.get()), "NOOP\r\n");

    FakeServer other;
    other.send(FakeServer::greeting()).expect_line().send("250 fine\r\n");
    Connection second = open_connection(other);
    EXPECT_EQ(conn_noop(second.get()), RC_PROTOCOL_ERROR);
}

TEST_F(Commands, QuitClosesTheSocketWhateverTheReply) {
    Connection conn = answer("500 what\r\n");
    int sock = conn->sock;
    EXPECT_EQ(conn_quit(conn.get()), RC_PROTOCOL_ERROR);
    EXPECT_EQ(conn->result, RC_PROTOCOL_ERROR);
    EXPECT_EQ(fcntl(sock, F_GETFD), -1) << "descriptor closed";
    EXPECT_EQ(server.received(), "QUIT\r\n");
    EXPECT_EQ(conn_noop(conn.get()), RC_READ_FAILED) << "no further commands";
}

TEST_F(Commands, QuitOnABusyConnectionOrWithoutWaiting) {
    server.send(FakeServer::greeting()).expect_line();
    Connection conn = open_connection(server);
    EXPECT_EQ(conn_noop(conn.get()), RC_TIMEOUT); // stays busy
    int sock = conn->sock;
    EXPECT_EQ(conn_quit(conn.get()), RC_BUSY);
    EXPECT_EQ(conn->result, RC_BUSY);
    EXPECT_EQ(fcntl(sock, F_GETFD), -1);
    EXPECT_EQ(server.received(), "NOOP\r\n");

    FakeServer other;
    other.send(FakeServer::greeting());
    Connection queued = open_connection(other, 8192, CONN_NO_WAIT);
    sock = queued->sock;
    EXPECT_EQ(conn_quit(queued.get()), RC_BUSY);
    EXPECT_EQ(fcntl(sock, F_GETFD), -1) << "closed before the line was written";
    EXPECT_EQ(other.received(), "");
}

TEST_F(Commands, QuitOnAConnectionNeverOpenedLeavesOtherDescriptorsAlone) {
    Connection conn = make_connection(8192, CONN_NO_WAIT);
    EXPECT_EQ(conn_quit(conn.get()), RC_BUSY);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "standard input is still open";
}

TEST_F(Commands, EnvSendsOperatorAndTextAndMapsTheFinalCode) {
    const std::pair<const char *, ResultCode> cases[] = {{"200 ok\r\n", RC_OK},
                                                         {"202 later\r\n", RC_ENV_202},
                                                         {"501 no\r\n", RC_ENV_REFUSED},
                                                         {"250 hm\r\n", RC_PROTOCOL_ERROR},
                                                         {"100-x\r\n200 ok\r\n", RC_OK}};
    for (const auto &[reply, expected] : cases) {
        FakeServer fresh;
        fresh.send(FakeServer::greeting()).expect_line().send(reply);
        Connection conn = open_connection(fresh);
        EXPECT_EQ(conn_env(conn.get(), '=', "NAME value\r\n"), expected) << reply;
        EXPECT_EQ(hang_up(fresh, conn.get()), "ENV =NAME value\r\n");
    }
}

TEST_F(Commands, EnvTextUpToTheBufferSizeLessFive) {
    std::string fits = std::string(64 - 5 - 2, 't') + "\r\n";
    Connection conn = answer("200 ok\r\n", 64);
    faults::track_allocations();
    EXPECT_EQ(conn_env(conn.get(), '+', (fits + "x").c_str()), RC_COMMAND_TOO_LONG);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn_env(conn.get(), '+', fits.c_str()), RC_OK);
    EXPECT_EQ(faults::live_allocations(), 0) << "the line is released once sent";
    EXPECT_EQ(hang_up(server, conn.get()), "ENV +" + fits);
}

TEST_F(Commands, EnvOnABusyConnectionOrWithoutMemoryLeaksNothing) {
    Connection conn = answer("", 8192, CONN_NO_WAIT);
    EXPECT_EQ(conn_noop(conn.get()), RC_BUSY); // queued, now in progress
    faults::track_allocations();
    EXPECT_EQ(conn_env(conn.get(), '=', "A\r\n"), RC_BUSY);
    EXPECT_EQ(faults::live_allocations(), 0);

    Connection idle = make_connection();
    faults::fail_malloc_after(0);
    EXPECT_EQ(conn_env(idle.get(), '=', "A\r\n"), RC_NO_MEMORY);
    faults::reset();
    EXPECT_EQ(idle->state, nullptr);
}

TEST_F(Commands, KeyLinesAreParsedIntoRecords) {
    Connection conn = answer("301-1a2b-3c4d5e-6f708090 31122030 7 L 8\r\n"
                             "301-0X1A2B-0xABCDEF-deadBEEF 01012001 1 N 2\r\n"
                             "301-12345-0-ffffffff 29022024 0 l 0\r\n"
                             "301-1-2-3 01012001 1 Q 2\r\n"
                             "200 end\r\n");
    EXPECT_EQ(conn_keys(conn.get()), RC_OK);
    auto keys = keys_of(conn.get());
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].serial1, 0x1a2bu);
    EXPECT_EQ(keys[0].serial2, 0x3c4d5eu);
    EXPECT_EQ(keys[0].serial3, 0x6f708090u);
    EXPECT_EQ(keys[0].expire_day, 31);
    EXPECT_EQ(keys[0].expire_month, 12);
    EXPECT_EQ(keys[0].expire_year, 2030);
    EXPECT_EQ(keys[0].word3, 7u);
    EXPECT_EQ(keys[0].kind, KEY_KIND_L);
    EXPECT_EQ(keys[0].word5, 8u);
    EXPECT_EQ(keys[1].serial1, 0x1a2bu);
    EXPECT_EQ(keys[1].serial2, 0xabcdefu);
    EXPECT_EQ(keys[1].serial3, 0xdeadbeefu);
    EXPECT_EQ(keys[1].kind, KEY_KIND_N);
    EXPECT_EQ(keys[2].serial1, 0x12345u);
    EXPECT_EQ(keys[2].kind, KEY_KIND_OTHER) << "the letter is case-sensitive";
    EXPECT_EQ(keys[3].kind, KEY_KIND_OTHER);
    EXPECT_EQ(keys[3].next, nullptr);
    EXPECT_EQ(hang_up(server, conn.get()), "KEYS\r\n");
}

TEST_F(Commands, MalformedKeyLinesAreLeftOutAndTheCommandGoesOn) {
    Connection conn = answer("301-1-2-3 01012001 1 LN 2\r\n" // kind word of two characters
                             "301-1-2 01012001 1 L 2\r\n"    // serial in two parts
                             "301-1-2-3 01012001 1 L\r\n"    // no fifth word
                             "302-1-2-3 01012001 1 L 2\r\n"  // not a key line
                             "301-a-b-c 02022002 3 L 4\r\n"
                             "301 1-2-3 01012001 1 L 2\r\n"); // final: not parsed
    EXPECT_EQ(conn_keys(conn.get()), RC_OK);
    auto keys = keys_of(conn.get());
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].serial1, 0xau);
    EXPECT_EQ(keys[0].expire_year, 2002);
}

TEST_F(Commands, KeysEndsOnAnyFinalLineAndAppendsToTheList) {
    server.send(FakeServer::greeting())
        .expect_line()
        .send("301-1-1-1 01012001 1 L 1\r\n500 odd\r\n")
        .expect_line()
        .send("301-2-2-2 01012001 1 L 1\r\n200 \r\n")
        .expect_line()
        .send("220 \r\n");
    Connection conn = open_connection(server);
    EXPECT_EQ(conn_keys(conn.get()), RC_OK);
    EXPECT_EQ(conn_keys(conn.get()), RC_OK);
    EXPECT_EQ(conn_keys(conn.get()), RC_OK);
    auto keys = keys_of(conn.get());
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].serial1, 1u);
    EXPECT_EQ(keys[1].serial1, 2u);
    EXPECT_EQ(free_key_list(conn.get()), RC_OK);
    EXPECT_EQ(conn->key_list, nullptr);
    EXPECT_EQ(free_key_list(conn.get()), RC_OK);
}

TEST_F(Commands, RecordThatCannotBeAllocatedEndsTheCommandAndKeepsTheList) {
    // One key line per read; the second meets a failing malloc.
    const std::string line = "301-1-1-1 01012001 1 L 1\r\n";
    server.send(FakeServer::greeting())
        .expect_line()
        .send(line + "301-2-2-2 01012001 1 L 1\r\n301-3-3-3 01012001 1 L 1\r\n200 \r\n");
    Connection conn = open_connection(server, 8192, CONN_NO_WAIT);
    ASSERT_EQ(conn_keys(conn.get()), RC_BUSY);
    faults::split_reads({line.size(), line.size()});
    faults::track_allocations();
    conn_step(conn.get()); // writes KEYS
    conn_step(conn.get()); // first key line
    EXPECT_EQ(keys_of(conn.get()).size(), 1u);
    faults::fail_malloc_after(0);
    conn_step(conn.get()); // second key line: no memory
    faults::fail_malloc_after(-1);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->result, RC_NO_MEMORY);
    EXPECT_EQ(keys_of(conn.get()).size(), 1u);
    EXPECT_EQ(faults::live_allocations(), 1) << "only the record kept in the list";
}

TEST_F(Commands, ServerClosingInsideKeysKeepsTheRecordsReceived) {
    server.send(FakeServer::greeting())
        .expect_line()
        .send("301-1-1-1 01012001 1 L 1\r\n")
        .close_now();
    Connection conn = open_connection(server);
    EXPECT_EQ(conn_keys(conn.get()), RC_READ_FAILED);
    EXPECT_EQ(keys_of(conn.get()).size(), 1u);
}

} // namespace

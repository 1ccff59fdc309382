// The built server end to end over its Unix socket: the greeting, real scans
// with and without cure, the control commands, several clients at once and
// clients that misbehave or vanish.
#include <gtest/gtest.h>

#include <cstdio>

#include "raw_client.h"
#include "standin/fingerprint.h"
#include "standin/server.h"
#include "standin/signatures.h"
#include "standin_process.h"

namespace {

using Lines = std::vector<std::string>;

const std::string &test_file() {
    return standin::test_file_bytes();
}

class Server : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error_output(); }

    // A connection that has been greeted.
    std::unique_ptr<RawClient> client() {
        auto raw = std::make_unique<RawClient>(server.socket_path());
        EXPECT_TRUE(raw->connected());
        std::optional<std::string> greeting = raw->line();
        EXPECT_TRUE(greeting && greeting->rfind("201 ", 0) == 0) << greeting.value_or("nothing");
        return raw;
    }

    std::string file(const std::string &name, std::string_view bytes) {
        return folder.write(name, bytes);
    }

    StandinProcess server{{"--signatures", SAMPLE_SIGNATURES, "--key",
                           "1a2b-3c4d-5e6f 31122027 5 L 100", "--key", "ff-0-1 01012030 0 N 7"}};
    TestFolder folder;
};

TEST_F(Server, GreetingReadsAsTheClientReadsIt) {
    RawClient raw(server.socket_path());
    std::optional<std::string> greeting = raw.line();
    ASSERT_TRUE(greeting);
    unsigned first = 0, version = 0, third = 0, day = 0, month = 0, year = 0, records = 0;
    char tag[20] = {};
    ASSERT_EQ(std::sscanf(greeting->c_str(), "201 %u %u %u %2u%2u%4u %u %19s", &first, &version,
                          &third, &day, &month, &year, &records, tag),
              8)
        << *greeting;
    EXPECT_EQ(version, 4u);
    EXPECT_EQ(third, 5u) << "signatures loaded: the test file and four samples";
    EXPECT_EQ(day, 15u);
    EXPECT_EQ(month, 6u);
    EXPECT_EQ(year, 2024u);
    EXPECT_EQ(records, 1000u);
    EXPECT_STREQ(tag, "standin");
}

TEST(ServerGreeting, AnnouncesTheConfiguredDatabase) {
    StandinProcess server({"--date", "05032004", "--records", "123456", "--tag", "nightly"});
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.socket_path());
    EXPECT_EQ(raw.line(), "201 1 4 1 05032004 123456 nightly");
}

TEST_F(Server, CleanInfectedAndUnreadableFiles) {
    auto raw = client();
    std::string clean = file("clean file.txt", "nothing to see\n");
    EXPECT_EQ(raw->command("SCAN xmQPRSTUWabcdefghi " + clean).lines, Lines{"220 " + clean})
        << "the path runs to the line end, blanks included";

    std::string infected = file("eicar.com", test_file());
    EXPECT_EQ(raw->command("SCAN xm " + infected).lines,
              (Lines{"322-EICAR-Test-File " + infected, "230 " + infected}));

    std::string mixed = file("mixed", "STANDIN-SAMPLE-PACKER " + test_file() +
                                          " STANDIN-SAMPLE-WORM STANDIN-SAMPLE-DROPPER");
    EXPECT_EQ(raw->command("SCAN xm " + mixed).lines,
              (Lines{"327-Sample.Packer " + mixed, "322-EICAR-Test-File " + mixed,
                     "322-Sample.Worm " + mixed, "328-Sample.Dropper " + mixed, "230 " + mixed}));

    EXPECT_EQ(raw->command("SCAN xm " + file("warn", "STANDIN-SAMPLE-PACKER")).final_line(),
              "233 " + folder.path() + "/warn");
    EXPECT_EQ(raw->command("SCAN xm " + file("sus", "STANDIN-SAMPLE-DROPPER")).final_line(),
              "232 " + folder.path() + "/sus");
    EXPECT_EQ(raw->command("SCAN xm " + file("empty", "")).lines,
              Lines{"220 " + folder.path() + "/empty"});

    std::string missing = folder.path() + "/missing";
    EXPECT_EQ(raw->command("SCAN xm " + missing).lines, Lines{"241 " + missing});
    EXPECT_EQ(raw->command("SCAN xm " + folder.path()).lines, Lines{"241 " + folder.path()});
    EXPECT_EQ(raw->command("NOOP").lines, Lines{"200 OK"}) << "the connection goes on";
}

TEST_F(Server, CureSendsTheNeutralisedCopyWithItsDigest) {
    auto raw = client();
    const std::string original = "line one\n" + test_file() + "\nline three\n";
    std::string path = file("letter.txt", original);
    Reply reply = raw->command("SCAN xmQl " + path);
    const std::string cured = "line one\n" + std::string(68, '#') + "\nline three\n";
    ASSERT_EQ(reply.lines.size(), 3u);
    EXPECT_EQ(reply.lines[0], "323-EICAR-Test-File " + path);
    EXPECT_EQ(reply.lines[1],
              "312-" + std::to_string(cured.size()) + " " + standin::md5_text(cured));
    EXPECT_EQ(reply.cured_copy, cured);
    EXPECT_EQ(reply.lines[2], "221 " + path);
    EXPECT_EQ(read_file(path), original) << "the server leaves the file to the client";

    // A scan without 'l' does not cure.
    EXPECT_EQ(raw->command("SCAN xmQ " + path).final_line(), "230 " + path);
}

TEST_F(Server, CureFailsForTheBareTestFileAndUncurableSignatures) {
    auto raw = client();
    std::string bare = file("eicar.com", test_file() + "\n");
    EXPECT_EQ(raw->command("SCAN xl " + bare).lines,
              (Lines{"322-EICAR-Test-File " + bare, "231 " + bare}));
    std::string locked = file("locked", "text STANDIN-SAMPLE-ROOTKIT " + test_file());
    Reply reply = raw->command("SCAN xl " + locked);
    EXPECT_EQ(reply.lines, (Lines{"322-Sample.Rootkit " + locked, "322-EICAR-Test-File " + locked,
                                  "231 " + locked}));
    EXPECT_TRUE(reply.cured_copy.empty());
}

TEST_F(Server, CureOfALargeFileWithPatternsAcrossReads) {
    auto raw = client();
    std::string big(300000, 'a');
    for (size_t at : {0ul, 65536ul - 10, 131072ul - 1, 300000ul - 68})
        big.replace(at, 68, test_file());
    std::string path = file("big", big);
    Reply reply = raw->command("SCAN xl " + path);
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.final_line(), "221 " + path);
    std::string expected = big;
    for (size_t at : {0ul, 65536ul - 10, 131072ul - 1, 300000ul - 68})
        expected.replace(at, 68, std::string(68, '#'));
    EXPECT_EQ(reply.cured_copy.size(), expected.size());
    EXPECT_TRUE(reply.cured_copy == expected);
}

TEST_F(Server, ControlCommands) {
    auto raw = client();
    EXPECT_EQ(raw->command("KEYS").lines, (Lines{"301-1a2b-3c4d-5e6f 31122027 5 L 100",
                                                 "301-ff-0-1 01012030 0 N 7", "200 2 keys"}));
    EXPECT_EQ(raw->command("NOOP").lines, Lines{"200 OK"});
    EXPECT_EQ(raw->command("ENV =PATH=/bin").lines, Lines{"200 OK"});
    EXPECT_EQ(raw->command("ENV").final_line().substr(0, 4), "501 ");
    EXPECT_EQ(raw->command("HELLO there").final_line().substr(0, 4), "500 ");
    EXPECT_EQ(raw->command("scan xm /etc/hostname").final_line().substr(0, 4), "500 ")
        << "commands are case-sensitive";
    EXPECT_EQ(raw->command("SCAN").final_line().substr(0, 4), "501 ");
    EXPECT_EQ(raw->command("SCAN xm").final_line().substr(0, 4), "501 ");
    EXPECT_EQ(raw->command("SCAN m /etc/hostname").final_line().substr(0, 4), "501 ");
    EXPECT_EQ(raw->command("NETSCAN xm 12").final_line().substr(0, 4), "501 ");
    EXPECT_EQ(raw->command("QUIT").lines, Lines{"200 bye"});
    EXPECT_TRUE(raw->hung_up());
}

TEST(ServerKeys, NoKeysConfigured) {
    StandinProcess server;
    ASSERT_TRUE(server.started());
    RawClient raw(server.socket_path());
    ASSERT_TRUE(raw.line());
    EXPECT_EQ(raw.command("KEYS").lines, Lines{"200 0 keys"});
}

TEST_F(Server, CommandsSentTogetherAreAnsweredInOrder) {
    auto raw = client();
    ASSERT_TRUE(raw->send("NOOP\r\nKEYS\r\nQUIT\r\n"));
    EXPECT_EQ(raw->reply().lines, Lines{"200 OK"});
    EXPECT_EQ(raw->reply().lines.size(), 3u);
    EXPECT_EQ(raw->reply().lines, Lines{"200 bye"});
    EXPECT_TRUE(raw->hung_up());
}

TEST_F(Server, ServesSeveralClientsAtOnceWhileOneStalls) {
    auto stalled = client();
    ASSERT_TRUE(stalled->send("SCAN xm /half-a-li"));
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(client());
    std::string clean = file("clean", "ok");
    // Interleaved: every client has a command in flight before any reply is read.
    for (auto &raw : clients)
        ASSERT_TRUE(raw->send("SCAN xm " + clean + "\r\n"));
    for (auto &raw : clients)
        EXPECT_EQ(raw->reply().lines, Lines{"220 " + clean});
    ASSERT_TRUE(stalled->send("ne\r\n"));
    EXPECT_EQ(stalled->reply().lines, Lines{"241 /half-a-line"});
}

TEST(ServerClients, ABurstUpToTheLimitIsGreetedAndTheNextToldOverloaded) {
    StandinProcess server;
    ASSERT_TRUE(server.started()) << server.error_output();
    // Frozen, the server accepts nothing, so every connection waits in its
    // listen queue at once, as when a parallel scan opens all of them first.
    server.freeze();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (unsigned i = 0; i <= standin::kMaxClients; ++i) {
        clients.push_back(std::make_unique<RawClient>(server.socket_path()));
        ASSERT_TRUE(clients.back()->connected()) << "connection " << i << " refused";
    }
    server.freeze(false);
    for (unsigned i = 0; i < standin::kMaxClients; ++i) {
        ASSERT_EQ(clients[i]->line(), "201 1 4 1 15062024 1000 standin") << i;
        ASSERT_TRUE(clients[i]->send("NOOP\r\n"));
    }
    EXPECT_EQ(clients.back()->line(), "401 server is overloaded");
    for (unsigned i = 0; i < standin::kMaxClients; ++i)
        EXPECT_EQ(clients[i]->reply().lines, Lines{"200 OK"}) << i;
}

TEST_F(Server, SurvivesClientsThatVanishAtAnyPoint) {
    std::string big = file("big", std::string(4 << 20, 'x') + test_file());
    {
        // Gone before the greeting is read.
        RawClient gone(server.socket_path());
    }
    {
        // Gone in the middle of a command line.
        auto raw = client();
        raw->send("SCAN xm /et");
    }
    {
        // Gone while a 4 MiB cured copy is on its way: the server's writes fail.
        auto raw = client();
        raw->send("SCAN xl " + big + "\r\n");
        raw->line();
    }
    {
        // A line longer than the server takes.
        auto raw = client();
        raw->send(std::string(70000, 'A'));
        EXPECT_EQ(raw->reply().final_line().substr(0, 4), "500 ");
        EXPECT_TRUE(raw->hung_up());
    }
    EXPECT_TRUE(server.running());
    auto raw = client();
    EXPECT_EQ(raw->command("NOOP").lines, Lines{"200 OK"});
}

} // namespace

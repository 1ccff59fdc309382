// The fault and benchmark modes of the built server: refusals, slow and
// byte-by-byte replies, hanging up after a number of commands, instant
// verdicts and a served cured copy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "raw_client.h"
#include "standin/fingerprint.h"
#include "standin/signatures.h"
#include "standin_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

TEST(Refuse, OverloadedOrNotAllowedThenHangUp) {
    for (auto [mode, expected] : {std::pair{"overloaded", "401 "}, {"not-allowed", "402 "}}) {
        StandinProcess server({"--refuse", mode});
        ASSERT_TRUE(server.started()) << server.error_output();
        RawClient raw(server.socket_path());
        std::optional<std::string> line = raw.line();
        ASSERT_TRUE(line) << mode;
        EXPECT_EQ(line->substr(0, 4), expected);
        EXPECT_TRUE(raw.hung_up()) << mode;
    }
}

TEST(Slow, WaitsBeforeEveryReplyLine) {
    StandinProcess server({"--slow", "150", "--key", "1-2-3 01012030 0 N 0"});
    ASSERT_TRUE(server.started()) << server.error_output();
    auto start = Clock::now();
    RawClient raw(server.socket_path());
    EXPECT_FALSE(raw.line(50)) << "nothing within the first 50 ms";
    ASSERT_TRUE(raw.line());
    EXPECT_EQ(raw.command("KEYS").lines.size(), 2u);
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(3 * 150)) << "greeting, key line, final line";
}

TEST(Bytewise, RepliesAreUnchangedWhenWrittenByteByByte) {
    TestFolder folder;
    std::string path = folder.write("doc", "a " + standin::test_file_bytes() + " b");
    StandinProcess server({"--bytewise"});
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.socket_path());
    EXPECT_EQ(raw.line(), "201 1 4 1 15062024 1000 standin");
    Reply reply = raw.command("SCAN xl " + path);
    std::string cured = "a " + std::string(68, '#') + " b";
    EXPECT_EQ(reply.lines, (Lines{"323-EICAR-Test-File " + path,
                                  "312-72 " + standin::md5_text(cured), "221 " + path}));
    EXPECT_EQ(reply.cured_copy, cured);
}

TEST(CloseAfter, HangsUpOnceTheGivenNumberOfCommandsIsAnswered) {
    StandinProcess server({"--close-after", "2"});
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.socket_path());
    ASSERT_TRUE(raw.line());
    EXPECT_EQ(raw.command("NOOP").lines, Lines{"200 OK"});
    EXPECT_EQ(raw.command("BOGUS").final_line().substr(0, 4), "500 ") << "every command counts";
    EXPECT_TRUE(raw.hung_up());

    RawClient next(server.socket_path());
    ASSERT_TRUE(next.line()) << "the count is per connection";
    EXPECT_EQ(next.command("NOOP").lines, Lines{"200 OK"});
}

TEST(CloseAfter, ZeroHangsUpRightAfterTheGreeting) {
    StandinProcess server({"--close-after", "0"});
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.socket_path());
    ASSERT_TRUE(raw.line());
    EXPECT_TRUE(raw.hung_up());
}

// Processor time the process has used so far, in milliseconds: fields 14
// and 15 of its /proc stat line (the name in field 2 has no blank).
long cpu_ms(pid_t pid) {
    long user = 0, system = 0;
    FILE *stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return 0;
    if (std::fscanf(stat, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user,
                    &system) != 2)
        user = system = 0;
    std::fclose(stat);
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

TEST(PoolMember, AtMostTheGivenConnectionsAreServedTheNextIsToldOverloaded) {
    StandinProcess server({"--max-connections", "2", "--tcp", "0"});
    ASSERT_TRUE(server.started()) << server.error_output();
    auto first = std::make_unique<RawClient>(server.socket_path());
    RawClient second(server.tcp_port());
    ASSERT_EQ(first->line().value_or("").substr(0, 4), "201 ");
    ASSERT_EQ(second.line().value_or("").substr(0, 4), "201 ");
    // Both listeners count alike.
    for (int i = 0; i < 2; ++i) {
        RawClient beyond = i ? RawClient(server.tcp_port()) : RawClient(server.socket_path());
        EXPECT_EQ(beyond.line(), "401 server is overloaded");
        EXPECT_TRUE(beyond.hung_up());
    }
    EXPECT_EQ(second.command("NOOP").lines, Lines{"200 OK"}) << "the served ones go on";

    // Once one has gone, the server takes a new one again.
    EXPECT_EQ(first->command("QUIT").lines, Lines{"200 bye"});
    EXPECT_TRUE(first->hung_up());
    first.reset();
    std::optional<std::string> greeting;
    for (auto end = Clock::now() + std::chrono::seconds(5);
         Clock::now() < end && greeting.value_or("").rfind("201 ", 0) != 0;)
        greeting = RawClient(server.tcp_port()).line();
    EXPECT_EQ(greeting.value_or("").substr(0, 4), "201 ");
}

TEST(PoolMember, EachGreetingComesTheDelayAfterItsAcceptAndSideBySide) {
    constexpr int kDelayMs = 300, kClients = 6;
    StandinProcess server({"--greet-delay", std::to_string(kDelayMs), "--tcp", "0"});
    ASSERT_TRUE(server.started()) << server.error_output();
    auto start = Clock::now();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::make_unique<RawClient>(server.tcp_port()));
    EXPECT_FALSE(clients[0]->line(kDelayMs / 2)) << "greeted before the delay";
    for (auto &client : clients)
        EXPECT_EQ(client->line().value_or("").substr(0, 4), "201 ");
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(kDelayMs));
    EXPECT_LT(elapsed, std::chrono::milliseconds(kClients * kDelayMs / 2))
        << "delayed greetings wait side by side, not in turn";
    // Only the greeting waits.
    auto command_start = Clock::now();
    EXPECT_EQ(clients[0]->command("NOOP").lines, Lines{"200 OK"});
    EXPECT_LT(Clock::now() - command_start, std::chrono::milliseconds(kDelayMs));
}

TEST(ScanDelay, EachScanWaitsWhileScansOnOtherConnectionsGoOn) {
    constexpr int kDelayMs = 300, kClients = 8;
    StandinProcess server({"--scan-delay", std::to_string(kDelayMs), "--instant", "--tcp", "0"});
    ASSERT_TRUE(server.started()) << server.error_output();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(i % 2 ? std::make_unique<RawClient>(server.tcp_port())
                                : std::make_unique<RawClient>(server.socket_path()));
        ASSERT_TRUE(clients.back()->line());
    }
    std::string digest(32, 'A');
    long cpu_before = cpu_ms(server.pid());
    auto start = Clock::now();
    for (size_t i = 0; i < clients.size(); ++i)
        ASSERT_TRUE(
            clients[i]->send(i % 2 ? "NETSCAN xm 3 " + digest + "\r\nabc" : "SCAN xm /f\r\n"));
    for (size_t i = 0; i < clients.size(); ++i) {
        if (i % 2) {
            EXPECT_EQ(clients[i]->reply().final_line().substr(0, 4), "310 ");
        }
        EXPECT_EQ(clients[i]->reply().lines, Lines{"220 " + (i % 2 ? digest : "/f")});
    }
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(kDelayMs));
    EXPECT_LT(elapsed, std::chrono::milliseconds(kClients * kDelayMs / 2))
        << "delayed scans on separate connections wait side by side, not in turn";
    EXPECT_LT(cpu_ms(server.pid()) - cpu_before, kDelayMs / 2) << "the waits held a processor";
}

TEST(Instant, AnswersCleanWithoutOpeningTheFile) {
    StandinProcess server({"--instant", "--tcp", "0"});
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.socket_path());
    ASSERT_TRUE(raw.line());
    EXPECT_EQ(raw.command("SCAN xl /no/such/file").lines, Lines{"220 /no/such/file"});

    RawClient tcp(server.tcp_port());
    ASSERT_TRUE(tcp.line());
    const std::string &bytes = standin::test_file_bytes();
    std::string digest = standin::md5_text(bytes);
    EXPECT_EQ(tcp.command("NETSCAN xm 68 " + digest).final_line().substr(0, 4), "310 ");
    ASSERT_TRUE(tcp.send(bytes));
    EXPECT_EQ(tcp.reply().lines, Lines{"220 " + digest});

    // Exactly the announced bytes are taken, unchecked, however they arrive.
    std::string upload = std::string(3 << 20, 'x') + bytes;
    ASSERT_TRUE(tcp.send("NETSCAN xm " + std::to_string(upload.size()) + " " + digest + "\r\n" +
                         upload + "NOOP\r\n"));
    EXPECT_EQ(tcp.reply().final_line().substr(0, 4), "310 ");
    EXPECT_EQ(tcp.reply().lines, Lines{"220 " + digest});
    EXPECT_EQ(tcp.reply().lines, Lines{"200 OK"});
}

TEST(ServeCured, EveryScanGetsTheSameCopy) {
    TestFolder folder;
    std::string body(1 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 251);
    StandinProcess server({"--serve-cured", folder.write("cured.bin", body)});
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.socket_path());
    ASSERT_TRUE(raw.line());
    for (const char *path : {"/nowhere", "/etc/hostname"}) {
        Reply reply = raw.command(std::string("SCAN xm ") + path);
        EXPECT_EQ(reply.lines,
                  (Lines{"312-1048576 " + standin::md5_text(body), std::string("221 ") + path}));
        EXPECT_TRUE(reply.cured_copy == body);
    }
}

} // namespace

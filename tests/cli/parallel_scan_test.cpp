// Several connections at once (-j): the lines that one connection gives,
// connections refused or lost on the way, and what must never run on two
// connections at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "cli_helpers.h"
#include "standin/signatures.h"
#include "standin/standin_process.h"
#include "support/temp_dir.h"

namespace {

std::string scan_line(const std::string &path) {
    return "SCAN xmQPRSTUWabcdefghi " + path + "\r\n";
}

class ParallelScan : public ::testing::Test {
  protected:
    TempDir dir;
    std::string f1 = dir.write("f1", "1");
    std::string f2 = dir.write("f2", "2");
    std::string f3 = dir.write("f3", "3");
};

TEST_F(ParallelScan, ARefusedConnectionLeavesItsFilesToTheOthers) {
    FakeServer server;
    server.send(FakeServer::greeting());
    for (int i = 0; i < 3; ++i)
        server.expect_line().send("220 ok\r\n");
    server.expect_line().send("200 bye\r\n");
    server.next_client().send("401 overloaded\r\n");
    server.start();
    ProcessResult run = run_client({"-p", server.path(), "-j", "2", "-s", f1, f2, f3});
    EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " OK\n" + f3 + " OK\n");
    EXPECT_EQ(run.err, "Connection 2 of 2 could not be opened: Could not connect to orvaserver: "
                       "server is overloaded.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.received(0), scan_line(f1) + scan_line(f2) + scan_line(f3) + "QUIT\r\n");
}

TEST_F(ParallelScan, AScanCutOffIsTriedOnceMoreOnAnotherConnectionOnly) {
    // The first connection is lost with f1; the second scans f2, then f1
    // again, and is lost with it too.
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().close_now();
    server.next_client().send(FakeServer::greeting()).expect_line().send("220 ok\r\n");
    server.expect_line().close_now();
    server.start();
    ProcessResult run = run_client({"-p", server.path(), "-j", "2", "-s", f1, f2});
    EXPECT_EQ(run.out, f1 + " ERROR\n" + f2 + " OK\n");
    EXPECT_EQ(run.err, "Connection 1 of 2 lost; its files go to the other connections.\n"
                       "Connection 2 of 2 lost.\n");
    EXPECT_EQ(run.status, 0) << "the last file's";
    EXPECT_EQ(server.received(1), scan_line(f2) + scan_line(f1));
}

TEST_F(ParallelScan, AConnectionClosedByAShortUploadTakesNoFurtherFile) {
    // f1 shrinks between its announcement and the upload: the upload stops
    // short and closes the first connection; f3 then goes to the second.
    FakeServer server{FakeServer::Transport::Tcp};
    server.send(FakeServer::greeting()).expect_line();
    server.call([&] { TempDir::write_file(f1, ""); }).send("310 go\r\n");
    server.next_client().send(FakeServer::greeting());
    for (int i = 0; i < 2; ++i)
        server.expect_line().send("220 ok\r\n");
    server.expect_line().send("200 bye\r\n");
    server.start();
    ProcessResult run = run_client({"-t", server.address(), "-j", "2", "-s", f1, f2, f3});
    EXPECT_EQ(run.out, f1 + " ERROR\n" + f2 + " OK\n" + f3 + " OK\n");
    EXPECT_EQ(run.err, "Connection 1 of 2 lost; its files go to the other connections.\n");
    EXPECT_EQ(run.status, 0);
}

TEST_F(ParallelScan, EachFileIsExaminedWhenItsScanStarts) {
    // While the first two files are scanned, a later file of the tree and a
    // later operand are removed, and another file of the tree becomes a link
    // to a file outside it: what -j 1 would then print.
    ASSERT_EQ(mkdir((dir / "t").c_str(), 0700), 0);
    for (const char *name : {"t/a", "t/b", "t/c", "t/d"})
        dir.write(name, "clean");
    std::string outside = dir.write("outside", "clean");
    std::string later = dir.write("later", "clean");
    std::atomic<bool> changed{false};
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line();
    server.call([&] {
        unlink((dir / "t/c").c_str());
        unlink((dir / "t/d").c_str());
        symlink(outside.c_str(), (dir / "t/d").c_str());
        unlink(later.c_str());
        changed = true;
    });
    server.send("220 ok\r\n").expect_line().send("200 bye\r\n");
    server.next_client().send(FakeServer::greeting()).expect_line();
    server.call([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!changed && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    server.send("220 ok\r\n").expect_line().send("200 bye\r\n");
    server.start();
    ProcessOptions in_dir{dir.path(), "", 10000};
    ProcessResult run =
        run_client({"-p", server.path(), "-j", "2", "-r", "-s", "t", later}, in_dir);
    EXPECT_EQ(run.out, "t/a OK\nt/b OK\nt/c ERROR No such file or directory\n" + later +
                           " ERROR No such file or directory\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(server.received(0), scan_line(dir / "t/a") + "QUIT\r\n");
    EXPECT_EQ(server.received(1), scan_line(dir / "t/b") + "QUIT\r\n");
}

TEST_F(ParallelScan, ConnectionsOpenSideBySide) {
    using std::chrono::steady_clock;
    // A server that accepts and never greets: -j 8 gives up as soon as -j 1
    // does, with the same message.
    FakeServer silent{FakeServer::Transport::Tcp};
    for (int client = 1; client < 9; ++client)
        silent.next_client();
    silent.start();
    for (const char *jobs : {"1", "8"}) {
        auto start = steady_clock::now();
        ProcessResult run = run_client({"-t", silent.address(), "--timeout=1", "-j", jobs, "-s", f1,
                                        f1, f1, f1, f1, f1, f1, f1});
        EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(2500)) << jobs;
        EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n");
        EXPECT_EQ(run.status, 1);
    }

    // Eight greetings that each take 300 ms come together.
    StandinProcess slow({"--greet-delay", "300"});
    ASSERT_TRUE(slow.started()) << slow.error_output();
    std::vector<std::string> args = {"-p", slow.socket_path(), "-j", "8", "-s"};
    std::string expected;
    for (int i = 0; i < 8; ++i) {
        args.push_back(dir.write("g" + std::to_string(i), "clean"));
        expected += args.back() + " OK\n";
    }
    auto start = steady_clock::now();
    ProcessResult run = run_client(args);
    EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(1200));
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
}

TEST_F(ParallelScan, AFileCuredBeforeItsConnectionWasLostIsNotScannedAgain) {
    // The cured copy of f1 is written over it, then its connection is lost
    // before the verdict: f1 gets the line that -j 1 gives it.
    std::string cure =
        "323-Test.Virus " + f1 + "\r\n312-5 123402C04DCFB6625F688F771A5FC05D\r\nclean";
    std::vector<std::string> lines;
    for (const char *jobs : {"1", "2"}) {
        TempDir::write_file(f1, "infected!");
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(cure).close_now();
        server.next_client().send(FakeServer::greeting()).expect_line().send("220 ok\r\n");
        server.expect_line().send("220 ok\r\n");
        server.start();
        ProcessResult run = run_client({"-p", server.path(), "-j", jobs, "-u", "-s", f1, f2});
        EXPECT_EQ(TempDir::read(f1), "clean");
        lines.push_back(lines_of(run.out).at(0));
        if (std::string(jobs) == "2") {
            EXPECT_EQ(run.out, f1 + " ERROR\n" + f2 + " OK\n");
            std::string second = server.received(1);
            EXPECT_EQ(second.find(f1), std::string::npos) << second;
            EXPECT_TRUE(second.ends_with(f2 + "\r\nQUIT\r\n")) << second;
        }
    }
    EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(ParallelScan, WithoutAnyConnectionTheRunFailsAsWithOne) {
    ProcessResult run = run_client({"-p", dir / "none.sock", "-j", "4", "-s", f1, f2});
    EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 1);
}

TEST_F(ParallelScan, OneFileNamedFourTimesIsCuredOnceOverTcp) {
    StandinProcess server({"--tcp", "0", "--slow", "10"});
    ASSERT_TRUE(server.started()) << server.error_output();
    std::string letter = dir.write("letter", "Dear reader,\n" + standin::test_file_bytes());
    std::string tcp = "127.0.0.1:" + std::to_string(server.tcp_port());
    ProcessResult run =
        run_client({"-t", tcp, "-j", "4", "-u", "-s", letter, letter, letter, letter});
    std::string ok = letter + " OK\n";
    EXPECT_EQ(run.out, letter + " CURED\nLCURED " + std::string(standin::kTestFileName) + "\n" +
                           ok + ok + ok);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(TempDir::read(letter), "Dear reader,\n" + std::string(68, '#'));
}

TEST_F(ParallelScan, StandardInputIsCapturedInOperandOrder) {
    StandinProcess server;
    ASSERT_TRUE(server.started()) << server.error_output();
    ProcessResult run = run_client({"-p", server.socket_path(), "-j", "2", "-w", "-s", "-", "-"},
                                   {"", standin::test_file_bytes(), 2 * kWaitLimitMs});
    EXPECT_EQ(run.out, "- INFECTED\nLINFECTED " + std::string(standin::kTestFileName) + "\n- OK\n");
    EXPECT_EQ(run.status, 4);
}

} // namespace

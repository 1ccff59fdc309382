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

// The standard-input dump under a hostile or full /tmp: whatever is planted
// at the dump's name is never opened, and a dump that cannot be written
// whole is reported and removed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "cli_helpers.h"
#include "support/temp_dir.h"

namespace {

const std::string kDumpPrefix = "/tmp/orvaclient-stdin-dump-";

struct DumpRun {
    ProcessResult run;
    std::string wire;
    std::string dump_path;
    std::string err; // the client's standard error, without the shell's line
};

// Runs the client on standard input from a shell that first runs `prepare`
// with $DUMP set to the dump's name (the shell's process id is the client's,
// as the shell execs it), against a server that answers `replies`.
DumpRun run_with(const std::string &prepare, const std::vector<std::string> &replies,
                 const std::string &input) {
    FakeServer server;
    server.send(FakeServer::greeting());
    for (const std::string &reply : replies)
        server.expect_line().send(reply);
    server.start();
    std::string script = "DUMP=" + kDumpPrefix + "$$; echo \"$DUMP\" >&2; " + prepare +
                         " && exec '" + ORVACLIENT_BINARY + "' -p '" + server.path() + "' -s -";
    DumpRun result{run_process("/bin/sh", {"sh", "-c", script}, {"", input, 10000}), "", "", ""};
    result.wire = server.received();
    size_t end = result.run.err.find('\n');
    result.dump_path = result.run.err.substr(0, end);
    result.err = end == std::string::npos ? "" : result.run.err.substr(end + 1);
    return result;
}

void remove_entry(const std::string &path) {
    if (unlink(path.c_str()) != 0) rmdir(path.c_str());
}

mode_t kind_of(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (info.st_mode & S_IFMT) : 0;
}

// Waits up to five seconds for the child to end, then kills it; its wait
// status.
int wait_bounded(pid_t pid) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status;
}

class DumpFile : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(DumpFile, NothingPlantedAtTheNameIsOpened) {
    std::string target = dir.write("target", "precious");
    struct Plant {
        std::string command;
        mode_t kind;
    } plants[] = {
        // A FIFO would block the client if it were opened for writing.
        {"mkfifo \"$DUMP\"", S_IFIFO},
        {"mkdir \"$DUMP\"", S_IFDIR},
        {"ln -s '" + dir.path() + "/none' \"$DUMP\"", S_IFLNK},
    };
    for (const Plant &plant : plants) {
        SCOPED_TRACE(plant.command);
        DumpRun r = run_with(plant.command, {"200 bye\r\n"}, "input");
        ASSERT_EQ(r.dump_path.rfind(kDumpPrefix, 0), 0u) << r.run.err;
        EXPECT_FALSE(r.run.timed_out);
        EXPECT_EQ(r.run.out, "STDIN ERROR\n");
        EXPECT_EQ(r.err, "Could not write file " + r.dump_path + ": File exists\n");
        EXPECT_EQ(r.run.status, 7);
        EXPECT_EQ(r.wire, "QUIT\r\n");
        EXPECT_EQ(kind_of(r.dump_path), plant.kind) << "the planted entry was replaced";
        EXPECT_EQ(kind_of(dir / "none"), 0u) << "the dangling link was followed";
        remove_entry(r.dump_path);
    }
    EXPECT_EQ(TempDir::read(target), "precious");
}

TEST_F(DumpFile, AHardLinkAtTheNameIsUnlinkedNotWrittenThrough) {
    // A regular file of the user's own at the name passes for a stale dump:
    // its name is removed and a new file made, so the data it shares with
    // another name stays as it is.
    std::string target = dir.write("target", "precious");
    DumpRun r = run_with("ln '" + target + "' \"$DUMP\"", {"220 ok\r\n", "200 bye\r\n"}, "input");
    EXPECT_EQ(r.run.out, "- OK\n");
    EXPECT_EQ(r.run.status, 0);
    EXPECT_EQ(r.wire, "SCAN xmQPRSTUWabcdefghi " + r.dump_path + "\r\nQUIT\r\n");
    EXPECT_EQ(TempDir::read(target), "precious");
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_nlink, 1u);
    EXPECT_EQ(kind_of(r.dump_path), 0u) << "dump file left behind";
}

TEST_F(DumpFile, AFileOfAnotherUserAtTheNameIsLeftAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to give a file away to another user";
    std::string target = dir.write("target", "precious");
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    DumpRun r = run_with("ln '" + target + "' \"$DUMP\"", {"200 bye\r\n"}, "input");
    EXPECT_EQ(r.run.out, "STDIN ERROR\n");
    EXPECT_EQ(r.err, "Could not write file " + r.dump_path + ": File exists\n");
    EXPECT_EQ(r.run.status, 7);
    EXPECT_EQ(TempDir::read(target), "precious");
    EXPECT_EQ(kind_of(r.dump_path), static_cast<mode_t>(S_IFREG));
    remove_entry(r.dump_path);
}

TEST_F(DumpFile, AFullDiskIsReportedAndThePartialDumpRemoved) {
    // A file size limit of two 512-byte blocks: the client ignores SIGXFSZ,
    // so the write fails with EFBIG rather than killing it.
    std::string input(20000, 'x');
    DumpRun r = run_with("ulimit -f 2", {"200 bye\r\n"}, input);
    EXPECT_EQ(r.run.signal, 0);
    EXPECT_EQ(r.run.out, "STDIN ERROR\n");
    EXPECT_EQ(r.err, "Could not write file " + r.dump_path + ": File too large\n");
    EXPECT_EQ(r.run.status, 7);
    EXPECT_EQ(r.wire, "QUIT\r\n");
    EXPECT_EQ(kind_of(r.dump_path), 0u) << "partial dump left behind";
}

TEST_F(DumpFile, IsPrivateAndRemovedWhenASignalEndsTheRun) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal_number);
        FakeServer server;
        server.send(FakeServer::greeting());
        server.start();
        int input[2];
        ASSERT_EQ(pipe(input), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(input[0], 0);
            close(input[1]);
            umask(022);
            execl(ORVACLIENT_BINARY, "orvaclient", "-p", server.path().c_str(), "-s", "-",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(input[0]);
        // Standard input stays open: the client is still copying it.
        ASSERT_EQ(write(input[1], "data", 4), 4);
        std::string dump = kDumpPrefix + std::to_string(pid);
        struct stat info {};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (stat(dump.c_str(), &info) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        kill(pid, signal_number);
        int status = wait_bounded(pid);
        close(input[1]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
        EXPECT_EQ(kind_of(dump), 0u) << "dump file left behind";
        unlink(dump.c_str());
    }
}

} // namespace

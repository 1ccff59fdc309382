// --move and --copy through the built client against the stand-in: what is
// moved and where, names that are taken or planted, a second file system,
// a full one, and a file named twice.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_helpers.h"
#include "standin/signatures.h"
#include "standin/standin_process.h"
#include "support/temp_dir.h"

namespace {

class Quarantine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.started()) << server.error_output();
        ASSERT_EQ(mkdir((dir / "q").c_str(), 0700), 0);
    }
    void TearDown() override {
        if (mounted) umount2((dir / "q").c_str(), MNT_DETACH);
    }

    ProcessResult scan(std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", server.socket_path(), "-s"});
        return run_client(args, {dir.path(), "", 2 * kWaitLimitMs});
    }
    // Mounts a tmpfs of `size` at q: a second file system. False (after
    // saying why) where that cannot be done.
    bool mount_second_file_system(const char *size) {
        if (geteuid() != 0) return false;
        mounted = mount("tmpfs", (dir / "q").c_str(), "tmpfs", 0, size) == 0;
        return mounted;
    }

    StandinProcess server{{"--tcp", "0"}};
    TempDir dir;
    bool mounted = false;
    std::string infected = standin::test_file_bytes();
    std::string found = " INFECTED\nLINFECTED " + std::string(standin::kTestFileName) + "\n";
};

TEST_F(Quarantine, MovesWithinTheFileSystemUnderAFreeNameNeverThroughALink) {
    ASSERT_EQ(mkdir((dir / "t").c_str(), 0700), 0);
    std::string precious = dir.write("precious", "precious");
    dir.write("t/bad", infected);
    dir.write("t/clean", "clean");
    dir.write("q/bad", "taken");
    ASSERT_EQ(symlink(precious.c_str(), (dir / "q/bad.1").c_str()), 0);
    ProcessResult run = scan({"-r", "--move=q/", "t", "t/bad"});
    EXPECT_EQ(run.out, "t/bad" + found + "t/bad MOVED q/bad.2\nt/clean OK\n" + (dir / "t/bad") +
                           " ERROR No such file or directory\n");
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(TempDir::read(dir / "q/bad.2"), infected);
    EXPECT_EQ(TempDir::read(dir / "q/bad"), "taken");
    EXPECT_EQ(TempDir::read(precious), "precious");
    EXPECT_EQ(TempDir::list(dir / "t"), std::vector<std::string>{"clean"});
}

TEST_F(Quarantine, CopiesOnceAndLeavesTheOriginal) {
    std::string bad = dir.write("bad", infected);
    ProcessResult run = scan({"-j", "2", "--copy", "q", "bad", bad, "bad"});
    EXPECT_EQ(run.out, "bad" + found + "bad COPIED q/bad\n" + bad + found + "bad" + found);
    EXPECT_EQ(TempDir::read(bad), infected);
    EXPECT_EQ(TempDir::list(dir / "q"), std::vector<std::string>{"bad"});
    struct stat info;
    ASSERT_EQ(stat((dir / "q/bad").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    std::string json = scan({"--json", "--copy=q", "bad"}).out;
    EXPECT_TRUE(follows_schema(json.substr(0, json.size() - 1))) << json;
    EXPECT_EQ(json.substr(json.rfind(',')), ",\"copied\":\"q/bad.1\"}\n");
}

TEST_F(Quarantine, TheFolderMustBeAnExistingFolderNotALink) {
    dir.write("file", "x");
    ASSERT_EQ(symlink("q", (dir / "link").c_str()), 0);
    const std::pair<std::string, std::string> refused[] = {
        {"--move=none", "--move expects an existing folder, not a link: none: No such file or "
                        "directory"},
        {"--copy=file", "--copy expects an existing folder, not a link: file: Not a directory"},
        {"--move=link/", "--move expects an existing folder, not a link: link/: a symbolic link"},
    };
    for (const auto &[option, message] : refused) {
        ProcessResult run = scan({option, "file"});
        EXPECT_EQ(run.err, "ERROR: " + message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 9);
    }
    ProcessResult both = scan({"--move=q", "--copy=q", "file"});
    EXPECT_EQ(both.err, "ERROR: --move or --copy has been already specified\n");
    EXPECT_EQ(both.status, 9);
}

TEST_F(Quarantine, AcrossFileSystemsTheCopyIsWholeBeforeTheOriginalGoes) {
    if (!mount_second_file_system("size=64k"))
        GTEST_SKIP() << "mounting a tmpfs as a second file system needs root";
    std::string big = infected + std::string(200 * 1024, 'x');
    dir.write("big", big);
    dir.write("small", infected);
    ProcessResult run = scan({"--move=q", "big", "small"});
    // The big file does not fit: it stays whole, and no partial copy stays.
    EXPECT_EQ(run.out, "big" + found + "big ERROR No space left on device\nsmall" + found +
                           "small MOVED q/small\n");
    EXPECT_EQ(TempDir::read(dir / "big"), big);
    EXPECT_EQ(TempDir::read(dir / "q/small"), infected);
    EXPECT_EQ(TempDir::list(dir / "q"), std::vector<std::string>{"small"});
    struct stat info;
    EXPECT_NE(stat((dir / "small").c_str(), &info), 0);

    // Over TCP, with the file-size limit below the copy: EFBIG, not SIGXFSZ.
    dir.write("again", infected);
    std::string script = "ulimit -f 0 && exec '" + std::string(ORVACLIENT_BINARY) +
                         "' -t 127.0.0.1:" + std::to_string(server.tcp_port()) +
                         " -s --move=q again";
    ProcessResult limited =
        run_process("/bin/sh", {"sh", "-c", script}, {dir.path(), "", 2 * kWaitLimitMs});
    EXPECT_EQ(limited.out, "again" + found + "again ERROR File too large\n");
    EXPECT_EQ(TempDir::read(dir / "again"), infected);
    EXPECT_EQ(TempDir::list(dir / "q"), std::vector<std::string>{"small"});
}

} // namespace

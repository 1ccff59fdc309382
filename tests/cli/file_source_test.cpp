// Folders scanned as trees (-r) by the built client against the built
// stand-in server: the order and the names of the lines, what a tree passes
// over, and the same bytes over one connection or eight, socket or TCP.
#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_helpers.h"
#include "standin/signatures.h"
#include "standin/standin_process.h"
#include "support/temp_dir.h"

namespace {

class TreeScan : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error_output(); }

    ProcessResult scan(std::vector<std::string> args) {
        args.insert(args.begin(), "-s");
        return run_client(args, {dir.path(), "", 2 * kWaitLimitMs});
    }

    StandinProcess server{{"--tcp", "0"}};
    TempDir dir;
};

TEST_F(TreeScan, NameOrderDepthFirstPassingOverLinksAndSpecialFiles) {
    for (const char *folder : {"tree", "tree/b", "tree/empty"})
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0700), 0);
    for (const char *clean : {"tree/B", "tree/a", "tree/b/z", "tree/with space", "tree/new\nline"})
        dir.write(clean, "clean");
    dir.write("tree/b/a", standin::test_file_bytes());
    symlink("a", (dir / "tree/link-to-file").c_str());
    symlink("b", (dir / "tree/link-to-folder").c_str());
    symlink("..", (dir / "tree/b/loop").c_str());
    ASSERT_EQ(mkfifo((dir / "tree/fifo").c_str(), 0600), 0);
    symlink("tree", (dir / "named-link").c_str());

    auto listing = [](const std::string &top) {
        return top + "/B OK\n" + top + "/a OK\n" + top + "/b/a INFECTED\nLINFECTED " +
               std::string(standin::kTestFileName) + "\n" + top + "/b/z OK\n" + top +
               "/new\\nline OK\n" + top + "/with space OK\n";
    };
    ProcessResult one = scan({"-p", server.socket_path(), "-r", "tree/", "named-link"});
    EXPECT_EQ(one.out, listing("tree") + listing("named-link"));
    EXPECT_EQ(one.err, "");
    EXPECT_EQ(one.status, 4) << "-r implies -w: the last file is clean";

    std::string tcp = "127.0.0.1:" + std::to_string(server.tcp_port());
    for (const std::string &address : {"-p" + server.socket_path(), "-t" + tcp}) {
        ProcessResult eight = scan({address, "-j", "8", "-r", "tree/", "named-link"});
        EXPECT_EQ(eight.out, one.out) << address;
        EXPECT_EQ(eight.err, "") << address;
        EXPECT_EQ(eight.status, 4) << address;
    }
}

TEST_F(TreeScan, ControlBytesAndBackslashesInNamesFoundInATreeAreEscaped) {
    ASSERT_EQ(mkdir((dir / "up").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "up/sub\tdir").c_str(), 0700), 0);
    dir.write("up/x OK\nignore", standin::test_file_bytes());
    for (const char *clean :
         {"up/cr\rhere", "up/back\\slash", "up/\x01\x1b\x7f", "up/sub\tdir/f", "up/caf\xc3\xa9"})
        dir.write(clean, "clean");
    // The operand the user typed is printed as it is.
    std::string odd = dir.write("odd\\name\n", "clean");
    ProcessResult run = scan({"-p", server.socket_path(), "-r", "up", odd});
    EXPECT_EQ(run.out, "up/\\x01\\x1b\\x7f OK\nup/back\\\\slash OK\nup/caf\xc3\xa9 OK\n"
                       "up/cr\\rhere OK\nup/sub\\tdir/f OK\nup/x OK\\nignore INFECTED\nLINFECTED " +
                           std::string(standin::kTestFileName) + "\n" + odd + " OK\n");
    EXPECT_EQ(run.status, 4);
}

TEST_F(TreeScan, AFolderThatCannotBeOpenedIsReportedByItsJoinedName) {
    // Descriptors run out a few folders down; the walk goes on beside them.
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0700), 0);
    std::string deep = "tree";
    for (char name = 'a'; name <= 'h'; ++name) {
        deep += std::string("/") + name;
        ASSERT_EQ(mkdir((dir / deep).c_str(), 0700), 0);
    }
    dir.write(deep + "/file", "clean");
    dir.write("tree/z", "clean");
    std::string script = "ulimit -n 8 && exec '" + std::string(ORVACLIENT_BINARY) + "' -p '" +
                         server.socket_path() + "' -s -r tree";
    ProcessResult run =
        run_process("/bin/sh", {"sh", "-c", script}, {dir.path(), "", 2 * kWaitLimitMs});
    EXPECT_TRUE(std::regex_match(run.out, std::regex("tree(/[a-h])+ ERROR Too many open files\n"
                                                     "tree/z OK\n")))
        << run.out;
    EXPECT_EQ(run.status, 7);
}

} // namespace

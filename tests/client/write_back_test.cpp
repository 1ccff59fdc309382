// Writing a cured copy over the user's file: a termination signal during the
// write-back acts only once the file is whole, the temporary copy never has a
// name to leave behind, a full file system that cannot reserve space keeps
// the original, and the connection tells whether the file was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include "client/scan.h"
#include "client/transfer.h"
#include "fault_helpers.h"
#include "support/run_process.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::patterned;

std::string cured_reply(const std::string &body) {
    return "323-Test.Threat /f\r\n" + fault_helpers::cured_copy(body) + "221 /f\r\n";
}

class WriteBack : public ::testing::Test {
  protected:
    void SetUp() override { faults::reset(); }
    void TearDown() override {
        faults::reset();
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
    }

    TempDirAsTmp temp;
    TempDir scanned;
    std::string original = patterned(1 << 20, 31);
    std::string file = scanned.write("f", original);
};

TEST_F(WriteBack, ATerminationSignalAtTheFirstChangedByteWaitsForTheWholeFile) {
    std::string cure = patterned(3 << 20, 32);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir::write_file(file, original);
        ino_t inode = fault_helpers::inode_of(file);
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(cured_reply(cure));
        server.start();
        int status = fault_helpers::in_child([&] {
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            std::signal(signal, SIG_DFL);
            // Written in pieces, the file gets the signal once the first
            // piece has changed it.
            faults::cap_file_write(64 * 1024);
            faults::after_file_write([&](int fd) {
                struct stat info;
                if (fstat(fd, &info) == 0 && info.st_ino == inode) raise(signal);
            });
            Connection conn = make_connection();
            if (conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()) != RC_OK) return 1;
            ScanReport report{};
            conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
            return 2;
        });
        server.received();
        EXPECT_EQ(status, 100 + signal) << "the signal did not end the process";
        // SIGKILL cannot be held; it too leaves no temporary file.
        if (signal != SIGKILL) {
            EXPECT_TRUE(TempDir::read(file) == cure) << "the file is part cure, part original";
        }
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
    }
}

TEST_F(WriteBack, TheCopyBeingReceivedHasNoName) {
    std::string cure = patterned(5000, 33);
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send(cured_reply(cure));
    Connection conn = open_connection(server, 64, CONN_NO_WAIT);
    ScanReport report{};
    ASSERT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_BUSY);
    for (int step = 0; step < 1000 && conn->state != nullptr; ++step) {
        conn_step(conn.get());
        EXPECT_TRUE(conn->cured_stream == nullptr || temp.entries().empty()) << "it has a name";
    }
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_TRUE(TempDir::read(file) == cure);
    scan_report_clear(&report);
    hang_up(server, conn.get());
}

TEST_F(WriteBack, TheConnectionTellsWhetherTheScannedFileWasWritten) {
    std::string copy = fault_helpers::cured_copy("cured\n");
    struct Case {
        std::string reply; // after a first scan whose cure was written
        bool cut_off;
        ResultCode code;
        int32_t wrote;
    };
    for (const Case &one : {
             Case{"220 /f\r\n", false, RC_OK, 0}, Case{cured_reply("cured\n"), false, RC_OK, 1},
             Case{"312-6 " + std::string(32, 'A') + "\r\ncured\n221 /f\r\n", false,
                  RC_CHECKSUM_MISMATCH, 0},
             Case{copy, true, RC_READ_FAILED, 1},               // cut off before the verdict
             Case{copy.substr(0, 40), true, RC_READ_FAILED, 0}, // cut off inside the copy
         }) {
        SCOPED_TRACE(one.reply);
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(cured_reply("cured\n"));
        server.expect_line().send(one.reply);
        if (one.cut_off) server.close_now();
        Connection conn = open_connection(server);
        EXPECT_EQ(conn_scan_wrote_file(conn.get()), 0);
        ScanReport report{};
        ASSERT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
        EXPECT_EQ(conn_scan_wrote_file(conn.get()), 1);
        scan_report_clear(&report);
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), one.code);
        EXPECT_EQ(conn_scan_wrote_file(conn.get()), one.wrote);
        scan_report_clear(&report);
        hang_up(server, conn.get());
    }
    EXPECT_EQ(conn_scan_wrote_file(nullptr), 0);
}

TEST_F(WriteBack, AFullFileSystemThatCannotReserveSpaceKeepsTheOriginal) {
    // An ext2 image, where fallocate is not supported, mounted for the test.
    TempDir disk;
    if (geteuid() != 0) GTEST_SKIP() << "mounting a file system image needs root";
    ProcessResult mounted =
        run_process("/bin/sh", {"sh", "-c",
                                "cd " + disk.path() + " && truncate -s 8M image && " +
                                    "mkfs.ext2 -q -F -m 0 image && mkdir mnt && " +
                                    "mount -t ext2 -o loop image mnt"});
    if (mounted.status != 0) GTEST_SKIP() << "cannot loop-mount an ext2 image: " << mounted.err;
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk / "mnt"};

    std::string dense = TempDir::write_file(disk / "mnt/dense", original);
    // A sparse original, whose middle half is a hole.
    std::string sparse_bytes = original;
    std::fill(sparse_bytes.begin() + (256 << 10), sparse_bytes.begin() + (768 << 10), '\0');
    std::string sparse = disk / "mnt/sparse";
    int fd = open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(pwrite(fd, original.data(), 256 << 10, 0), 256 << 10);
    ASSERT_EQ(pwrite(fd, original.data() + (768 << 10), 256 << 10, 768 << 10), 256 << 10);
    int reserved = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 4096);
    close(fd);
    if (reserved == 0) GTEST_SKIP() << "this kernel reserves space on ext2";
    // Full.
    fd = open((disk / "mnt/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    for (size_t piece : {size_t{65536}, size_t{512}})
        while (write(fd, original.data(), piece) > 0) {
        }
    close(fd);

    std::vector<std::string> cures = {patterned(3 << 20, 34), patterned(1 << 20, 35),
                                      patterned(600 << 10, 36)};
    std::vector<FILE *> sources;
    for (const std::string &cure : cures) {
        sources.push_back(std::tmpfile());
        std::fwrite(cure.data(), 1, cure.size(), sources.back());
    }
    // Blocks beyond the old end, or in the hole, cannot be had: refused, the
    // original intact. A copy that needs no new block goes through.
    EXPECT_EQ(copy_file_to(sources[0], dense.c_str()), RC_CHECKSUM_MISMATCH);
    EXPECT_TRUE(TempDir::read(dense) == original);
    for (FILE *source : sources) {
        EXPECT_EQ(copy_file_to(source, sparse.c_str()), RC_CHECKSUM_MISMATCH);
        EXPECT_TRUE(TempDir::read(sparse) == sparse_bytes);
    }
    EXPECT_EQ(copy_file_to(sources[1], dense.c_str()), RC_OK);
    EXPECT_TRUE(TempDir::read(dense) == cures[1]);
    // With room again, both are cured, in place.
    unlink((disk / "mnt/filler").c_str());
    ino_t inode = fault_helpers::inode_of(dense);
    EXPECT_EQ(copy_file_to(sources[0], dense.c_str()), RC_OK);
    EXPECT_TRUE(TempDir::read(dense) == cures[0]);
    EXPECT_EQ(fault_helpers::inode_of(dense), inode);
    EXPECT_EQ(copy_file_to(sources[2], sparse.c_str()), RC_OK);
    EXPECT_TRUE(TempDir::read(sparse) == cures[2]);
    for (FILE *source : sources)
        std::fclose(source);
}

} // namespace

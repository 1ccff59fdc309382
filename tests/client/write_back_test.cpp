// Writing a cured copy over the user's file: a termination signal during the
// write-back acts only once the file is whole, the temporary copy never has a
// name that could be left behind, a full file system that cannot reserve
// space keeps the original, and the connection tells whether the scanned
// file was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "client/scan.h"
#include "client/transfer.h"
#include "fault_helpers.h"
#include "support/faults.h"
#include "support/run_process.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::patterned;

std::string cured_reply(const std::string &body) {
    return "323-Test.Threat /f\r\n" + fault_helpers::cured_copy(body) + "221 /f\r\n";
}

bool same_file(int fd, const struct stat &file) {
    struct stat info;
    return fstat(fd, &info) == 0 && info.st_dev == file.st_dev && info.st_ino == file.st_ino;
}

class WriteBack : public ::testing::Test {
  protected:
    void SetUp() override {
        faults::reset();
        file = scanned.write("f", original);
    }
    void TearDown() override {
        faults::reset();
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
    }

    TempDir scanned;
    TempDirAsTmp temp;
    std::string original = patterned(1 << 20, 31);
    std::string file;
};

TEST_F(WriteBack, ATerminationSignalAtTheFirstChangedByteWaitsForTheWholeFile) {
    std::string cure = patterned(3 << 20, 32);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir::write_file(file, original);
        struct stat scanned_file;
        ASSERT_EQ(stat(file.c_str(), &scanned_file), 0);
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(cured_reply(cure));
        server.start();
        int status = fault_helpers::in_child([&] {
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            std::signal(signal, SIG_DFL);
            // The file is written in pieces, and the signal comes as soon as
            // the first piece has changed it.
            faults::cap_file_write(64 * 1024);
            faults::after_file_write([&](int fd) {
                if (same_file(fd, scanned_file)) raise(signal);
            });
            Connection conn = make_connection();
            if (conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()) != RC_OK) return 1;
            ScanReport report{};
            conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
            return 2;
        });
        server.received();
        EXPECT_EQ(status, 100 + signal) << "the signal did not end the process";
        // SIGKILL cannot be held: only its leaving no temporary file counts.
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
    for (int step = 0; step < 1000 && conn->state != nullptr && conn->cured_stream == nullptr;
         ++step)
        conn_step(conn.get());
    ASSERT_NE(conn->cured_stream, nullptr);
    EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "the copy has a name";
    for (int step = 0; step < 1000 && conn->state != nullptr; ++step)
        conn_step(conn.get());
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_TRUE(TempDir::read(file) == cure);
    scan_report_clear(&report);
    hang_up(server, conn.get());
}

TEST_F(WriteBack, TheConnectionTellsWhetherTheScannedFileWasWritten) {
    std::string cure = "cured\n";
    std::string bad_digest = fault_helpers::copy_line(cure.size(), std::string(32, 'A')) + cure;
    struct Case {
        const char *what;
        std::string reply;
        bool close_after = false;
        bool first_write_fails = false;
        ResultCode code;
        int32_t wrote;
    };
    for (const Case &one : {
             Case{"clean", "220 /f\r\n", false, false, RC_OK, 0},
             Case{"cured", cured_reply(cure), false, false, RC_OK, 1},
             Case{"a digest that does not match", bad_digest + "221 /f\r\n", false, false,
                  RC_CHECKSUM_MISMATCH, 0},
             Case{"cured, then cut off before the verdict", fault_helpers::cured_copy(cure), true,
                  false, RC_READ_FAILED, 1},
             Case{"cut off inside the copy", fault_helpers::cured_copy(cure).substr(0, 40), true,
                  false, RC_READ_FAILED, 0},
             Case{"a write that fails", cured_reply(cure), false, true, RC_COPY_READ_FAILED, 1},
         }) {
        SCOPED_TRACE(one.what);
        TempDir::write_file(file, original);
        FakeServer server;
        // A clean scan on the same connection first: it says 0, and the scan
        // under test starts from 0 whatever the one before said.
        server.send(FakeServer::greeting()).expect_line().send(cured_reply(cure));
        server.expect_line().send(one.reply);
        if (one.close_after) server.close_now();
        Connection conn = open_connection(server);
        EXPECT_EQ(conn_scan_wrote_file(conn.get()), 0);
        ScanReport report{};
        ASSERT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
        EXPECT_EQ(conn_scan_wrote_file(conn.get()), 1);
        scan_report_clear(&report);
        TempDir::write_file(file, original);
        if (one.first_write_fails) faults::fail_call(faults::Call::FileWrite, 1, EIO);
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), one.code);
        faults::reset();
        EXPECT_EQ(conn_scan_wrote_file(conn.get()), one.wrote);
        scan_report_clear(&report);
        hang_up(server, conn.get());
    }
    EXPECT_EQ(conn_scan_wrote_file(nullptr), 0);
}

// A small ext2 file system, where space cannot be reserved, mounted from an
// image for the test and unmounted after it.
class SmallExt2 {
  public:
    explicit SmallExt2(int mebibytes) {
        if (geteuid() != 0) {
            why_not_ = "mounting a file system image needs root";
            return;
        }
        const char *mkfs = program("mkfs.ext2", {"/usr/sbin/", "/sbin/"});
        const char *mount = program("mount", {"/usr/bin/", "/bin/"});
        if (mkfs == nullptr || mount == nullptr) {
            why_not_ = "mkfs.ext2 or mount is missing";
            return;
        }
        std::string image = folder / "image";
        point_ = folder / "mnt";
        mkdir(point_.c_str(), 0700);
        if (truncate(TempDir::write_file(image, "").c_str(), off_t{mebibytes} << 20) != 0) {
            why_not_ = "cannot make the image";
            return;
        }
        ProcessResult made = run_process(mkfs, {"mkfs.ext2", "-q", "-F", "-m", "0", image});
        if (made.status != 0) {
            why_not_ = "mkfs.ext2 failed: " + made.err;
            return;
        }
        ProcessResult mounted =
            run_process(mount, {"mount", "-t", "ext2", "-o", "loop", image, point_});
        if (mounted.status != 0) {
            why_not_ = "cannot loop-mount an ext2 image here: " + mounted.err;
            return;
        }
        mounted_ = true;
    }
    ~SmallExt2() {
        if (mounted_ && umount2(point_.c_str(), 0) != 0) umount2(point_.c_str(), MNT_DETACH);
    }
    SmallExt2(const SmallExt2 &) = delete;
    SmallExt2 &operator=(const SmallExt2 &) = delete;

    const std::string &why_not() const { return why_not_; }
    std::string operator/(const std::string &name) const { return point_ + "/" + name; }

    // Writes to a new file until the file system is full.
    void fill(const std::string &name) const {
        int fd = open((*this / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::string chunk(64 * 1024, 'z');
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
        // The last blocks, smaller than a chunk.
        while (write(fd, chunk.data(), 512) > 0) {
        }
        close(fd);
    }

  private:
    static const char *program(const char *name, std::initializer_list<const char *> folders) {
        static std::vector<std::string> found;
        for (const char *folder : folders) {
            std::string path = std::string(folder) + name;
            if (access(path.c_str(), X_OK) == 0) return found.emplace_back(path).c_str();
        }
        return nullptr;
    }

    TempDir folder;
    std::string point_;
    std::string why_not_;
    bool mounted_ = false;
};

TEST_F(WriteBack, AFullFileSystemThatCannotReserveSpaceKeepsTheOriginal) {
    SmallExt2 disk(8);
    if (!disk.why_not().empty()) GTEST_SKIP() << disk.why_not();
    std::string dense = TempDir::write_file(disk / "dense", original);
    // A sparse original: its middle half is a hole, which reads as zeros.
    std::string sparse_bytes = original;
    std::fill(sparse_bytes.begin() + (256 << 10), sparse_bytes.begin() + (768 << 10), '\0');
    std::string sparse = disk / "sparse";
    int fd = open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(pwrite(fd, sparse_bytes.data(), 256 << 10, 0), 256 << 10);
    ASSERT_EQ(pwrite(fd, sparse_bytes.data() + (768 << 10), 256 << 10, 768 << 10), 256 << 10);
    int reserved = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 4096);
    close(fd);
    if (reserved == 0) GTEST_SKIP() << "this kernel reserves space on ext2";
    disk.fill("filler");

    struct Source {
        std::string bytes;
        char *path = nullptr;
        FILE *stream = nullptr;
    };
    auto source = [&](std::string bytes) {
        Source made{std::move(bytes)};
        made.stream = create_temp_file(&made.path);
        std::fwrite(made.bytes.data(), 1, made.bytes.size(), made.stream);
        std::fflush(made.stream);
        unlink(made.path);
        return made;
    };
    Source longer = source(patterned(3 << 20, 34));
    Source same_size = source(patterned(1 << 20, 35));
    Source shorter = source(patterned(600 << 10, 36));

    // The copy needs blocks beyond the old end, or in the hole: refused,
    // every byte of the original and its size as they were.
    EXPECT_EQ(copy_file_to(longer.stream, dense.c_str()), RC_CHECKSUM_MISMATCH);
    EXPECT_TRUE(TempDir::read(dense) == original);
    for (const Source *cure : {&longer, &same_size, &shorter}) {
        EXPECT_EQ(copy_file_to(cure->stream, sparse.c_str()), RC_CHECKSUM_MISMATCH)
            << cure->bytes.size();
        EXPECT_TRUE(TempDir::read(sparse) == sparse_bytes) << cure->bytes.size();
    }
    // A copy that needs no new block still goes through.
    EXPECT_EQ(copy_file_to(same_size.stream, dense.c_str()), RC_OK);
    EXPECT_TRUE(TempDir::read(dense) == same_size.bytes);

    // With room again, both are cured in place.
    unlink((disk / "filler").c_str());
    ino_t inode = fault_helpers::inode_of(dense);
    EXPECT_EQ(copy_file_to(longer.stream, dense.c_str()), RC_OK);
    EXPECT_TRUE(TempDir::read(dense) == longer.bytes);
    EXPECT_EQ(fault_helpers::inode_of(dense), inode);
    EXPECT_EQ(copy_file_to(shorter.stream, sparse.c_str()), RC_OK);
    EXPECT_TRUE(TempDir::read(sparse) == shorter.bytes);
    for (Source *cure : {&longer, &same_size, &shorter}) {
        std::fclose(cure->stream);
        std::free(cure->path);
    }
}

} // namespace

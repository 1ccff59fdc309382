// I/O faults: writes cut short at every size, waits and reads interrupted by
// signals, reads and waits that fail, a server that closes at every byte of
// a reply, and a full disk. After each fault the command reports a failure
// (or, for an interruption, succeeds as if nothing happened), the scanned
// file is untouched or holds the whole verified copy, and no temporary file
// is left.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "client/scan.h"
#include "client/transfer.h"
#include "fault_helpers.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::each_call_failing;
using fault_helpers::inode_of;
using fault_helpers::md5_hex;
using fault_helpers::patterned;
using fault_helpers::patterned_without_line_ends;
using fault_helpers::Trial;
using faults::Call;

class IoFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        faults::reset();
        file = scanned.write("f", original);
        inode = inode_of(file);
    }
    void TearDown() override {
        faults::reset();
        expect_no_temporary_file();
    }

    void expect_no_temporary_file() {
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
    }
    // The scanned file is as it was, or holds the whole copy `body`; never
    // anything in between, and always under its own inode.
    void expect_untouched_or(const std::string &body) {
        std::string now = TempDir::read(file);
        EXPECT_TRUE(now == original || now == body) << "partial file of " << now.size() << " bytes";
        EXPECT_EQ(inode_of(file), inode);
    }
    void expect_untouched() { expect_untouched_or(original); }
    void restore() { TempDir::write_file(file, original); }

    // A reply with a cured copy of `body` between per-object lines.
    static std::string cured_reply(const std::string &body) {
        return "322-Threat.One /f\r\n323-Threat.One /f\r\n" + fault_helpers::cured_copy(body) +
               "221 /f\r\n";
    }

    TempDirAsTmp temp;
    TempDir scanned;
    std::string original = patterned_without_line_ends(700, 11);
    std::string file;
    ino_t inode = 0;
};

TEST_F(IoFaults, ShortWritesOfEverySizeDeliverTheCommandLine) {
    std::string line = "SCAN xmqprstuw " + file + "\r\n";
    FakeServer server;
    server.send(FakeServer::greeting());
    for (size_t cap = 1; cap <= line.size(); ++cap)
        server.expect_line().send("322-Found " + std::to_string(cap) + "\r\n230 x\r\n");
    Connection conn = open_connection(server);
    std::string expected;
    for (size_t cap = 1; cap <= line.size(); ++cap) {
        ScanReport report{};
        faults::cap_send(cap);
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_OK) << cap;
        faults::cap_send(0);
        EXPECT_EQ(report.verdict, VERDICT_INFECTED);
        EXPECT_STREQ(report.infected_list, ("Found " + std::to_string(cap) + "\n").c_str());
        scan_report_clear(&report);
        expected += line;
    }
    EXPECT_EQ(hang_up(server, conn.get()), expected);
}

TEST_F(IoFaults, ShortWritesOfEverySizeDeliverTheUpload) {
    constexpr uint32_t kBuffer = 64;
    // Two whole pieces and a part of a third.
    original = patterned_without_line_ends(2 * kBuffer + 22, 20);
    file = scanned.write("f", original);
    std::string line =
        "NETSCAN xmqprstuw " + std::to_string(original.size()) + " " + md5_hex(original) + "\r\n";
    FakeServer server{FakeServer::Transport::Tcp};
    server.send(FakeServer::greeting());
    for (size_t cap = 1; cap <= kBuffer + 1; ++cap)
        server.expect_bytes(line.size())
            .send("310 go on\r\n")
            .expect_bytes(original.size())
            .send("220 clean\r\n");
    Connection conn = open_connection(server, kBuffer);
    // Without this each run of small writes waits for the server's delayed
    // acknowledgement; the subject here is the writes, not their timing.
    int no_delay = 1;
    setsockopt(conn->sock, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    std::string expected;
    for (size_t cap = 1; cap <= kBuffer + 1; ++cap) {
        ScanReport report{};
        faults::cap_send(cap);
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_OK) << cap;
        faults::cap_send(0);
        EXPECT_EQ(report.verdict, VERDICT_OK);
        EXPECT_EQ(conn->scan_stream, nullptr);
        expected += line + original;
    }
    EXPECT_TRUE(hang_up(server, conn.get()) == expected) << "the bytes on the wire differ";
}

TEST_F(IoFaults, AFailingWriteOfTheCommandLineEndsItAndTheConnectionGoesOn) {
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send("200 ok\r\n");
    Connection conn = open_connection(server);
    for (int error : {EPIPE, ECONNRESET, EIO, 0}) {
        faults::fail_call(Call::Send, 1, error);
        EXPECT_EQ(conn_noop(conn.get()), RC_WRITE_FAILED) << error;
        EXPECT_EQ(conn->state, nullptr);
        faults::reset();
    }
    // Nothing was written, so the next command starts cleanly.
    EXPECT_EQ(conn_noop(conn.get()), RC_OK);
    EXPECT_EQ(hang_up(server, conn.get()), "NOOP\r\n");
}

TEST_F(IoFaults, EachWriteOfAnUploadFailingEndsTheScan) {
    std::string content = patterned_without_line_ends(5000, 12);
    file = scanned.write("f", content);
    std::string line =
        "NETSCAN xmqprstuw " + std::to_string(content.size()) + " " + md5_hex(content) + "\r\n";
    // The kernel sends the whole file at once; the buffered path sends it in
    // pieces of the buffer's size. A sendfile never writes nothing.
    struct Path {
        bool kernel;
        int error;
        long writes;
    };
    for (Path path : {Path{true, EPIPE, 1 + 1}, Path{false, EPIPE, 1 + 5}, Path{false, 0, 1 + 5}}) {
        SCOPED_TRACE(path.kernel ? "kernel" : "buffer");
        long sends = each_call_failing(Call::Send, path.error, false, [&](Trial &trial) {
            FakeServer server{FakeServer::Transport::Tcp};
            serve_upload(server, line, content.size());
            Connection conn = open_connection(server, 1024);
            ScanReport report{};
            trial.arm();
            if (!path.kernel) faults::refuse_sendfile(EINVAL);
            ResultCode code = conn_scan(conn.get(), file.c_str(), &report, 0, nullptr);
            trial.disarm();
            EXPECT_EQ(code, trial.failing() ? RC_WRITE_FAILED : RC_OK);
            EXPECT_EQ(conn->state, nullptr);
            // A failed upload closes the file at once; after a failed
            // command line it waits for the next scan or conn_free.
            if (trial.nth != 1) {
                EXPECT_EQ(conn->scan_stream, nullptr);
            }
            std::string got = hang_up(server, conn.get());
            if (!trial.failing()) {
                EXPECT_TRUE(got == line + content);
            }
            conn.reset();
            EXPECT_EQ(faults::live_allocations(), 0);
        });
        EXPECT_EQ(sends, path.writes) << "the line, then the file's pieces";
    }
}

TEST_F(IoFaults, SignalsEveryMillisecondInterruptNothing) {
    std::string body = patterned(30000, 13);
    std::string reply = cured_reply(body);
    std::string content = patterned_without_line_ends(20000, 14);
    std::string upload_file_path = scanned.write("up", content);
    std::string netscan =
        "NETSCAN xmqprstuw " + std::to_string(content.size()) + " " + md5_hex(content) + "\r\n";

    FakeServer unix_server;
    FakeServer tcp_server{FakeServer::Transport::Tcp};
    unix_server.send(FakeServer::greeting())
        .expect_line()
        .send(reply)
        .expect_line()
        .send("301-1-2-3 01012030 1 L 1\r\n301-4-5-6 01012030 1 N 1\r\n200 \r\n");
    serve_upload(tcp_server, netscan, content.size(), "327-Warn.One x\r\n233 x\r\n");
    unix_server.start();
    tcp_server.start();

    // The client, and the signals, live in a child process (see in_child);
    // it reports through its status whether every check held.
    int status = fault_helpers::in_child([&] {
        Connection unix_conn = make_connection(512);
        Connection tcp_conn = make_connection(256);
        fault_helpers::AlarmStorm storm(1000);

        EXPECT_EQ(conn_open(tcp_server.address().c_str(), kTestTimeoutSec, tcp_conn.get()), RC_OK);
        EXPECT_EQ(conn_open(unix_server.address().c_str(), kTestTimeoutSec, unix_conn.get()),
                  RC_OK);
        ScanReport report{};
        // Replies in many reads, each of which a signal may interrupt.
        faults::split_reads({10, 50, 4000, 3, 9000});
        EXPECT_EQ(conn_scan(unix_conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
        EXPECT_EQ(report.verdict, VERDICT_CURED);
        EXPECT_STREQ(report.cured_list, "Threat.One /f\n");
        EXPECT_TRUE(TempDir::read(file) == body);
        scan_report_clear(&report);
        faults::split_reads({5, 30, 3});
        EXPECT_EQ(conn_keys(unix_conn.get()), RC_OK);
        EXPECT_EQ(keys_of(unix_conn.get()).size(), 2u);

        faults::cap_send(7);
        faults::split_reads({std::strlen("310 go on\r\n"), 3, 14});
        EXPECT_EQ(conn_scan(tcp_conn.get(), upload_file_path.c_str(), &report, 0, nullptr), RC_OK);
        faults::reset();
        EXPECT_EQ(report.verdict, VERDICT_WARNING);
        // How many come depends on the machine's pace (timer signals that
        // arrive while the process waits to run merge into one); some must.
        EXPECT_GT(storm.received(), 0) << "the signals did not come";
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    unix_server.received();
    EXPECT_TRUE(tcp_server.received() == netscan + content);
}

// A scan with a cured copy of `body` over a connection with 64-byte
// buffers, so that it takes many reads and waits. The reply is sent in one
// write: the reads then depend on the buffer alone, not on timing, and each
// run makes the same calls as the counting run.
class CuredScanFaults : public IoFaults {
  protected:
    struct Outcome {
        ResultCode code;
        bool idle;
    };

    Outcome scan_with(Trial &trial) {
        restore();
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(reply);
        Connection conn = open_connection(server, 64);
        ScanReport report{};
        trial.arm();
        ResultCode code = conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
        trial.disarm();
        Outcome outcome{code, conn->state == nullptr};
        EXPECT_EQ(conn->cured_stream, nullptr);
        EXPECT_EQ(conn->cured_temp_path, nullptr);
        expect_no_temporary_file();
        expect_untouched_or(body);
        if (code == RC_OK) {
            EXPECT_EQ(report.verdict, VERDICT_CURED);
            EXPECT_TRUE(TempDir::read(file) == body);
        }
        scan_report_clear(&report);
        hang_up(server, conn.get());
        conn.reset();
        EXPECT_EQ(faults::live_allocations(), 0);
        return outcome;
    }

    std::string body = patterned(300, 15);
    std::string reply = cured_reply(body);
};

TEST_F(CuredScanFaults, EachReadFailingEndsTheScan) {
    for (int error : {ECONNRESET, 0}) {
        SCOPED_TRACE(error);
        long reads = each_call_failing(Call::Read, error, false, [&](Trial &trial) {
            Outcome outcome = scan_with(trial);
            EXPECT_EQ(outcome.code, trial.failing() ? RC_READ_FAILED : RC_OK);
            EXPECT_TRUE(outcome.idle);
        });
        EXPECT_GT(reads, 3) << "lines, the body and the lines after it";
    }
}

TEST_F(CuredScanFaults, AnInterruptedReadIsRepeated) {
    each_call_failing(Call::Read, EINTR, false,
                      [&](Trial &trial) { EXPECT_EQ(scan_with(trial).code, RC_OK); });
}

TEST_F(CuredScanFaults, EachWaitFailingAbandonsTheScanAndItsTemporaryFile) {
    each_call_failing(Call::Poll, EBADF, false, [&](Trial &trial) {
        Outcome outcome = scan_with(trial);
        EXPECT_EQ(outcome.code, trial.failing() ? RC_READ_FAILED : RC_OK);
        // An abandoned command stays installed; only its file goes.
        EXPECT_EQ(outcome.idle, !trial.failing());
    });
}

TEST_F(CuredScanFaults, AnInterruptedWaitIsRepeated) {
    each_call_failing(Call::Poll, EINTR, false,
                      [&](Trial &trial) { EXPECT_EQ(scan_with(trial).code, RC_OK); });
}

// The server closes after every prefix of a reply: the command fails, keeps
// what the complete lines gave, and leaves nothing behind.
TEST_F(IoFaults, ServerClosingAtEveryByteOfTheGreeting) {
    std::string greeting = FakeServer::greeting();
    for (size_t keep = 0; keep < greeting.size(); ++keep) {
        FakeServer server;
        server.send(greeting.substr(0, keep)).close_now();
        server.start();
        Connection conn = make_connection();
        EXPECT_EQ(conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()), RC_READ_FAILED)
            << keep;
        EXPECT_EQ(conn->state, nullptr);
        EXPECT_EQ(conn->db_records, 0u);
        hang_up(server, conn.get());
    }
}

size_t complete_lines(const std::string &bytes, const std::string &prefix) {
    size_t count = 0;
    for (size_t at = 0; (at = bytes.find("\r\n" + prefix, at)) != std::string::npos; at += 2)
        if (bytes.find("\r\n", at + 2) != std::string::npos) ++count;
    return count;
}

TEST_F(IoFaults, ServerClosingAtEveryByteOfAScanReply) {
    std::string reply = "321-/f ok\r\n322-Eicar-Test /f\r\n327-Warn.One /f\r\n"
                        "322-Second.Name /f\r\n328-Sus /f\r\n230 /f\r\n";
    for (size_t keep = 0; keep < reply.size(); ++keep) {
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(reply.substr(0, keep)).close_now();
        Connection conn = open_connection(server);
        ScanReport report{};
        faults::track_allocations();
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_READ_FAILED) << keep;
        std::string got = "\r\n" + reply.substr(0, keep);
        EXPECT_EQ(report.infected_count, complete_lines(got, "322-")) << keep;
        EXPECT_EQ(report.warning_count, complete_lines(got, "327-")) << keep;
        EXPECT_EQ(report.suspicion_count, complete_lines(got, "328-")) << keep;
        EXPECT_EQ(report.verdict, VERDICT_OK);
        EXPECT_EQ(conn->state, nullptr);
        scan_report_clear(&report);
        hang_up(server, conn.get());
        conn.reset();
        EXPECT_EQ(faults::live_allocations(), 0) << keep;
        faults::reset();
    }
}

TEST_F(IoFaults, ServerClosingAtEveryByteOfAKeysReply) {
    std::string reply = "301-1-2-3 01012030 1 L 1\r\n301-a-b-c 02022031 2 N 2\r\n"
                        "301-4-5-6 03032032 3 X 3\r\n200 end\r\n";
    for (size_t keep = 0; keep < reply.size(); ++keep) {
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(reply.substr(0, keep)).close_now();
        Connection conn = open_connection(server);
        EXPECT_EQ(conn_keys(conn.get()), RC_READ_FAILED) << keep;
        size_t records = 0;
        for (const KeyRecord *key = conn->key_list; key != nullptr; key = key->next)
            ++records;
        EXPECT_EQ(records, complete_lines("\r\n" + reply.substr(0, keep), "301-")) << keep;
        EXPECT_EQ(conn->state, nullptr);
        hang_up(server, conn.get());
    }
}

TEST_F(IoFaults, ServerClosingAtEveryByteOfACuredCopy) {
    std::string body = patterned(200, 16);
    std::string reply = cured_reply(body);
    size_t body_end = reply.find(body) + body.size();
    for (size_t keep = 0; keep < reply.size(); ++keep) {
        restore();
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(reply.substr(0, keep)).close_now();
        Connection conn = open_connection(server, 64);
        ScanReport report{};
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_READ_FAILED)
            << keep;
        EXPECT_EQ(conn->cured_stream, nullptr);
        // Only a body received whole and verified may have been stored.
        if (keep < body_end)
            expect_untouched();
        else
            expect_untouched_or(body);
        expect_no_temporary_file();
        scan_report_clear(&report);
        hang_up(server, conn.get());
    }
}

TEST_F(IoFaults, ServerClosingDuringTheUploadEndsTheScan) {
    std::string content = patterned_without_line_ends(4 << 20, 17);
    file = scanned.write("big", content);
    FakeServer server{FakeServer::Transport::Tcp};
    server.send(FakeServer::greeting())
        .expect_line()
        .send("310 go on\r\n")
        .expect_bytes(10000)
        .close_now();
    Connection conn = open_connection(server, 8192);
    ScanReport report{};
    ResultCode code = conn_scan(conn.get(), file.c_str(), &report, 0, nullptr);
    EXPECT_TRUE(code == RC_WRITE_FAILED || code == RC_READ_FAILED) << std::hex << code;
    hang_up(server, conn.get());
    EXPECT_TRUE(TempDir::read(file) == content);
}

// A full disk, made with a file size limit in a child process.
TEST_F(IoFaults, AFullDiskWhileTheCopyIsReceivedLeavesTheFile) {
    std::string body = patterned(20000, 18);
    for (rlim_t limit :
         {rlim_t{0}, rlim_t{1}, rlim_t{4095}, rlim_t{8192}, rlim_t{19999}, rlim_t{20000}}) {
        SCOPED_TRACE(limit);
        restore();
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(cured_reply(body));
        server.start();
        int status = fault_helpers::with_file_size_limit(limit, [&] {
            Connection conn = make_connection();
            if (conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()) != RC_OK) return 1;
            ScanReport report{};
            ResultCode code = conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
            if (code == RC_OK) return 10;
            if (code == RC_NO_TEMP_FILE) return 11;
            return 2;
        });
        server.received();
        expect_no_temporary_file();
        if (limit >= body.size()) {
            EXPECT_EQ(status, 10);
            EXPECT_TRUE(TempDir::read(file) == body);
        } else {
            EXPECT_EQ(status, 11);
            expect_untouched();
        }
    }
}

TEST_F(IoFaults, AFullDiskWhileTheScannedFileIsWrittenLeavesItWhole) {
    char *path = nullptr;
    FILE *source = create_temp_file(&path);
    ASSERT_NE(source, nullptr);
    // Copies shorter and longer than the file, and one of its size.
    for (size_t size : {size_t{300}, original.size(), size_t{9000}}) {
        std::string body = patterned(size, 19);
        ASSERT_EQ(ftruncate(fileno(source), 0), 0);
        ASSERT_EQ(pwrite(fileno(source), body.data(), body.size(), 0),
                  static_cast<ssize_t>(body.size()));
        for (rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{size - 1}, rlim_t{size}}) {
            SCOPED_TRACE(::testing::Message() << size << " bytes, limit " << limit);
            restore();
            int status = fault_helpers::with_file_size_limit(limit, [&] {
                ResultCode code = copy_file_to(source, file.c_str());
                return code == RC_OK ? 10 : code == RC_CHECKSUM_MISMATCH ? 11 : 2;
            });
            if (limit >= size) {
                EXPECT_EQ(status, 10);
                EXPECT_TRUE(TempDir::read(file) == body);
            } else {
                EXPECT_EQ(status, 11);
                expect_untouched();
            }
            EXPECT_EQ(inode_of(file), inode);
        }
    }
    std::fclose(source);
    unlink(path);
    std::free(path);
}

} // namespace

// Cured copies and uploads against the fake server: a copy replaces the
// scanned file only whole and only with a matching digest; every fault
// leaves the file as it was and no temporary file behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "client/internal.h"
#include "client/scan.h"
#include "client/transfer.h"
#include "digest/md5.h"
#include "fault_helpers.h"
#include "support/faults.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

constexpr char kEmptyDigest[] = "D41D8CD98F00B204E9800998ECF8427E";

using fault_helpers::md5_hex;

using fault_helpers::patterned;
using fault_helpers::patterned_without_line_ends;

std::string cured_reply(const std::string &body, const std::string &digest) {
    return "323-Test.Threat /f\r\n" + fault_helpers::copy_line(body.size(), digest) + body +
           "221 /f\r\n";
}

using fault_helpers::inode_of;

class Cure : public ::testing::Test {
  protected:
    void SetUp() override {
        faults::reset();
        file = scanned.write("f", original);
        chmod(file.c_str(), 0640);
        inode = inode_of(file);
    }
    void TearDown() override {
        scan_report_clear(&report);
        faults::reset();
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
    }

    // Scans `file` against a server that answers with `reply`, read in the
    // given pieces, over a connection with `buffer_size`-byte buffers.
    ResultCode scan(const std::string &reply, std::vector<size_t> pieces = {},
                    uint32_t buffer_size = 8192, int malloc_successes = -1) {
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(reply);
        Connection conn = open_connection(server, buffer_size);
        faults::split_reads(pieces);
        faults::fail_malloc_after(malloc_successes);
        ResultCode code = conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr);
        faults::reset();
        EXPECT_EQ(conn->cured_stream, nullptr);
        EXPECT_EQ(conn->cured_temp_path, nullptr);
        hang_up(server, conn.get());
        return code;
    }

    std::string netscan_line() const {
        return "NETSCAN xmqprstuwl " + std::to_string(original.size()) + " " + md5_hex(original) +
               "\r\n";
    }

    void expect_untouched() {
        EXPECT_EQ(TempDir::read(file), original);
        EXPECT_EQ(inode_of(file), inode);
    }

    TempDir scanned;
    TempDirAsTmp temp;
    std::string original = "infected contents, longer than the cured copy\n";
    std::string file;
    ino_t inode = 0;
    ScanReport report{};
};

TEST_F(Cure, LineBodyAndFinalLineInOneRead) {
    std::string body = "cured\n";
    ASSERT_EQ(scan(cured_reply(body, md5_hex(body))), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    EXPECT_STREQ(report.cured_list, "Test.Threat /f\n");
    EXPECT_EQ(TempDir::read(file), body);
    // Written in place: the same inode and the same permissions.
    EXPECT_EQ(inode_of(file), inode);
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(Cure, ACopyLongerThanTheFileReplacesItWhole) {
    std::string body = patterned(3 * 8192 + 17, 1);
    ASSERT_EQ(scan(cured_reply(body, md5_hex(body))), RC_OK);
    EXPECT_EQ(TempDir::read(file), body);
    EXPECT_EQ(inode_of(file), inode);
}

TEST_F(Cure, BodyBeyondTheBufferSplitAtEveryKindOfBoundary) {
    std::string body = patterned(1000, 2);
    std::string reply = cured_reply(body, md5_hex(body));
    size_t line_end = reply.find("\r\n", reply.find("312-")) + 2;
    size_t body_end = line_end + body.size();
    // Cuts inside the 312 line, right behind it, inside the body, exactly
    // at its end, one byte into the final line, and byte-sized pieces.
    std::vector<std::vector<size_t>> splits = {
        {line_end - 5, 5, 300, 301},
        {line_end, body.size(), 3},
        {line_end + 1, body_end - line_end - 1, 1},
        {body_end + 1},
        std::vector<size_t>(40, 1),
    };
    for (const auto &pieces : splits) {
        ASSERT_EQ(TempDir::read(file), original);
        EXPECT_EQ(scan(reply, pieces, 64), RC_OK);
        EXPECT_EQ(report.verdict, VERDICT_CURED);
        EXPECT_EQ(TempDir::read(file), body);
        scan_report_clear(&report);
        scanned.write("f", original);
    }
}

TEST_F(Cure, ALongBodyPassesThroughTheReceiveBufferWhenNoLargerOneIsFree) {
    std::string body = patterned(3000, 9);
    std::string reply = cured_reply(body, md5_hex(body));
    // The scan line, the path copy, the 323 list entry and the temporary
    // file's name succeed; the larger body buffer does not.
    EXPECT_EQ(scan(reply, {100, 700, 1000}, 64, 4), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    EXPECT_EQ(TempDir::read(file), body);
}

TEST_F(Cure, EmptyCopyWithTheEmptyDigestEmptiesTheFile) {
    ASSERT_EQ(scan(cured_reply("", kEmptyDigest)), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    EXPECT_EQ(TempDir::read(file), "");
    EXPECT_EQ(inode_of(file), inode);
}

TEST_F(Cure, ADigestThatDoesNotMatchLeavesTheFile) {
    std::string body = "cured\n";
    std::string lower = md5_hex(body);
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string &digest :
         {md5_hex("other"), lower, std::string("ABC"), std::string(kEmptyDigest)}) {
        // The verdict line says cured, but the copy was not stored.
        EXPECT_EQ(scan(cured_reply(body, digest)), RC_CHECKSUM_MISMATCH) << digest;
        expect_untouched();
        scan_report_clear(&report);
    }
    EXPECT_EQ(scan(cured_reply("", md5_hex("x"))), RC_CHECKSUM_MISMATCH);
    expect_untouched();
}

TEST_F(Cure, ALineWithoutSizeOrDigestIsIgnored) {
    EXPECT_EQ(scan("312-\r\n312-12\r\n221 /f\r\n"), RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    expect_untouched();
}

TEST_F(Cure, ConnectionClosingInsideTheBodyLeavesTheFile) {
    std::string body = patterned(500, 3);
    std::string reply = cured_reply(body, md5_hex(body));
    size_t line_end = reply.find("\r\n", reply.find("312-")) + 2;
    for (size_t keep : {line_end, line_end + 1, line_end + 200, line_end + body.size() - 1}) {
        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(reply.substr(0, keep)).close_now();
        Connection conn = open_connection(server, 64);
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_READ_FAILED);
        EXPECT_EQ(conn->cured_stream, nullptr);
        EXPECT_EQ(conn->cured_temp_path, nullptr);
        hang_up(server, conn.get());
        expect_untouched();
        EXPECT_EQ(temp.entries(), std::vector<std::string>{});
        scan_report_clear(&report);
    }
}

TEST_F(Cure, ATimeOutInsideTheBodyRemovesTheTemporaryFile) {
    std::string body = patterned(500, 4);
    std::string reply = cured_reply(body, md5_hex(body));
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send(reply.substr(0, 300)).pause(2500);
    Connection conn = open_connection(server, 64);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_TIMEOUT);
    EXPECT_EQ(conn->cured_stream, nullptr);
    EXPECT_EQ(conn->cured_temp_path, nullptr);
    hang_up(server, conn.get());
    expect_untouched();
}

TEST_F(Cure, SizesOf4GiBAndMoreAreNeverCutTo32Bits) {
    // Each line announces 2^32 (+ 5) bytes and carries the digest of the
    // short body behind it, as a 32-bit count would take it. The short body
    // and the final line are only the start of the copy; the server then
    // closes, so nothing may be stored.
    for (auto transport : {FakeServer::Transport::Unix, FakeServer::Transport::Tcp}) {
        for (uint64_t size : {uint64_t{1} << 32, (uint64_t{1} << 32) + 5}) {
            std::string body = patterned(static_cast<size_t>(size & 0xffffffffu), 3);
            FakeServer server{transport};
            server.send(FakeServer::greeting()).expect_line();
            if (transport == FakeServer::Transport::Tcp)
                server.send("310 go on\r\n").expect_bytes(netscan_line().size() + original.size());
            server
                .send("312-" + std::to_string(size) + " " + md5_hex(body) + "\r\n" + body +
                      "221 /f\r\n")
                .close_now();
            Connection conn = open_connection(server);
            EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr),
                      RC_READ_FAILED)
                << size;
            EXPECT_EQ(conn->cured_stream, nullptr);
            hang_up(server, conn.get());
            expect_untouched();
            scan_report_clear(&report);
        }
    }
}

TEST(CuredCount, TheWideCountGoesPast32BitsAndTheNarrowOneSaturates) {
    Connection conn = make_connection(64);
    md5_init(&conn->cured_md5);
    conn->cured_remaining_wide = (uint64_t{1} << 32) + 5;
    conn->cured_remaining = 0xffffffffu;
    std::memcpy(conn->recv_buf, "0123456789", 11);
    conn->recv_len = 10;
    EXPECT_EQ(store_cured_chunk(conn.get()), RC_OK);
    EXPECT_EQ(conn->cured_remaining_wide, (uint64_t{1} << 32) - 5);
    EXPECT_EQ(conn->cured_remaining, 0xfffffffbu);
    EXPECT_EQ(conn->state, &receive_cured_file);

    // A count stored in the 32-bit field alone is the one obeyed.
    conn->cured_remaining = 4;
    std::memcpy(conn->recv_buf, "0123456789", 11);
    conn->recv_len = 10;
    EXPECT_EQ(store_cured_chunk(conn.get()), RC_NO_TEMP_FILE);
    EXPECT_EQ(std::string(conn->recv_buf, conn->recv_len), "456789");
    EXPECT_EQ(conn->body_ended, 1);
    EXPECT_EQ(conn->cured_remaining_wide, 0u);
}

TEST_F(Cure, BytesBehindTheBodyThatFillTheBufferEndTheScanAtOnce) {
    // A 64-byte buffer: the first read takes the 312 line and all the body
    // but its last byte; the next read brings that byte and 63 bytes
    // without a line end. The server then says nothing more, and the
    // connection's wait is longer than the server's silence: the scan must
    // not wait at all.
    std::string body = patterned_without_line_ends(23, 4);
    std::string line = "312-23 " + md5_hex(body) + "\r\n";
    ASSERT_EQ(line.size() + body.size() - 1, 63u);
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send(line + body + std::string(63, 'x'));
    server.start();
    Connection conn(conn_create(64, 10, 10, 0));
    ASSERT_EQ(conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()), RC_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_READ_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(TempDir::read(file), body) << "the copy itself was whole and verified";
    hang_up(server, conn.get());
}

TEST_F(Cure, AFileSwappedForALinkAfterTheScanIsNotWrittenThrough) {
    TempDir elsewhere;
    std::string victim = elsewhere.write("victim", "not to be touched\n");
    std::string body = "cured\n";
    FakeServer server;
    server.send(FakeServer::greeting())
        .expect_line()
        .call([&] {
            unlink(file.c_str());
            ASSERT_EQ(symlink(victim.c_str(), file.c_str()), 0);
        })
        .send(cured_reply(body, md5_hex(body)));
    Connection conn = open_connection(server);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr),
              RC_CHECKSUM_MISMATCH);
    hang_up(server, conn.get());
    EXPECT_EQ(TempDir::read(victim), "not to be touched\n");
}

TEST_F(Cure, WithoutATemporaryFileTheBodyIsReadAndNothingIsWritten) {
    setenv("TMP", "/nonexistent-orva-dir", 1);
    setenv("TEMP", "/nonexistent-orva-dir", 1);
    // /tmp is used then; make every create there fail by failing the path
    // copy instead, which drops the new file at once.
    std::string body = "cured\n";
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send(cured_reply(body, md5_hex(body)) + "");
    Connection conn = open_connection(server);
    faults::fail_malloc_after(2); // the scan line and the path copy only
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_NO_TEMP_FILE);
    faults::reset();
    EXPECT_EQ(report.verdict, VERDICT_CURED);
    hang_up(server, conn.get());
    expect_untouched();
}

using fault_helpers::with_file_size_limit;

TEST_F(Cure, ACopyBeyondTheFileSizeLimitIsRefusedAndTheConnectionStaysInStep) {
    std::string body = patterned(20000, 5);
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send(cured_reply(body, md5_hex(body)));
    server.expect_line().send("220 /f\r\n");
    server.start();
    // No temporary file is written (SIGXFSZ would end the child), the body
    // is still read, and the next scan on the connection gets its verdict.
    int outcome = with_file_size_limit(4096, [&] {
        Connection conn = make_connection();
        if (conn_open(server.address().c_str(), kTestTimeoutSec, conn.get()) != RC_OK) return 1;
        if (conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr) != RC_NO_TEMP_FILE)
            return 2;
        scan_report_clear(&report);
        if (conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr) != RC_OK) return 3;
        return report.verdict == VERDICT_OK ? 0 : 4;
    });
    EXPECT_EQ(outcome, 0);
    server.received();
    expect_untouched();
}

TEST_F(Cure, NoRoomForTheWholeCopyLeavesTheDestination) {
    std::string body = patterned(20000, 6);
    char *path = nullptr;
    FILE *source = create_temp_file(&path);
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(std::fwrite(body.data(), 1, body.size(), source), body.size());
    std::fflush(source);
    int outcome = with_file_size_limit(
        4096, [&] { return copy_file_to(source, file.c_str()) == RC_CHECKSUM_MISMATCH ? 0 : 2; });
    EXPECT_EQ(outcome, 0);
    expect_untouched();
    // Without the limit the same copy goes through, in place.
    EXPECT_EQ(copy_file_to(source, file.c_str()), RC_OK);
    EXPECT_EQ(TempDir::read(file), body);
    EXPECT_EQ(inode_of(file), inode);
    std::fclose(source);
    unlink(path);
    std::free(path);
}

TEST_F(Cure, NothingIsWrittenIntoSomethingOtherThanARegularFile) {
    std::string fifo = scanned / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    char *path = nullptr;
    FILE *source = create_temp_file(&path);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(copy_file_to(source, fifo.c_str()), RC_CHECKSUM_MISMATCH);
    EXPECT_EQ(copy_file_to(source, (scanned / "missing").c_str()), RC_CHECKSUM_MISMATCH);
    std::fclose(source);
    unlink(path);
    std::free(path);
}

// create_temp_file's choice of directory and name.
class TempFile : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("TMP");
        unsetenv("TEMP");
    }
    void TearDown() override {
        unsetenv("TMP");
        unsetenv("TEMP");
    }

    std::string create() {
        char *path = nullptr;
        FILE *stream = create_temp_file(&path);
        if (stream == nullptr) return "";
        std::string name = path;
        struct stat info;
        EXPECT_EQ(fstat(fileno(stream), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
        std::fclose(stream);
        unlink(path);
        std::free(path);
        return name;
    }

    static std::string expected_name(const std::string &directory, unsigned number) {
        char name[4096];
        std::snprintf(name, sizeof name, "%s/zq%x%04x.tmp", directory.c_str(),
                      static_cast<unsigned>(getpid()), number);
        return name;
    }

    TempDir first;
    TempDir second;
};

TEST_F(TempFile, NameFromTheProcessIdAndAKernelRandomNumber) {
    setenv("TMP", first.path().c_str(), 1);
    faults::script_random({0x12, 0x8badf00du});
    EXPECT_EQ(create(), expected_name(first.path(), 0x12));
    EXPECT_EQ(create(), expected_name(first.path(), 0x8badf00du));
    faults::reset();

    char name[64];
    std::snprintf(name, sizeof name, "/x/zq%x%04x.tmp", 255u, 18u);
    EXPECT_STREQ(name, "/x/zqff0012.tmp");
}

TEST_F(TempFile, TheNamesThatRandWouldDrawCannotBeTakenInAdvance) {
    // Another local user creates every name that an unseeded rand() gives
    // this process id, as many as there are attempts; a file is still made,
    // and the program's own rand() sequence is left where it was.
    setenv("TMP", first.path().c_str(), 1);
    srand(1);
    for (int i = 0; i < 64; ++i)
        first.write(expected_name(first.path(), static_cast<unsigned>(rand()))
                        .substr(first.path().size() + 1),
                    "taken");
    srand(1);
    int next = rand();
    srand(1);
    EXPECT_NE(create(), "");
    EXPECT_EQ(rand(), next);
}

TEST_F(TempFile, DirectoryFromTmpThenTempThenSlashTmp) {
    setenv("TMP", first.path().c_str(), 1);
    setenv("TEMP", second.path().c_str(), 1);
    EXPECT_EQ(create().rfind(first.path() + "/zq", 0), 0u);

    setenv("TMP", (first / "missing").c_str(), 1);
    EXPECT_EQ(create().rfind(second.path() + "/zq", 0), 0u);

    setenv("TEMP", (second / "missing").c_str(), 1);
    EXPECT_EQ(create().rfind("/tmp/zq", 0), 0u);

    // A directory without write permission is passed over (the superuser
    // may write anywhere, so the test only applies to other users).
    if (geteuid() != 0) {
        chmod(second.path().c_str(), 0500);
        setenv("TEMP", second.path().c_str(), 1);
        EXPECT_EQ(create().rfind("/tmp/zq", 0), 0u);
    }
}

TEST_F(TempFile, APlantedLinkAtTheNameIsNeverFollowed) {
    std::string target = first.write("target", "keep me");
    setenv("TMP", first.path().c_str(), 1);
    std::string planted = expected_name(first.path(), 0x2317);
    ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
    faults::script_random({0x2317, 0x2318});
    EXPECT_EQ(create(), expected_name(first.path(), 0x2318));
    faults::reset();
    EXPECT_EQ(TempDir::read(target), "keep me");
    struct stat info;
    ASSERT_EQ(lstat(planted.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(TempFile, ADirectoryThatRefusesEveryCreateGivesNoFile) {
    // A plain file passes the access test, but nothing can be created in it;
    // the attempts are bounded.
    setenv("TMP", first.write("plain", "").c_str(), 1);
    EXPECT_EQ(create(), "");
    EXPECT_EQ(first.entries(), std::vector<std::string>{"plain"});
}

// Uploads over TCP after a final 310, sent by the kernel (sendfile) or,
// where it cannot, through the send buffer.
class Upload : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        faults::reset();
        if (!GetParam()) faults::refuse_sendfile(EINVAL);
    }
    void TearDown() override {
        faults::reset();
        scan_report_clear(&report);
    }

    // Scans a file of `content` against a server that asks for its bytes
    // and answers 220 once it has them all; returns what the server got.
    std::string upload(const std::string &content, uint32_t buffer_size, size_t send_cap = 0) {
        std::string file = dir.write("up", content);
        FakeServer server{FakeServer::Transport::Tcp};
        std::string line =
            "NETSCAN xmqprstuw " + std::to_string(content.size()) + " " + md5_hex(content) + "\r\n";
        serve_upload(server, line, content.size());
        Connection conn = open_connection(server, buffer_size);
        faults::cap_send(send_cap);
        faults::record_sends();
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_OK);
        sends = faults::send_sizes();
        faults::reset();
        EXPECT_EQ(report.verdict, VERDICT_OK);
        EXPECT_EQ(conn->scan_stream, nullptr);
        EXPECT_EQ(fcntl(conn->sock, F_GETFL) & O_NONBLOCK, 0) << "the socket blocks again";
        std::string got = hang_up(server, conn.get());
        EXPECT_EQ(got.substr(0, line.size()), line);
        return got.substr(line.size());
    }

    TempDir dir;
    ScanReport report{};
    std::vector<size_t> sends;
};

TEST_P(Upload, AFileOfExactlyOneBufferIsSentInOnePiece) {
    std::string content = patterned(256, 7);
    EXPECT_EQ(upload(content, 256), content);
    // The line, then the one piece; never a write of nothing.
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[1], 256u);
}

TEST_P(Upload, ShortWritesResendExactlyTheUnwrittenTail) {
    std::string content = patterned(5000, 8);
    EXPECT_EQ(upload(content, 256, 7), content);
    for (size_t size : sends)
        EXPECT_GT(size, 0u);
}

TEST_P(Upload, ASecond310HasNoStreamToSend) {
    std::string content = "abc";
    std::string file = dir.write("up", content);
    FakeServer server{FakeServer::Transport::Tcp};
    server.send(FakeServer::greeting())
        .expect_line()
        .send("310 send it\r\n")
        .expect_bytes(std::strlen("NETSCAN xmqprstuw 3 ") + MD5_HEX_LENGTH + 2 + content.size())
        .send("310 again\r\n");
    Connection conn = open_connection(server);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_PROTOCOL_ERROR);
    EXPECT_EQ(conn->state, nullptr);
    hang_up(server, conn.get());
}

TEST_P(Upload, ExactlyTheAnnouncedBytesWhateverTheFileBecomes) {
    std::string content = patterned_without_line_ends(3000, 5);
    std::string line = "NETSCAN xmqprstuw 3000 " + md5_hex(content) + "\r\n";
    // The file grows between the line and the 310: the bytes it gained are
    // never sent, and the connection goes on in step.
    std::string file = dir.write("up", content);
    FakeServer grown{FakeServer::Transport::Tcp};
    grown.send(FakeServer::greeting())
        .expect_line()
        .call([&] { TempDir::write_file(file, content + "NOOP\r\nQUIT\r\n"); })
        .send("310 send it\r\n")
        .expect_bytes(content.size())
        .send("220 clean\r\n")
        .expect_line()
        .send("200 ok\r\n");
    Connection conn = open_connection(grown, 1024);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_OK);
    EXPECT_EQ(conn_noop(conn.get()), RC_OK);
    EXPECT_TRUE(hang_up(grown, conn.get()) == line + content + "NOOP\r\n");

    // The file shrinks: the scan fails and the connection, which the server
    // still reads as file bytes, is closed.
    file = dir.write("up", content);
    FakeServer shrunk{FakeServer::Transport::Tcp};
    shrunk.send(FakeServer::greeting())
        .expect_line()
        .call([&] { TempDir::write_file(file, content.substr(0, 2000)); })
        .send("310 send it\r\n");
    conn = open_connection(shrunk, 1024);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_COPY_READ_FAILED);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->sock, -1);
    EXPECT_EQ(conn->scan_stream, nullptr);
    EXPECT_TRUE(shrunk.received() == line + content.substr(0, 2000));
}

TEST_P(Upload, AFileThatCannotBeReadEndsTheUpload) {
    Connection conn = make_connection(64);
    std::string file = dir.write("up", "abc");
    conn->scan_stream = std::fopen(file.c_str(), "ab"); // a stream that cannot be read
    ASSERT_NE(conn->scan_stream, nullptr);
    conn->state = upload_file;
    conn->upload_size = conn->upload_remaining = 3;
    conn->sock = -1;
    EXPECT_EQ(upload_file(conn.get()), RC_COPY_READ_FAILED);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->result, RC_COPY_READ_FAILED);
    EXPECT_EQ(conn->scan_stream, nullptr);
    EXPECT_EQ(conn->send_len, 0u);
}

TEST_P(Upload, APeerThatHasClosedFailsTheWriteWithoutSignal) {
    // Written without waiting, so nothing notices the closed peer first; a
    // SIGPIPE would end the test process.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    Connection conn = make_connection(64, CONN_NO_WAIT);
    conn->sock = pair[0];
    std::string file = dir.write("up", patterned(1000, 9));
    conn->scan_stream = std::fopen(file.c_str(), "rb");
    conn->upload_size = 1000;
    begin_upload(conn.get());
    for (int steps = 0; conn->state != nullptr && steps < 3; ++steps)
        conn_step(conn.get());
    EXPECT_EQ(conn->result, RC_WRITE_FAILED);
    EXPECT_EQ(conn->state, nullptr);
    EXPECT_EQ(conn->scan_stream, nullptr);
    sigset_t pending;
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(UploadPaths, TheBufferTakesOverWhereTheKernelStopped) {
    TempDir dir;
    std::string content = patterned(5000, 10);
    std::string file = dir.write("up", content);
    std::string line = "NETSCAN xmqprstuw 5000 " + md5_hex(content) + "\r\n";
    FakeServer server{FakeServer::Transport::Tcp};
    serve_upload(server, line, content.size());
    Connection conn = open_connection(server, 1024, CONN_NO_WAIT);
    ScanReport report{};
    ASSERT_EQ(conn_scan(conn.get(), file.c_str(), &report, 0, nullptr), RC_BUSY);
    for (int steps = 0; conn->state != &upload_file && steps < 10; ++steps)
        conn_step(conn.get());
    ASSERT_EQ(conn->state, &upload_file);
    faults::cap_send(100);
    EXPECT_EQ(conn_step(conn.get()), RC_OK);
    faults::reset();
    faults::refuse_sendfile(EINVAL);
    for (int steps = 0; conn->state != nullptr && steps < 20; ++steps)
        conn_step(conn.get());
    faults::reset();
    EXPECT_EQ(conn->result, RC_OK);
    EXPECT_EQ(report.verdict, VERDICT_OK);
    EXPECT_TRUE(hang_up(server, conn.get()) == line + content);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Upload, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &path) {
                             return path.param ? "Kernel" : "Buffer";
                         });

} // namespace

namespace {

TEST_F(Cure, AnIdentityGivenByTheCallerServesTheNextScanOnly) {
    std::string body = "cured\n";
    std::string reply = cured_reply(body, md5_hex(body));
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send(reply).expect_line().send(reply);
    Connection conn = open_connection(server);
    // An identity that is not the file's: the copy is not written.
    ASSERT_EQ(conn_scan_identity(conn.get(), 1, 2), RC_OK);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr),
              RC_CHECKSUM_MISMATCH);
    expect_untouched();
    scan_report_clear(&report);

    // A refused scan uses the given identity up as well; the next one takes
    // the file's own and the copy goes through.
    ASSERT_EQ(conn_scan_identity(conn.get(), 1, 2), RC_OK);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), nullptr, SCAN_CURE, nullptr), RC_BAD_ARGUMENT);
    EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
    EXPECT_EQ(TempDir::read(file), body);
    hang_up(server, conn.get());

    conn->state = read_lines;
    EXPECT_EQ(conn_scan_identity(conn.get(), 1, 2), RC_BUSY);
    conn->state = nullptr;
}

} // namespace

// NETSCAN over loopback TCP: the 310 request, the upload in pieces, the
// digest check, and a cured copy of uploaded bytes.
#include <gtest/gtest.h>

#include <thread>

#include "raw_client.h"
#include "standin/fingerprint.h"
#include "standin/signatures.h"
#include "standin_process.h"

namespace {

using Lines = std::vector<std::string>;

class Netscan : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.started()) << server.error_output();
        ASSERT_NE(server.tcp_port(), 0);
        ASSERT_TRUE(raw.connected());
        ASSERT_TRUE(raw.line());
    }

    // Announces the bytes, waits for 310, uploads them in pieces of `piece`
    // bytes and returns the rest of the reply.
    Reply upload(const std::string &letters, const std::string &bytes, size_t piece,
                 const std::string &digest) {
        Reply request =
            raw.command("NETSCAN x" + letters + " " + std::to_string(bytes.size()) + " " + digest);
        EXPECT_EQ(request.lines.size(), 1u);
        EXPECT_EQ(request.final_line().substr(0, 4), "310 ");
        for (size_t at = 0; at < bytes.size(); at += piece) {
            EXPECT_TRUE(raw.send(bytes.substr(at, piece)));
            if (piece < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return raw.reply();
    }
    Reply upload(const std::string &letters, const std::string &bytes, size_t piece = 1 << 20) {
        return upload(letters, bytes, piece, standin::md5_text(bytes));
    }

    StandinProcess server{{"--tcp", "0", "--signatures", SAMPLE_SIGNATURES}, false};
    RawClient raw{server.tcp_port()};
};

TEST_F(Netscan, CleanAndInfectedUploadsNamedByTheirDigest) {
    std::string clean = "just text";
    EXPECT_EQ(upload("mQ", clean).lines, Lines{"220 " + standin::md5_text(clean)});

    std::string infected = "pre " + standin::test_file_bytes() + " STANDIN-SAMPLE-PACKER";
    std::string digest = standin::md5_text(infected);
    EXPECT_EQ(
        upload("mQ", infected, 5).lines,
        (Lines{"322-EICAR-Test-File " + digest, "327-Sample.Packer " + digest, "230 " + digest}))
        << "uploaded in pieces of 5 bytes";
    EXPECT_EQ(raw.command("NOOP").lines, Lines{"200 OK"});
}

TEST_F(Netscan, CuredCopyOfTheUpload) {
    std::string infected = standin::test_file_bytes() + " tail";
    Reply reply = upload("mQl", infected, 7);
    std::string cured = std::string(68, '#') + " tail";
    std::string digest = standin::md5_text(infected);
    EXPECT_EQ(reply.lines, (Lines{"323-EICAR-Test-File " + digest,
                                  "312-73 " + standin::md5_text(cured), "221 " + digest}));
    EXPECT_EQ(reply.cured_copy, cured);
}

TEST_F(Netscan, DigestMismatchAndLowercaseDigest) {
    std::string bytes = "abc";
    std::string wrong(32, '0');
    EXPECT_EQ(upload("m", bytes, 1, wrong).lines, Lines{"241 " + wrong});
    std::string lower = "900150983cd24fb0d6963f7d28e17f72";
    EXPECT_EQ(upload("m", bytes, 3, lower).lines, Lines{"220 " + lower});
}

TEST_F(Netscan, ANulByteAndCrLfInsideTheUploadAreJustBytes) {
    std::string bytes("QUIT\r\n\0NOOP\r\n", 13);
    EXPECT_EQ(upload("m", bytes).lines, Lines{"220 " + standin::md5_text(bytes)});
    EXPECT_EQ(raw.command("NOOP").lines, Lines{"200 OK"});
}

TEST_F(Netscan, AClientGoneInTheMiddleOfTheUploadHarmsNoOther) {
    EXPECT_EQ(raw.command("NETSCAN xm 1000 " + std::string(32, 'A')).final_line().substr(0, 4),
              "310 ");
    ASSERT_TRUE(raw.send("only a part"));
    raw.close();
    RawClient next(server.tcp_port());
    ASSERT_TRUE(next.line());
    EXPECT_EQ(next.command("NOOP").lines, Lines{"200 OK"});
}

TEST_F(Netscan, ASizeBeyond32BitsIsNotCutShort) {
    EXPECT_EQ(
        raw.command("NETSCAN xm 4294967297 " + std::string(32, 'A')).final_line().substr(0, 4),
        "310 ");
    ASSERT_TRUE(raw.send("abc"));
    raw.end_sending();
    EXPECT_TRUE(raw.hung_up()) << "still waiting for the rest of the upload when it ended";
}

TEST_F(Netscan, ScanByPathWorksOverTcpToo) {
    TestFolder folder;
    std::string path = folder.write("f", standin::test_file_bytes());
    EXPECT_EQ(raw.command("SCAN xm " + path).final_line(), "230 " + path);
}

} // namespace

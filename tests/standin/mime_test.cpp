// The search inside base64 MIME parts: attachments of a real-looking message,
// cut into pieces of any size, and what is not decoded.
#include <gtest/gtest.h>

#include "standin/matcher.h"
#include "standin/scan_reply.h"
#include "support/mail_samples.h"

namespace {

using standin::Signature;
using standin::StreamScanner;

std::string message(const std::string &attachment, const std::string &encoding_header) {
    return "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n" +
           mail_body_with_attachment(attachment, encoding_header);
}

// Names found, in order, for the bytes fed in pieces of `piece` bytes.
std::vector<std::string> names_found(const std::vector<Signature> &set, const std::string &bytes,
                                     size_t piece) {
    StreamScanner scanner(set);
    for (size_t at = 0; at < bytes.size(); at += piece)
        scanner.feed(std::string_view(bytes).substr(at, piece));
    std::vector<std::string> names;
    for (const standin::Match &match : scanner.matches()) {
        EXPECT_TRUE(match.encoded);
        names.push_back(set[match.signature].name);
    }
    return names;
}

TEST(MimeParts, FindsThreatsInBase64AttachmentsWhateverThePieceSize) {
    std::vector<Signature> set = standin::builtin_signatures();
    set.push_back({"Packer", "STANDIN-SAMPLE-PACKER", standin::ThreatKind::Warning, true});
    const std::string payload = "MZ" + std::string(100, '\x90') + standin::test_file_bytes() +
                                std::string(50, 'x') + "STANDIN-SAMPLE-PACKER" + "\n";
    const std::string mail = message(payload, "Content-Transfer-Encoding: base64");
    const std::vector<std::string> expected = {"EICAR-Test-File", "Packer"};
    for (size_t piece = 1; piece <= mail.size(); piece += piece < 80 ? 1 : 97)
        ASSERT_EQ(names_found(set, mail, piece), expected) << "pieces of " << piece;

    // The header's name and value in any case, the value on a continuation
    // line, among comments and blanks.
    for (const char *header : {
             "content-transfer-encoding:\r\n\tBASE64",
             "Content-Transfer-Encoding: base64 (binary)",
             "Content-Transfer-Encoding:(binary)base64",
             "Content-Transfer-Encoding: (an (inner) comment, a \\) too)\tBase64 ",
             "Content-Transfer-Encoding: base64\r\n (folded comment)",
             "Content-Transfer-Encoding: base64 (left open",
         })
        EXPECT_EQ(names_found(set, message(payload, header), 7), expected) << header;
    // Binary bytes first: no header block there, the part is found after them.
    EXPECT_EQ(names_found(set,
                          std::string("\x7f"
                                      "ELF\0\0\r\n",
                                      8) +
                              mail,
                          64),
              expected);
    // A message that is one base64 part, and an encoding without padding.
    std::string single = "Subject: x\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                         base64_lines(standin::test_file_bytes() + "ab");
    single.erase(single.find("=="), 2);
    EXPECT_EQ(names_found(set, single, 5), std::vector<std::string>{"EICAR-Test-File"});
}

TEST(MimeParts, DecodesOnlyPartsAnnouncedAsBase64) {
    const std::vector<Signature> set = standin::builtin_signatures();
    const std::string encoded = base64_lines(standin::test_file_bytes());
    EXPECT_TRUE(
        names_found(set, message(standin::test_file_bytes(), "X-Note: base64"), 64).empty());
    for (const char *header :
         {"Content-Transfer-Encoding: (base64) 7bit", "Content-Transfer-Encoding: base64 7bit"})
        EXPECT_TRUE(names_found(set, message(standin::test_file_bytes(), header), 64).empty())
            << header;
    EXPECT_TRUE(names_found(set, "Subject: base64 below\r\n\r\n" + encoded, 64).empty());
    // A part whose base64 is cut off by text does not run into the next part.
    std::string split = message("", "Content-Transfer-Encoding: base64");
    split.insert(split.find("--b1--"), encoded.substr(0, 40) + "(cut)\r\n" + encoded.substr(40));
    EXPECT_TRUE(names_found(set, split, 64).empty());
}

TEST(MimeParts, AThreatInsideAnEncodedPartIsNotCured) {
    const std::vector<Signature> set = standin::builtin_signatures();
    const std::string mail = message("data " + standin::test_file_bytes() + " data",
                                     "Content-Transfer-Encoding: base64");
    StreamScanner scanner(set);
    scanner.feed(mail);
    standin::ScanReply reply =
        standin::build_scan_reply(set, scanner.matches(), "/m", /*cure=*/true, &mail);
    EXPECT_EQ(reply.verdict.code, standin::code::kCureFailed);
    EXPECT_FALSE(reply.has_cured_copy);
    reply = standin::build_scan_reply(set, scanner.matches(), "/m", false, nullptr);
    EXPECT_EQ(reply.verdict.code, standin::code::kInfected);
    ASSERT_EQ(reply.object_lines.size(), 1u);
    EXPECT_EQ(reply.object_lines[0].text, "EICAR-Test-File /m");
}

} // namespace

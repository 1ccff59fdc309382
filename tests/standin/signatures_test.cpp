// Signature files: what a line may hold, and how a bad line is reported.
#include <gtest/gtest.h>

#include "standin/signatures.h"
#include "standin_process.h"

namespace {

using standin::Signature;
using standin::ThreatKind;

std::string parse_error(std::string_view text) {
    std::vector<Signature> out = {Signature{"Kept", "k", ThreatKind::Infection, true}};
    std::string error;
    EXPECT_FALSE(standin::parse_signatures(text, out, error)) << text;
    EXPECT_EQ(out.size(), 1u) << "nothing is added from a file with an error";
    return error;
}

TEST(TestFile, IsTheStandardSixtyEightBytes) {
    const std::string &bytes = standin::test_file_bytes();
    ASSERT_EQ(bytes.size(), 68u);
    EXPECT_EQ(bytes.substr(0, 3), "X5O");
    EXPECT_EQ(bytes.substr(27, 6), "$EICAR");
    EXPECT_EQ(bytes.substr(62), "!$H+H*");
    std::vector<Signature> builtin = standin::builtin_signatures();
    ASSERT_EQ(builtin.size(), 1u);
    EXPECT_EQ(builtin[0].name, "EICAR-Test-File");
    EXPECT_EQ(builtin[0].pattern, bytes);
    EXPECT_TRUE(builtin[0].curable);
}

TEST(ParseSignatures, ReadsNamesPatternsAndFlags) {
    std::vector<Signature> out;
    std::string error;
    ASSERT_TRUE(standin::parse_signatures("# a comment\r\n"
                                          "\n"
                                          "   # an indented comment\n"
                                          "Plain 41a0FF\r\n"
                                          "\tLocked  00   nocure\n"
                                          "Noted 4243 warning\n"
                                          "Odd 44 suspicion nocure\n"
                                          "Last 45",
                                          out, error))
        << error;
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].name, "Plain");
    EXPECT_EQ(out[0].pattern, "A\xa0\xff");
    EXPECT_EQ(out[0].kind, ThreatKind::Infection);
    EXPECT_TRUE(out[0].curable);
    EXPECT_EQ(out[1].pattern, std::string(1, '\0'));
    EXPECT_FALSE(out[1].curable);
    EXPECT_EQ(out[2].kind, ThreatKind::Warning);
    EXPECT_EQ(out[3].kind, ThreatKind::Suspicion);
    EXPECT_EQ(out[4].name, "Last") << "a last line without a line end counts";
}

TEST(ParseSignatures, ReportsTheLineAndTheProblem) {
    EXPECT_EQ(parse_error("Good 41\n\nBad 414\n"),
              "line 3: odd number of hexadecimal digits in the pattern");
    EXPECT_EQ(parse_error("Bad 4g"),
              "line 1: the pattern holds a character that is not a hexadecimal digit");
    EXPECT_EQ(parse_error("Lonely\n"), "line 1: expected a name and a hexadecimal pattern");
    EXPECT_EQ(parse_error("X 41 sticky"),
              "line 1: unknown flag 'sticky' (nocure, warning, suspicion)");
    EXPECT_EQ(parse_error("X 41 warning suspicion"),
              "line 1: a signature is either a warning or a suspicion");
    EXPECT_EQ(parse_error(std::string(65, 'N') + " 41"),
              "line 1: the name must be at most 64 printable characters");
    EXPECT_EQ(parse_error("X " + std::string(2 * 4097, 'a')),
              "line 1: the pattern is longer than 4096 bytes");
    EXPECT_NE(parse_error("Na\xe9me 41"), "") << "names are printable ASCII";
}

TEST(ParseSignatures, AcceptsTheLongestPattern) {
    std::vector<Signature> out;
    std::string error;
    EXPECT_TRUE(standin::parse_signatures("X " + std::string(2 * 4096, 'a'), out, error));
    EXPECT_EQ(standin::longest_pattern(out), 4096u);
}

TEST(LoadSignatureFile, NamesTheFileInErrors) {
    TestFolder folder;
    std::vector<Signature> out;
    std::string error;
    std::string path = folder.write("sigs.txt", "A 41\nB zz\n");
    EXPECT_FALSE(standin::load_signature_file(path, out, error));
    EXPECT_EQ(error, path + ": line 2: the pattern holds a character that is not a hexadecimal "
                            "digit");
    EXPECT_FALSE(standin::load_signature_file(folder.path() + "/none", out, error));
    EXPECT_EQ(error, folder.path() + "/none: No such file or directory");
    EXPECT_FALSE(standin::load_signature_file(folder.path(), out, error));
    EXPECT_EQ(error, folder.path() + ": Is a directory");
    EXPECT_TRUE(out.empty());

    EXPECT_TRUE(standin::load_signature_file(folder.write("empty.txt", ""), out, error));
    EXPECT_TRUE(out.empty());
}

TEST(LoadSignatureFile, TheShippedSampleLoads) {
    std::vector<Signature> out;
    std::string error;
    ASSERT_TRUE(standin::load_signature_file(SAMPLE_SIGNATURES, out, error)) << error;
    EXPECT_GE(out.size(), 4u);
}

} // namespace

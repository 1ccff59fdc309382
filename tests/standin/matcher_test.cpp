// The streaming matcher: patterns cut by read boundaries, empty objects,
// patterns at the edges, overlapping and repeated occurrences, and curing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "standin/matcher.h"
#include "standin_process.h"

namespace {

using standin::Match;
using standin::Signature;
using standin::StreamScanner;
using standin::ThreatKind;

Signature sig(std::string name, std::string pattern, ThreatKind kind = ThreatKind::Infection) {
    return Signature{std::move(name), std::move(pattern), kind, true};
}

// (signature, offset) pairs, sorted, for comparisons that ignore the order in
// which occurrences were found.
std::vector<std::pair<size_t, uint64_t>> found(const std::vector<Match> &matches) {
    std::vector<std::pair<size_t, uint64_t>> result;
    for (const Match &match : matches)
        result.emplace_back(match.signature, match.offset);
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::pair<size_t, uint64_t>> scan_in_pieces(const std::vector<Signature> &set,
                                                        const std::string &bytes, size_t piece) {
    StreamScanner scanner(set);
    for (size_t at = 0; at < bytes.size(); at += piece)
        scanner.feed(std::string_view(bytes).substr(at, piece));
    EXPECT_EQ(scanner.bytes_seen(), bytes.size());
    return found(scanner.matches());
}

TEST(StreamScanner, FindsEachOccurrenceOnceWhateverThePieceSize) {
    const std::vector<Signature> set = {sig("Long", "0123456789"), sig("Short", "ab"),
                                        sig("Test", standin::test_file_bytes())};
    const std::string bytes = "ab..0123456789..xab" + standin::test_file_bytes() + "0123456789ab";
    const auto expected = scan_in_pieces(set, bytes, bytes.size());
    ASSERT_EQ(expected.size(), 6u);
    for (size_t piece = 1; piece <= bytes.size(); ++piece)
        EXPECT_EQ(scan_in_pieces(set, bytes, piece), expected) << "pieces of " << piece;
}

TEST(StreamScanner, PatternsAtTheVeryStartAndEnd) {
    const std::vector<Signature> set = {sig("A", "head"), sig("B", "tail")};
    EXPECT_EQ(scan_in_pieces(set, "head....tail", 5),
              (std::vector<std::pair<size_t, uint64_t>>{{0, 0}, {1, 8}}));
    EXPECT_EQ(scan_in_pieces(set, "head", 4), (std::vector<std::pair<size_t, uint64_t>>{{0, 0}}));
    EXPECT_EQ(scan_in_pieces(set, "hea", 1), (std::vector<std::pair<size_t, uint64_t>>{}))
        << "a pattern cut short by the end is no match";
}

TEST(StreamScanner, OverlappingOccurrencesAndPrefixPatterns) {
    const std::vector<Signature> set = {sig("AA", "aa"), sig("AAA", "aaa")};
    // "aaaa": aa at 0, 1, 2 and aaa at 0, 1.
    for (size_t piece : {1u, 2u, 3u, 4u})
        EXPECT_EQ(scan_in_pieces(set, "aaaa", piece), (std::vector<std::pair<size_t, uint64_t>>{
                                                          {0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}}))
            << "pieces of " << piece;
}

TEST(StreamScanner, BinaryPatternsWithNulBytes) {
    const std::vector<Signature> set = {sig("Nul", std::string("\0\xff\0", 3))};
    std::string bytes("xx\0\xff\0yy", 7);
    EXPECT_EQ(scan_in_pieces(set, bytes, 2), (std::vector<std::pair<size_t, uint64_t>>{{0, 2}}));
}

TEST(StreamScanner, EmptyInputAndEmptyPieces) {
    const std::vector<Signature> set = {sig("A", "a")};
    StreamScanner scanner(set);
    scanner.feed("");
    EXPECT_TRUE(scanner.matches().empty());
    EXPECT_EQ(scanner.bytes_seen(), 0u);
    scanner.feed("a");
    scanner.feed("");
    EXPECT_EQ(found(scanner.matches()), (std::vector<std::pair<size_t, uint64_t>>{{0, 0}}));
}

TEST(ScanFile, StreamsTheFileInPiecesAndKeepsItsContentOnRequest) {
    TestFolder folder;
    const std::vector<Signature> set = standin::builtin_signatures();
    std::string bytes(100000, 'c');
    bytes.replace(65536 - 30, standin::test_file_bytes().size(), standin::test_file_bytes());
    std::string path = folder.write("big.bin", bytes);

    StreamScanner scanner(set);
    std::string content;
    ASSERT_EQ(standin::scan_file(path, scanner, 65536, &content), standin::FileScanStatus::Ok);
    EXPECT_EQ(found(scanner.matches()), (std::vector<std::pair<size_t, uint64_t>>{{0, 65506}}))
        << "the pattern straddles the first read";
    EXPECT_EQ(content, bytes);
}

TEST(ScanFile, EmptyMissingAndNonRegularFiles) {
    TestFolder folder;
    const std::vector<Signature> set = standin::builtin_signatures();
    StreamScanner empty(set);
    std::string content;
    EXPECT_EQ(standin::scan_file(folder.write("empty", ""), empty, 7, &content),
              standin::FileScanStatus::Ok);
    EXPECT_TRUE(empty.matches().empty());
    EXPECT_EQ(content, "");

    StreamScanner other(set);
    EXPECT_EQ(standin::scan_file(folder.path() + "/missing", other, 7, nullptr),
              standin::FileScanStatus::CannotOpen);
    EXPECT_EQ(standin::scan_file(folder.path(), other, 7, nullptr),
              standin::FileScanStatus::NotRegular);
    std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(standin::scan_file(fifo, other, 7, nullptr), standin::FileScanStatus::NotRegular)
        << "a FIFO is refused without blocking";
}

TEST(Neutralise, OverwritesInfectionsOnlyAndTellsABareThreat) {
    const std::vector<Signature> set = {sig("Bad", "evil"), sig("Meh", "odd", ThreatKind::Warning)};
    std::string content = "an evil, odd evil";
    StreamScanner scanner(set);
    scanner.feed(content);
    EXPECT_FALSE(standin::only_threat(content, scanner.matches(), set));
    standin::neutralise(content, scanner.matches(), set);
    EXPECT_EQ(content, "an ####, odd ####");

    auto bare = [&](const std::string &bytes) {
        StreamScanner s(set);
        s.feed(bytes);
        return standin::only_threat(bytes, s.matches(), set);
    };
    EXPECT_TRUE(bare("evil"));
    EXPECT_TRUE(bare("evil\r\n"));
    EXPECT_TRUE(bare(" evilevil\t"));
    EXPECT_FALSE(bare("evil!"));
    EXPECT_FALSE(bare("odd")) << "a warning is no infection";
    EXPECT_FALSE(bare("  ")) << "nothing found";
}

} // namespace

// From matches to the reply of one object: line codes and order, verdicts,
// and when a cure succeeds or fails.
#include <gtest/gtest.h>

#include "standin/fingerprint.h"
#include "standin/scan_reply.h"

namespace {

using standin::ScanReply;
using standin::Signature;
using standin::ThreatKind;

const std::vector<Signature> kSet = {
    {"Worm", "WORM", ThreatKind::Infection, true},
    {"Rootkit", "ROOTKIT", ThreatKind::Infection, false},
    {"Packer", "PACKER", ThreatKind::Warning, true},
    {"Dropper", "DROPPER", ThreatKind::Suspicion, true},
    {"Framed", "%####%", ThreatKind::Infection, true},
};

ScanReply scan(const std::string &content, bool cure) {
    standin::StreamScanner scanner(kSet);
    scanner.feed(content);
    return standin::build_scan_reply(kSet, scanner.matches(), "/f", cure, &content);
}

std::vector<std::string> lines_of(const ScanReply &reply) {
    std::vector<std::string> lines;
    for (const auto &line : reply.object_lines)
        lines.push_back(std::to_string(line.code) + " " + line.text);
    lines.push_back(std::to_string(reply.verdict.code) + " " + reply.verdict.text);
    return lines;
}

using Lines = std::vector<std::string>;

TEST(ScanReply, VerdictsWithoutCure) {
    EXPECT_EQ(lines_of(scan("nothing here", false)), Lines{"220 /f"});
    EXPECT_EQ(lines_of(scan("a WORM", false)), (Lines{"322 Worm /f", "230 /f"}));
    EXPECT_EQ(lines_of(scan("PACKER", false)), (Lines{"327 Packer /f", "233 /f"}));
    EXPECT_EQ(lines_of(scan("PACKER DROPPER", false)),
              (Lines{"327 Packer /f", "328 Dropper /f", "232 /f"}))
        << "a suspicion outweighs a warning";
    EXPECT_EQ(lines_of(scan("DROPPER WORM", false)),
              (Lines{"328 Dropper /f", "322 Worm /f", "230 /f"}));
}

TEST(ScanReply, OneLinePerSignatureInTheOrderOfFirstOccurrence) {
    EXPECT_EQ(lines_of(scan("ROOTKIT WORM ROOTKIT WORM", false)),
              (Lines{"322 Rootkit /f", "322 Worm /f", "230 /f"}));
    EXPECT_EQ(lines_of(scan("WORM ROOTKIT", false)),
              (Lines{"322 Worm /f", "322 Rootkit /f", "230 /f"}));
}

TEST(ScanReply, CureOverwritesInfectionsAndSendsTheCopy) {
    ScanReply reply = scan("keep WORM and PACKER, WORM.", true);
    EXPECT_EQ(lines_of(reply), (Lines{"323 Worm /f", "327 Packer /f", "221 /f"}));
    ASSERT_TRUE(reply.has_cured_copy);
    EXPECT_EQ(reply.cured_copy, "keep #### and PACKER, ####.") << "warnings are left alone";
}

TEST(ScanReply, CureFailsForAnUncurableSignatureABareThreatOrARemainingMatch) {
    ScanReply locked = scan("WORM and ROOTKIT", true);
    EXPECT_EQ(lines_of(locked), (Lines{"322 Worm /f", "322 Rootkit /f", "231 /f"}));
    EXPECT_FALSE(locked.has_cured_copy);
    EXPECT_TRUE(locked.cured_copy.empty());

    EXPECT_EQ(lines_of(scan("WORM\n", true)), (Lines{"322 Worm /f", "231 /f"}))
        << "nothing but the threat would remain";

    // Neutralising the worm leaves "%####%", which another infection matches.
    EXPECT_EQ(lines_of(scan("x%WORM%x", true)), (Lines{"322 Worm /f", "231 /f"}));
}

TEST(ScanReply, NothingToCureOrNoContent) {
    ScanReply clean = scan("PACKER", true);
    EXPECT_EQ(lines_of(clean), (Lines{"327 Packer /f", "233 /f"}));
    EXPECT_FALSE(clean.has_cured_copy);

    standin::StreamScanner scanner(kSet);
    scanner.feed("a WORM");
    ScanReply no_content = standin::build_scan_reply(kSet, scanner.matches(), "/f", true, nullptr);
    EXPECT_EQ(lines_of(no_content), (Lines{"322 Worm /f", "231 /f"}));
}

TEST(ScanReply, UnreadableObject) {
    EXPECT_EQ(lines_of(standin::unreadable_reply("/gone")), Lines{"241 /gone"});
}

TEST(Fingerprint, UppercaseDigestInOneGoOrInPieces) {
    EXPECT_EQ(standin::md5_text(""), "D41D8CD98F00B204E9800998ECF8427E");
    standin::Fingerprint pieces;
    pieces.add("a");
    pieces.add("");
    pieces.add("bc");
    EXPECT_EQ(pieces.finish(), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_TRUE(standin::same_digest("900150983cd24fb0d6963f7d28e17f72",
                                     "900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_FALSE(standin::same_digest("900150983CD24FB0D6963F7D28E17F7",
                                      "900150983CD24FB0D6963F7D28E17F72"));
}

} // namespace

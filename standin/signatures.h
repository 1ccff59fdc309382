// The stand-in server's signature set: the built-in standard anti-virus test
// file plus byte patterns read from a signature file, each with the kind of
// finding it reports and whether it can be cured.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// What a match reports: an infection (322, or 323 once cured), a warning
// (327) or a suspicion (328).
enum class ThreatKind { Infection, Warning, Suspicion };

struct Signature {
    std::string name;    // one word; becomes the first word of the per-object line
    std::string pattern; // the raw bytes searched for; never empty
    ThreatKind kind = ThreatKind::Infection;
    bool curable = true; // only infections are ever cured
};

// Longest pattern a signature file may give, in bytes. It bounds the overlap
// that the streaming search keeps between reads.
constexpr size_t kMaxPatternBytes = 4096;

// Longest signature name: names travel in reply lines.
constexpr size_t kMaxNameLength = 64;

// The 68 bytes of the industry-standard anti-virus test file.
const std::string &test_file_bytes();

// Name under which the test file is reported.
inline constexpr std::string_view kTestFileName = "EICAR-Test-File";

// The signature set a server starts with: the test file alone.
std::vector<Signature> builtin_signatures();

// Parses the text of a signature file and appends its signatures to `out`.
// One signature a line:
//
//     NAME HEXPATTERN [FLAG...]
//
// NAME is a word of printable characters, HEXPATTERN an even number of
// hexadecimal digits (either case), and each FLAG one of
//   nocure     the infection is found but cannot be cured (231 when asked to cure)
//   warning    the match is reported as a warning (327) instead of an infection
//   suspicion  the match is reported as a suspicion (328) instead of an infection
// Blank lines and lines whose first non-blank character is '#' are ignored.
// On an error nothing is appended, and `error` says which line is wrong.
bool parse_signatures(std::string_view text, std::vector<Signature> &out, std::string &error);

// Reads and parses a signature file; `error` names the file.
bool load_signature_file(const std::string &path, std::vector<Signature> &out, std::string &error);

// Reads a whole file (a signature file, the cured copy to serve); on failure
// `error` names the path and the cause.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error);

// Length of the longest pattern of the set; 0 for an empty set.
size_t longest_pattern(const std::vector<Signature> &signatures);

} // namespace standin

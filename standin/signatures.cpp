#include "standin/signatures.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace standin {

namespace {

// Kept in two halves so that the source file itself does not carry the
// complete test string and is not flagged by scanners on a developer's
// machine.
constexpr std::string_view kTestFileHead = "X5O!P%@AP[4\\PZX54(P^)7CC)7}";
constexpr std::string_view kTestFileTail = "$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_blank(line[at]))
            ++at;
        size_t start = at;
        while (at < line.size() && !is_blank(line[at]))
            ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

bool decode_hex(std::string_view hex, std::string &bytes, std::string &problem) {
    if (hex.size() % 2 != 0) {
        problem = "odd number of hexadecimal digits in the pattern";
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hex_value(hex[i]);
        int low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0) {
            problem = "the pattern holds a character that is not a hexadecimal digit";
            return false;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    if (bytes.size() > kMaxPatternBytes) {
        problem = "the pattern is longer than " + std::to_string(kMaxPatternBytes) + " bytes";
        return false;
    }
    return true;
}

bool valid_name(std::string_view name) {
    if (name.size() > kMaxNameLength) return false;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f) return false;
    }
    return true;
}

bool parse_line(std::string_view line, Signature &signature, std::string &problem) {
    std::vector<std::string_view> words = words_of(line);
    if (words.size() < 2) {
        problem = "expected a name and a hexadecimal pattern";
        return false;
    }
    if (!valid_name(words[0])) {
        problem =
            "the name must be at most " + std::to_string(kMaxNameLength) + " printable characters";
        return false;
    }
    signature.name = std::string(words[0]);
    if (!decode_hex(words[1], signature.pattern, problem)) return false;
    if (signature.pattern.empty()) {
        problem = "empty pattern";
        return false;
    }
    bool kind_given = false;
    for (size_t i = 2; i < words.size(); ++i) {
        std::string_view flag = words[i];
        if (flag == "nocure") {
            signature.curable = false;
        } else if (flag == "warning" || flag == "suspicion") {
            if (kind_given) {
                problem = "a signature is either a warning or a suspicion";
                return false;
            }
            kind_given = true;
            signature.kind = flag == "warning" ? ThreatKind::Warning : ThreatKind::Suspicion;
        } else {
            problem = "unknown flag '" + std::string(flag) + "' (nocure, warning, suspicion)";
            return false;
        }
    }
    return true;
}

} // namespace

const std::string &test_file_bytes() {
    static const std::string bytes = std::string(kTestFileHead) + std::string(kTestFileTail);
    return bytes;
}

std::vector<Signature> builtin_signatures() {
    return {Signature{std::string(kTestFileName), test_file_bytes(), ThreatKind::Infection, true}};
}

bool parse_signatures(std::string_view text, std::vector<Signature> &out, std::string &error) {
    std::vector<Signature> parsed;
    size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        size_t first = 0;
        while (first < line.size() && is_blank(line[first]))
            ++first;
        if (first == line.size() || line[first] == '#') continue;

        Signature signature;
        std::string problem;
        if (!parse_line(line, signature, problem)) {
            error = "line " + std::to_string(line_number) + ": " + problem;
            return false;
        }
        parsed.push_back(std::move(signature));
    }
    out.insert(out.end(), parsed.begin(), parsed.end());
    return true;
}

bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char piece[65536];
    ssize_t n = -1;
    while (fd >= 0 && ((n = ::read(fd, piece, sizeof piece)) > 0 || (n < 0 && errno == EINTR)))
        bytes.append(piece, n > 0 ? static_cast<size_t>(n) : 0);
    int cause = errno;
    if (fd >= 0) ::close(fd);
    if (n < 0) error = path + ": " + std::strerror(cause);
    return n == 0;
}

bool load_signature_file(const std::string &path, std::vector<Signature> &out, std::string &error) {
    std::string text;
    if (!read_whole_file(path, text, error)) return false;
    if (parse_signatures(text, out, error)) return true;
    error = path + ": " + error;
    return false;
}

size_t longest_pattern(const std::vector<Signature> &signatures) {
    size_t longest = 0;
    for (const Signature &signature : signatures)
        longest = std::max(longest, signature.pattern.size());
    return longest;
}

} // namespace standin

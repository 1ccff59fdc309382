#include "standin/mime.h"

#include <array>
#include <cstring>

#include "standin/matcher.h"

namespace standin {

namespace {

// Longest header kept for the look at its name and value; longer ones are
// cut, which no Content-Transfer-Encoding header ever is.
constexpr size_t kMaxHeader = 256;

// Longest line of a mail message (RFC 5322), CR LF left out.
constexpr size_t kMaxMailLine = 998;

constexpr std::string_view kEncodingHeader = "content-transfer-encoding:";

// The value of each base64 character, -1 for every other byte.
constexpr std::array<int8_t, 256> make_base64_values() {
    std::array<int8_t, 256> values{};
    for (int8_t &value : values)
        value = -1;
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t index = 0; index < alphabet.size(); ++index)
        values[static_cast<unsigned char>(alphabet[index])] = static_cast<int8_t>(index);
    return values;
}
constexpr std::array<int8_t, 256> kBase64Values = make_base64_values();

// "Name: value": a name of printable characters other than blanks, then a
// colon.
bool is_field(const std::string &line) {
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) return false;
    for (size_t index = 0; index < colon; ++index)
        if (line[index] <= ' ' || line[index] > '~') return false;
    return true;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

MimeParts::MimeParts(const std::vector<Signature> &signatures) : signatures_(signatures) {}

MimeParts::~MimeParts() = default;

void MimeParts::feed(std::string_view piece, uint64_t offset, std::vector<Match> &found) {
    size_t at = 0;
    while (at < piece.size()) {
        switch (state_) {
        case State::Text:
            at = text(piece, at);
            break;
        case State::Headers:
            at = headers(piece, at, offset);
            break;
        case State::Base64:
            at = base64(piece, at, found);
            break;
        }
    }
    if (state_ == State::Base64) search_decoded(found);
}

// Skips text up to the next boundary line (one that starts with "--"), and
// that line, to the headers behind it.
size_t MimeParts::text(std::string_view piece, size_t at) {
    // A line that started in an earlier piece.
    while (line_start_ && at < piece.size()) {
        if (piece[at] != '-') {
            line_start_ = false;
            break;
        }
        ++at;
        if (++dashes_ == 2) {
            boundary_ = true;
            line_start_ = false;
        }
    }
    if (at >= piece.size()) return at;
    const char *data = piece.data();
    const size_t size = piece.size();
    if (!boundary_) {
        // Found by its dashes, which text has fewer of than line ends.
        const char *found = nullptr;
        for (size_t from = at; from + 1 < size && found == nullptr;) {
            const void *dash = std::memchr(data + from, '-', size - from - 1);
            if (dash == nullptr) break;
            size_t index = static_cast<size_t>(static_cast<const char *>(dash) - data);
            if (index > at && data[index - 1] == '\n' && data[index + 1] == '-')
                found = data + index - 1;
            from = index + 1;
        }
        if (found == nullptr) {
            // A line may start in the piece's last byte or two.
            dashes_ = 0;
            if (data[size - 1] == '\n') {
                line_start_ = true;
            } else if (size - at >= 2 && data[size - 2] == '\n' && data[size - 1] == '-') {
                line_start_ = true;
                dashes_ = 1;
            }
            return size;
        }
        at = static_cast<size_t>(found - data) + 3;
        boundary_ = true;
    }
    const void *end = std::memchr(data + at, '\n', size - at);
    if (end == nullptr) return size;
    // A part's headers follow its boundary line.
    boundary_ = false;
    line_start_ = true;
    dashes_ = 0;
    state_ = State::Headers;
    header_.clear();
    line_.clear();
    base64_ = false;
    return static_cast<size_t>(static_cast<const char *>(end) - data) + 1;
}

size_t MimeParts::headers(std::string_view piece, size_t at, uint64_t offset) {
    while (at < piece.size()) {
        char c = piece[at++];
        if (c == '\n') {
            line_length_ = 0;
            if (end_header_line(offset + at)) return at;
        } else if (c == '\0' || ++line_length_ > kMaxMailLine) {
            // No header block: binary bytes are skipped line by line as text.
            state_ = State::Text;
            line_start_ = false;
            dashes_ = 0;
            line_length_ = 0;
            return at;
        } else if (line_.size() < kMaxHeader) {
            line_ += c;
        }
    }
    return at;
}

// True when the line was the blank one that ends the header block.
bool MimeParts::end_header_line(uint64_t next_offset) {
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.empty()) {
        note_header();
        header_.clear();
        line_start_ = true;
        dashes_ = 0;
        if (!base64_) {
            state_ = State::Text;
            return true;
        }
        state_ = State::Base64;
        part_ = std::make_unique<StreamScanner>(signatures_, false);
        reported_ = 0;
        quantum_ = 0;
        quantum_chars_ = 0;
        part_offset_ = next_offset;
        return true;
    }
    if (blank(line_[0])) {
        header_.append(line_, 0, kMaxHeader - std::min(kMaxHeader, header_.size()));
    } else if (line_.rfind("--", 0) == 0) {
        // A boundary right after a boundary: a new header block starts.
        header_.clear();
        base64_ = false;
    } else if (!is_field(line_)) {
        // Text, not headers: skipped line by line from here on.
        header_.clear();
        line_.clear();
        state_ = State::Text;
        line_start_ = true;
        dashes_ = 0;
        return true;
    } else {
        note_header();
        header_ = line_;
    }
    line_.clear();
    return false;
}

void MimeParts::note_header() {
    if (header_.size() < kEncodingHeader.size()) return;
    for (size_t index = 0; index < kEncodingHeader.size(); ++index)
        if (lower(header_[index]) != kEncodingHeader[index]) return;
    // The value is one word among blanks and comments: "(...)", which may
    // nest and hold a backslash-quoted character, as in "base64 (binary)".
    // A comment left open runs to the end of the header.
    std::string value;
    int depth = 0;
    for (size_t index = kEncodingHeader.size(); index < header_.size(); ++index) {
        char c = header_[index];
        if (depth > 0 && c == '\\') {
            ++index;
        } else if (c == '(') {
            ++depth;
        } else if (depth > 0 && c == ')') {
            --depth;
        } else if (depth == 0 && !blank(c)) {
            value += lower(c);
        }
    }
    base64_ = value == "base64";
}

size_t MimeParts::base64(std::string_view piece, size_t at, std::vector<Match> &found) {
    for (; at < piece.size(); ++at) {
        const char c = piece[at];
        const int8_t value = kBase64Values[static_cast<unsigned char>(c)];
        if (value >= 0) {
            quantum_ = (quantum_ << 6) | static_cast<uint32_t>(value);
            if (++quantum_chars_ == 4) emit_quantum();
            line_start_ = false;
        } else if (c == '\n') {
            line_start_ = true;
        } else if (c == '=') {
            emit_quantum();
            line_start_ = false;
        } else if (c != '\r' && !blank(c)) {
            // A boundary or text: the part ends, and the line is read as text.
            end_part(found);
            state_ = State::Text;
            dashes_ = 0;
            return at;
        }
    }
    return at;
}

// Decodes the characters of the current group: four give three bytes, a
// group cut short by padding or by the part's end gives one or two.
void MimeParts::emit_quantum() {
    const int chars = quantum_chars_;
    if (chars >= 2) {
        const uint32_t bits = quantum_ << (6 * (4 - chars));
        decoded_ += static_cast<char>((bits >> 16) & 0xff);
        if (chars >= 3) decoded_ += static_cast<char>((bits >> 8) & 0xff);
        if (chars == 4) decoded_ += static_cast<char>(bits & 0xff);
    }
    quantum_ = 0;
    quantum_chars_ = 0;
}

void MimeParts::end_part(std::vector<Match> &found) {
    emit_quantum();
    search_decoded(found);
    part_.reset();
}

void MimeParts::search_decoded(std::vector<Match> &found) {
    if (part_ == nullptr) return;
    part_->feed(decoded_);
    decoded_.clear();
    const std::vector<Match> &matches = part_->matches();
    for (; reported_ < matches.size(); ++reported_)
        found.push_back({matches[reported_].signature, part_offset_, true});
}

} // namespace standin

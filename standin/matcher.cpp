#include "standin/matcher.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "standin/mime.h"

namespace standin {

StreamScanner::StreamScanner(const std::vector<Signature> &signatures, bool decode_mime)
    : signatures_(signatures) {
    size_t longest = longest_pattern(signatures);
    keep_ = longest > 0 ? longest - 1 : 0;
    if (decode_mime) mime_ = std::make_unique<MimeParts>(signatures);
}

StreamScanner::~StreamScanner() = default;

void StreamScanner::feed(std::string_view piece) {
    if (piece.empty()) return;
    const size_t history = window_.size();
    const uint64_t window_offset = seen_ - history;
    window_.append(piece);
    std::string_view window(window_);

    for (size_t index = 0; index < signatures_.size(); ++index) {
        std::string_view pattern(signatures_[index].pattern);
        // An occurrence that lies wholly in the history was reported with the
        // piece it ended in; start where one would reach into the new piece.
        size_t from = history >= pattern.size() ? history - pattern.size() + 1 : 0;
        for (size_t at = window.find(pattern, from); at != std::string_view::npos;
             at = window.find(pattern, at + 1))
            matches_.push_back({index, window_offset + at});
    }

    if (mime_) mime_->feed(piece, seen_, matches_);
    seen_ += piece.size();
    if (window_.size() > keep_) window_.erase(0, window_.size() - keep_);
}

FileScanStatus scan_file(const std::string &path, StreamScanner &scanner, size_t piece_size,
                         std::string *content) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return FileScanStatus::CannotOpen;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return FileScanStatus::NotRegular;
    }
    std::string piece(std::max<size_t>(piece_size, 1), '\0');
    FileScanStatus status = FileScanStatus::Ok;
    for (;;) {
        ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = FileScanStatus::ReadFailed;
            break;
        }
        if (n == 0) break;
        std::string_view got(piece.data(), static_cast<size_t>(n));
        scanner.feed(got);
        if (content != nullptr) content->append(got);
    }
    ::close(fd);
    return status;
}

namespace {

// The byte ranges [begin, end) of the infection matches, clipped to `size`.
std::vector<std::pair<uint64_t, uint64_t>>
infection_ranges(const std::vector<Match> &matches, const std::vector<Signature> &signatures,
                 uint64_t size) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const Match &match : matches) {
        const Signature &signature = signatures[match.signature];
        if (signature.kind != ThreatKind::Infection || match.encoded || match.offset >= size)
            continue;
        ranges.emplace_back(match.offset,
                            std::min<uint64_t>(match.offset + signature.pattern.size(), size));
    }
    return ranges;
}

} // namespace

void neutralise(std::string &content, const std::vector<Match> &matches,
                const std::vector<Signature> &signatures) {
    for (auto [begin, end] : infection_ranges(matches, signatures, content.size()))
        std::fill(content.begin() + static_cast<std::ptrdiff_t>(begin),
                  content.begin() + static_cast<std::ptrdiff_t>(end), kNeutralByte);
}

bool only_threat(std::string_view content, const std::vector<Match> &matches,
                 const std::vector<Signature> &signatures) {
    auto ranges = infection_ranges(matches, signatures, content.size());
    if (ranges.empty()) return false;
    std::sort(ranges.begin(), ranges.end());
    uint64_t at = 0; // bytes before this index are checked
    auto outside_is_blank = [&](uint64_t until) {
        for (; at < until; ++at) {
            char c = content[static_cast<size_t>(at)]; // at < until <= content.size()
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
        }
        return true;
    };
    for (auto [begin, end] : ranges) {
        if (begin > at && !outside_is_blank(begin)) return false;
        at = std::max(at, end);
    }
    return outside_is_blank(content.size());
}

} // namespace standin

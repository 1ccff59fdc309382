// Streaming search for a signature set in an object's bytes, fed piece by
// piece as they are read, and the neutralising of what was found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "standin/signatures.h"

namespace standin {

struct Match {
    size_t signature;     // index into the signature set
    uint64_t offset;      // of the first matched byte in the object
    bool encoded = false; // found in a base64 MIME part; `offset` is the part's
};

class MimeParts;

// Finds every occurrence of every pattern, however the bytes are cut into
// pieces: it keeps the last (longest pattern - 1) bytes of what it has seen in
// front of each new piece, and reports only occurrences that end in the new
// piece, so none is missed or reported twice. Unless `decode_mime` is false,
// the decoded contents of base64 MIME parts are searched as well.
class StreamScanner {
  public:
    // The set must outlive the scanner.
    explicit StreamScanner(const std::vector<Signature> &signatures, bool decode_mime = true);
    ~StreamScanner();

    void feed(std::string_view piece);

    // Every occurrence so far, in the order found.
    const std::vector<Match> &matches() const { return matches_; }
    uint64_t bytes_seen() const { return seen_; }

  private:
    const std::vector<Signature> &signatures_;
    size_t keep_;        // bytes of history needed to see a pattern cut by a piece boundary
    std::string window_; // kept history followed by the current piece
    uint64_t seen_ = 0;
    std::vector<Match> matches_;
    std::unique_ptr<MimeParts> mime_;
};

enum class FileScanStatus { Ok, CannotOpen, NotRegular, ReadFailed };

// Streams the file through a scanner in pieces of `piece_size` bytes. When
// `content` is given it receives the bytes read, for a cured copy.
FileScanStatus scan_file(const std::string &path, StreamScanner &scanner, size_t piece_size,
                         std::string *content);

// Byte written over every matched byte of an infection when curing.
constexpr char kNeutralByte = '#';

// Overwrites the bytes of every infection match in `content` with
// kNeutralByte. Warnings and suspicions are left as they are, and so are
// matches in encoded parts, whose bytes are not the object's.
void neutralise(std::string &content, const std::vector<Match> &matches,
                const std::vector<Signature> &signatures);

// True when there is an infection match and nothing but blanks (space, tab,
// CR, LF) lies outside the infection matches: the object is the threat itself.
bool only_threat(std::string_view content, const std::vector<Match> &matches,
                 const std::vector<Signature> &signatures);

} // namespace standin

// Base64-encoded MIME parts inside an object's bytes: a mail message with an
// attachment carries the attachment encoded, so the signatures are searched
// in the decoded contents of every such part as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "standin/signatures.h"

namespace standin {

struct Match;
class StreamScanner;

// Follows the bytes of an object, fed piece by piece, as a MIME message: the
// headers at its start and after every line that begins with "--" (a
// boundary) are read for "Content-Transfer-Encoding: base64" (in any case,
// folded, with blanks and comments around the word); the body of
// such a header block is decoded up to its first line that is not base64 (a
// boundary or text) and searched for the signatures. Nothing else of MIME is
// checked. Where headers are expected, a line that is no header field ends
// the block, as does a NUL byte or a line too long for mail; text is skipped
// by a search for its dashes, so that an object that is no message costs
// little more than the search for the signatures.
class MimeParts {
  public:
    // The set must outlive the decoder.
    explicit MimeParts(const std::vector<Signature> &signatures);
    ~MimeParts();
    MimeParts(const MimeParts &) = delete;
    MimeParts &operator=(const MimeParts &) = delete;

    // `offset` is the position of the piece's first byte in the object. Every
    // signature found in a decoded part is appended to `found`, marked
    // `encoded`, with the position of the part's first encoded byte.
    void feed(std::string_view piece, uint64_t offset, std::vector<Match> &found);

  private:
    enum class State { Headers, Text, Base64 };

    size_t text(std::string_view piece, size_t at);
    size_t headers(std::string_view piece, size_t at, uint64_t offset);
    size_t base64(std::string_view piece, size_t at, std::vector<Match> &found);
    bool end_header_line(uint64_t next_offset);
    void note_header();
    void emit_quantum();
    void end_part(std::vector<Match> &found);
    void search_decoded(std::vector<Match> &found);

    const std::vector<Signature> &signatures_;
    State state_ = State::Headers;
    bool line_start_ = true;
    int dashes_ = 0;         // "-" seen at the start of the current text line
    bool boundary_ = false;  // the current text line starts with "--"
    std::string line_;       // the header line being read, cut short
    size_t line_length_ = 0; // its length, which a header never takes past 998
    std::string header_;     // the header being read, continuation lines joined
    bool base64_ = false;    // the header block being read announces base64

    uint32_t quantum_ = 0; // bits of the base64 characters of the current group
    int quantum_chars_ = 0;
    std::string decoded_; // decoded bytes not searched yet
    uint64_t part_offset_ = 0;
    std::unique_ptr<StreamScanner> part_; // searches the current part's decoded bytes
    size_t reported_ = 0;                 // matches of `part_` already passed on
};

} // namespace standin

// Turns what a scan found in one object into the reply the server sends for
// it: per-object lines, an optional cured copy, and the final verdict line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "standin/matcher.h"
#include "standin/protocol.h"
#include "standin/signatures.h"

namespace standin {

struct ReplyLine {
    int code = 0;
    std::string text;
};

struct ScanReply {
    std::vector<ReplyLine> object_lines; // sent as non-final lines, in order
    bool has_cured_copy = false;
    std::string cured_copy; // sent after a 312 line, behind the object lines
    ReplyLine verdict;      // the final line
};

// Builds the reply for an object named `object` (the path, or the digest of
// an upload) from the scanner's matches. Each signature found gets one line,
// in the order of its first occurrence, and its name is the line's first
// word: "<name> <object>".
//
// Verdict: 230 if an infection was found, else 232 if a suspicion was, else
// 233 if a warning was, else 220. When `cure` is set and an infection was
// found, the cure is tried on `content` (the object's bytes; null means none
// is possible): the matched bytes of every infection are overwritten with
// kNeutralByte. It fails, giving 231 with 322 lines, when a signature found is
// marked nocure, when nothing but blanks would remain of the object (it is the
// threat itself, such as the bare test file), or when the neutralised copy
// still matches an infection. Otherwise the infections are reported as 323
// lines, the copy follows, and the verdict is 221.
ScanReply build_scan_reply(const std::vector<Signature> &signatures,
                           const std::vector<Match> &matches, std::string_view object, bool cure,
                           const std::string *content);

// The reply for an object that could not be read: 241 and its name.
ScanReply unreadable_reply(std::string_view object);

} // namespace standin

// What the stand-in's protocol lines carry: the reply codes it answers with,
// the framing of one reply line, and the decimal numbers and digest texts that
// commands hold (the command line reads its numbers the same way).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace standin {

namespace code {
constexpr int kOk = 200; // NOOP, QUIT, ENV and the end of KEYS
constexpr int kGreeting = 201;
constexpr int kClean = 220;
constexpr int kCured = 221;
constexpr int kInfected = 230;
constexpr int kCureFailed = 231;
constexpr int kSuspicion = 232;
constexpr int kWarning = 233;
constexpr int kError = 241;
constexpr int kKeyRecord = 301; // not final: one line per key record
constexpr int kSendBytes = 310; // final: the client is to upload the object now
constexpr int kCuredCopy = 312; // not final: a cured copy follows the line
constexpr int kInfectedLine = 322;
constexpr int kCuredLine = 323;
constexpr int kWarningLine = 327;
constexpr int kSuspicionLine = 328;
constexpr int kOverloaded = 401;     // instead of the greeting, then the server hangs up
constexpr int kNotAllowed = 402;     // instead of the greeting, then the server hangs up
constexpr int kUnknownCommand = 500; // also a command line longer than the server takes
constexpr int kBadArguments = 501;
} // namespace code

// One reply line with its CR LF: the code, a blank when the line ends the
// reply or a '-' when more lines follow, and the text.
std::string reply_line(int code, bool final, std::string_view text);

// A decimal number of digits only (no sign, no blanks) of at most 20 digits
// and at most `max`.
bool parse_unsigned(std::string_view text, uint64_t max, uint64_t &value);

bool is_hex_digit(char c);

// An MD5 digest as a command carries it: 32 hexadecimal digits of either case.
bool is_digest(std::string_view text);

} // namespace standin

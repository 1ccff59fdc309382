#include "standin/session.h"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>

#include "standin/fingerprint.h"
#include "standin/matcher.h"
#include "standin/protocol.h"
#include "standin/scan_reply.h"
#include "standin/wire.h"

namespace standin {

namespace {

// Longest command line accepted, without its CR LF. The client's own limit is
// its send buffer; this only keeps a runaway peer from growing the buffer.
constexpr size_t kMaxCommandLine = 65536;
constexpr size_t kScanPiece = 65536;
constexpr unsigned kServerVersion = 1;
constexpr unsigned kProtocolVersion = 4;
// Most digits of an upload's size: any 19 digits fit in 64 bits.
constexpr size_t kMaxSizeDigits = 19;

// Sleeps rather than spins, so that a delayed connection holds no CPU.
void sleep_ms(unsigned milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Writes reply lines and raw bytes as the fault modes say.
class Replier {
  public:
    Replier(int fd, const ServerConfig &config) : fd_(fd), config_(config) {}

    bool line(int code, bool final, std::string_view text) {
        sleep_ms(config_.slow_ms);
        return put(reply_line(code, final, text));
    }

    bool raw(std::string_view bytes) { return put(bytes); }

    bool scan_reply(const ScanReply &reply) {
        for (const ReplyLine &object_line : reply.object_lines)
            if (!line(object_line.code, false, object_line.text)) return false;
        if (reply.has_cured_copy && !cured_copy(reply.cured_copy, md5_text(reply.cured_copy)))
            return false;
        return line(reply.verdict.code, true, reply.verdict.text);
    }

    bool cured_copy(std::string_view bytes, const std::string &digest) {
        return line(code::kCuredCopy, false, std::to_string(bytes.size()) + " " + digest) &&
               raw(bytes);
    }

  private:
    bool put(std::string_view bytes) {
        if (!config_.bytewise) return wire::write_all(fd_, bytes);
        for (char byte : bytes)
            if (!wire::write_all(fd_, &byte, 1)) return false;
        return true;
    }

    int fd_;
    const ServerConfig &config_;
};

enum class Next { Read, HangUp };

class Session {
  public:
    Session(int fd, const ServerConfig &config)
        : config_(config), reply_(fd, config), reader_(fd, kMaxCommandLine) {}

    void run() {
        if (config_.refuse == Refusal::Overloaded) {
            reply_.line(code::kOverloaded, true, "server is overloaded");
            return;
        }
        if (config_.refuse == Refusal::NotAllowed) {
            reply_.line(code::kNotAllowed, true, "client address is not allowed");
            return;
        }
        if (!reply_.line(code::kGreeting, true, greeting_text(config_))) return;

        uint64_t answered = 0;
        std::string line;
        while (!config_.close_after || answered < *config_.close_after) {
            wire::LineReader::Status status = reader_.read_line(line);
            if (status == wire::LineReader::Status::TooLong) {
                reply_.line(code::kUnknownCommand, true, "command line too long");
                return;
            }
            if (status != wire::LineReader::Status::Ok) return;
            if (handle(line) == Next::HangUp) return;
            ++answered;
        }
    }

  private:
    Next handle(std::string_view line) {
        size_t blank = line.find(' ');
        std::string_view verb = line.substr(0, blank);
        std::string_view rest = blank == std::string_view::npos ? "" : line.substr(blank + 1);

        bool written;
        if (verb == "SCAN") {
            written = scan(rest);
        } else if (verb == "NETSCAN") {
            return netscan(rest);
        } else if (verb == "KEYS") {
            written = keys();
        } else if (verb == "NOOP") {
            written = reply_.line(code::kOk, true, "OK");
        } else if (verb == "QUIT") {
            reply_.line(code::kOk, true, "bye");
            return Next::HangUp;
        } else if (verb == "ENV") {
            written = rest.empty() ? reply_.line(code::kBadArguments, true,
                                                 "ENV needs an operator and a text")
                                   : reply_.line(code::kOk, true, "OK");
        } else {
            written = reply_.line(code::kUnknownCommand, true, "unknown command");
        }
        return written ? Next::Read : Next::HangUp;
    }

    bool keys() {
        for (const std::string &key : config_.keys)
            if (!reply_.line(code::kKeyRecord, false, key)) return false;
        return reply_.line(code::kOk, true, std::to_string(config_.keys.size()) + " keys");
    }

    // "x<letters> <path>": the path is everything after the blank that ends
    // the letters, blanks included.
    bool scan(std::string_view arguments) {
        size_t blank = arguments.find(' ');
        if (arguments.empty() || arguments[0] != 'x' || blank == std::string_view::npos ||
            blank + 1 == arguments.size())
            return reply_.line(code::kBadArguments, true, "expected SCAN x<letters> <path>");
        std::string_view letters = arguments.substr(1, blank - 1);
        std::string path(arguments.substr(blank + 1));
        bool cure = letters.find('l') != std::string_view::npos;

        sleep_ms(config_.scan_delay_ms);
        if (config_.instant) return reply_.line(code::kClean, true, path);
        if (config_.serve_cured)
            return reply_.cured_copy(config_.cured_copy, config_.cured_digest) &&
                   reply_.line(code::kCured, true, path);

        StreamScanner scanner(config_.signatures);
        std::string content;
        FileScanStatus status = scan_file(path, scanner, kScanPiece, cure ? &content : nullptr);
        if (status != FileScanStatus::Ok) return reply_.scan_reply(unreadable_reply(path));
        return reply_.scan_reply(build_scan_reply(config_.signatures, scanner.matches(), path, cure,
                                                  cure ? &content : nullptr));
    }

    // "x<letters> <size> <digest>": asks for the bytes with a final 310,
    // reads exactly that many, then answers as SCAN does, naming the object
    // by its digest.
    Next netscan(std::string_view arguments) {
        std::vector<std::string_view> words;
        for (size_t at = 0; at <= arguments.size();) {
            size_t end = arguments.find(' ', at);
            if (end == std::string_view::npos) end = arguments.size();
            words.push_back(arguments.substr(at, end - at));
            at = end + 1;
        }
        uint64_t size = 0;
        if (words.size() != 3 || words[0].empty() || words[0][0] != 'x' ||
            words[1].size() > kMaxSizeDigits || !parse_unsigned(words[1], UINT64_MAX, size) ||
            !is_digest(words[2])) {
            bool written = reply_.line(code::kBadArguments, true,
                                       "expected NETSCAN x<letters> <size> <digest>");
            return written ? Next::Read : Next::HangUp;
        }
        bool cure = words[0].find('l') != std::string_view::npos;
        std::string digest(words[2]);

        if (!reply_.line(code::kSendBytes, true, "send " + std::to_string(size) + " bytes"))
            return Next::HangUp;
        // The benchmark modes drop the upload unseen, so that taking it costs little.
        bool unread = config_.instant || config_.serve_cured;
        bool keep = cure && !unread;
        StreamScanner scanner(config_.signatures);
        Fingerprint fingerprint;
        std::string content;
        auto take = [&](std::string_view piece) {
            scanner.feed(piece);
            fingerprint.add(piece);
            if (keep) content.append(piece);
        };
        wire::LineReader::Status status =
            unread ? reader_.skip(size) : reader_.read_exact(size, take);
        if (status != wire::LineReader::Status::Ok) return Next::HangUp;
        sleep_ms(config_.scan_delay_ms);

        bool written;
        if (config_.instant) {
            written = reply_.line(code::kClean, true, digest);
        } else if (config_.serve_cured) {
            written = reply_.cured_copy(config_.cured_copy, config_.cured_digest) &&
                      reply_.line(code::kCured, true, digest);
        } else if (!same_digest(fingerprint.finish(), digest)) {
            written = reply_.scan_reply(unreadable_reply(digest));
        } else {
            written = reply_.scan_reply(build_scan_reply(config_.signatures, scanner.matches(),
                                                         digest, cure, keep ? &content : nullptr));
        }
        return written ? Next::Read : Next::HangUp;
    }

    const ServerConfig &config_;
    Replier reply_;
    wire::LineReader reader_;
};

} // namespace

std::string greeting_text(const ServerConfig &config) {
    return std::to_string(kServerVersion) + " " + std::to_string(kProtocolVersion) + " " +
           std::to_string(config.signatures.size()) + " " + config.date + " " +
           std::to_string(config.records) + " " + config.tag;
}

void serve_connection(int fd, const ServerConfig &config) {
    Session(fd, config).run();
}

} // namespace standin

// Framing of the scanning protocol on stream sockets: writing a whole buffer
// without raising SIGPIPE, and cutting CR LF-ended lines and raw byte runs out
// of what a socket delivers. Shared by the stand-in server and test servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace wire {

// Writes every byte, retrying after interruptions and short writes. Uses
// send with MSG_NOSIGNAL, so a peer that has gone away gives false instead of
// a SIGPIPE.
bool write_all(int fd, const void *bytes, size_t length);
bool write_all(int fd, std::string_view bytes);

// Number of CR LF pairs in the bytes: the complete lines they hold.
size_t count_lines(std::string_view bytes);

enum class ReadStatus { Data, Closed, Failed };

// One read of at most `limit` bytes, appended to `buffer`; retried after an
// interruption.
ReadStatus read_some(int fd, std::string &buffer, size_t limit = 65536);

// Buffered reading of lines that end in CR LF (a CR or an LF alone is part of
// the line) and of raw byte runs between them, on a blocking socket.
class LineReader {
  public:
    enum class Status { Ok, Closed, Failed, TooLong, TimedOut };

    // A line longer than max_line bytes without its CR LF gives TooLong.
    explicit LineReader(int fd, size_t max_line = 65536) : fd_(fd), max_line_(max_line) {}

    // Bounds every wait for input; a negative value (the default) waits for
    // as long as it takes.
    void set_timeout_ms(int milliseconds) { timeout_ms_ = milliseconds; }

    // The next line without its CR LF.
    Status read_line(std::string &line);

    // Exactly `count` bytes, handed to `sink` piece by piece in order; bytes
    // already buffered come first.
    Status read_exact(uint64_t count, const std::function<void(std::string_view)> &sink);

    // Takes exactly `count` bytes and drops them: the buffered ones first,
    // then straight from the socket in large reads, which over TCP the
    // kernel drops without copying them.
    Status skip(uint64_t count);

    // Bytes received but not yet taken.
    std::string_view buffered() const { return std::string_view(buffer_).substr(start_); }

  private:
    Status wait();
    Status fill();
    void consume(size_t count);

    int fd_;
    size_t max_line_;
    int timeout_ms_ = -1;
    std::string buffer_;
    size_t start_ = 0; // first byte not yet taken
};

} // namespace wire

#include "standin/wire.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wire {

namespace {

constexpr size_t kReadChunk = 65536;
constexpr size_t kSkipChunk = 1 << 20;

} // namespace

bool write_all(int fd, const void *bytes, size_t length) {
    const char *at = static_cast<const char *>(bytes);
    while (length > 0) {
        ssize_t n = ::send(fd, at, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, std::string_view bytes) {
    return write_all(fd, bytes.data(), bytes.size());
}

size_t count_lines(std::string_view bytes) {
    size_t lines = 0;
    for (size_t at = bytes.find("\r\n"); at != std::string_view::npos;
         at = bytes.find("\r\n", at + 2))
        ++lines;
    return lines;
}

ReadStatus read_some(int fd, std::string &buffer, size_t limit) {
    size_t old_size = buffer.size();
    buffer.resize(old_size + limit);
    ssize_t n;
    do {
        n = ::read(fd, buffer.data() + old_size, limit);
    } while (n < 0 && errno == EINTR);
    buffer.resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) return ReadStatus::Data;
    return n == 0 ? ReadStatus::Closed : ReadStatus::Failed;
}

LineReader::Status LineReader::wait() {
    if (timeout_ms_ < 0) return Status::Ok;
    pollfd ready = {fd_, POLLIN, 0};
    int n;
    do {
        n = ::poll(&ready, 1, timeout_ms_);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Status::Failed;
    return n == 0 ? Status::TimedOut : Status::Ok;
}

LineReader::Status LineReader::fill() {
    if (Status status = wait(); status != Status::Ok) return status;
    // Taken bytes are dropped only when more room is needed, so that a burst
    // of short lines costs one move, not one per line.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    switch (read_some(fd_, buffer_, kReadChunk)) {
    case ReadStatus::Data:
        return Status::Ok;
    case ReadStatus::Closed:
        return Status::Closed;
    case ReadStatus::Failed:
        break;
    }
    return Status::Failed;
}

void LineReader::consume(size_t count) {
    start_ += count;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
}

LineReader::Status LineReader::read_line(std::string &line) {
    size_t searched = start_; // no CR LF begins before this index
    for (;;) {
        size_t end = buffer_.find("\r\n", searched);
        if (end != std::string::npos) {
            if (end - start_ > max_line_) return Status::TooLong;
            line.assign(buffer_, start_, end - start_);
            consume(end - start_ + 2);
            return Status::Ok;
        }
        // Longer than a line may be, unless the last byte is the CR of a
        // line of exactly max_line_ bytes.
        size_t held = buffer_.size() - start_;
        if (held > max_line_ + 1 || (held == max_line_ + 1 && buffer_.back() != '\r'))
            return Status::TooLong;
        // A CR at the very end may still be followed by its LF.
        size_t rescan_from = held > 0 ? held - 1 : 0;
        Status status = fill();
        if (status != Status::Ok) return status;
        searched = start_ + rescan_from;
    }
}

LineReader::Status LineReader::read_exact(uint64_t count,
                                          const std::function<void(std::string_view)> &sink) {
    while (count > 0) {
        if (start_ == buffer_.size()) {
            Status status = fill();
            if (status != Status::Ok) return status;
        }
        auto take = static_cast<size_t>(std::min<uint64_t>(count, buffer_.size() - start_));
        sink(std::string_view(buffer_).substr(start_, take));
        consume(take);
        count -= take;
    }
    return Status::Ok;
}

LineReader::Status LineReader::skip(uint64_t count) {
    auto held = static_cast<size_t>(std::min<uint64_t>(count, buffer_.size() - start_));
    consume(held);
    count -= held;
    // Never written over TCP, so its pages are never touched.
    const auto piece = static_cast<size_t>(std::min<uint64_t>(count, kSkipChunk));
    std::unique_ptr<char[]> dropped(new char[piece]);
    while (count > 0) {
        if (Status status = wait(); status != Status::Ok) return status;
        auto want = static_cast<size_t>(std::min<uint64_t>(count, piece));
        ssize_t n = ::recv(fd_, dropped.get(), want, MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? Status::Closed : Status::Failed;
        count -= static_cast<uint64_t>(n);
    }
    return Status::Ok;
}

} // namespace wire

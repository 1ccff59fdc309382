#include "raw_client.h"

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

RawClient::RawClient(const std::string &socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) return;
    socket_path.copy(address.sun_path, socket_path.size());
    // Connects without waiting: a full listen queue fails at once instead of
    // holding the test. The connected socket blocks.
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ >= 0 && (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
                     fcntl(fd_, F_SETFL, 0) != 0))
        close();
    reader_ = wire::LineReader(fd_);
}

RawClient::RawClient(uint16_t tcp_port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(tcp_port);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        close();
    reader_ = wire::LineReader(fd_);
}

RawClient::~RawClient() {
    close();
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::send(std::string_view bytes) {
    return fd_ >= 0 && wire::write_all(fd_, bytes);
}

void RawClient::end_sending() {
    if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

std::optional<std::string> RawClient::line(int timeout_ms) {
    if (fd_ < 0) return std::nullopt;
    reader_.set_timeout_ms(timeout_ms);
    std::string text;
    if (reader_.read_line(text) != wire::LineReader::Status::Ok) return std::nullopt;
    return text;
}

Reply RawClient::reply(int timeout_ms) {
    Reply reply;
    while (std::optional<std::string> text = line(timeout_ms)) {
        reply.lines.push_back(*text);
        if (text->size() >= 4 && (*text)[3] == ' ') {
            reply.complete = true;
            break;
        }
        size_t size = 0;
        char digest[33] = {};
        if (text->rfind("312", 0) == 0 && text->size() > 4 &&
            std::sscanf(text->c_str() + 4, "%zu %32s", &size, digest) == 2) {
            reader_.set_timeout_ms(timeout_ms);
            auto status = reader_.read_exact(
                size, [&](std::string_view piece) { reply.cured_copy.append(piece); });
            if (status != wire::LineReader::Status::Ok) break;
        }
    }
    return reply;
}

Reply RawClient::command(std::string_view text, int timeout_ms) {
    if (!send(std::string(text) + "\r\n")) return {};
    return reply(timeout_ms);
}

bool RawClient::hung_up(int timeout_ms) {
    if (fd_ < 0) return false;
    reader_.set_timeout_ms(timeout_ms);
    std::string text;
    return reader_.read_line(text) == wire::LineReader::Status::Closed &&
           reader_.buffered().empty();
}

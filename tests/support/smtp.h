// A small SMTP client for tests against a real mail server on loopback, and a
// free TCP port for a server that a test starts. Every read is bounded.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ports.h"

class SmtpClient {
  public:
    // Connects to 127.0.0.1:port and reads the greeting.
    explicit SmtpClient(uint16_t port, int timeout_ms = 5000) : timeout_ms_(timeout_ms) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            greeting_ = reply();
    }
    ~SmtpClient() {
        if (fd_ >= 0) close(fd_);
    }
    SmtpClient(const SmtpClient &) = delete;
    SmtpClient &operator=(const SmtpClient &) = delete;

    const std::string &greeting() const { return greeting_; }

    // Sends one line (CR LF added) and returns the whole reply, "" when
    // none came in time.
    std::string command(const std::string &line) {
        const std::string bytes = line + "\r\n";
        if (send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size()))
            return "";
        return reply();
    }

    // MAIL, RCPT and DATA for one message (`data` with CR LF lines, no final
    // dot); the reply to the first command refused, or to the end of DATA.
    std::string send_mail(const std::string &from, const std::vector<std::string> &to,
                          const std::string &data) {
        std::string answer = command("MAIL FROM:<" + from + ">");
        if (answer.rfind("250", 0) != 0) return answer;
        for (const std::string &recipient : to) {
            answer = command("RCPT TO:<" + recipient + ">");
            if (answer.rfind("250", 0) != 0) return answer;
        }
        answer = command("DATA");
        if (answer.rfind("354", 0) != 0) return answer;
        return command(data + ".");
    }

  private:
    // Lines up to one whose code is followed by a blank.
    std::string reply() {
        std::string text;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
        for (;;) {
            size_t start = 0;
            for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
                if (end - start >= 4 && text[start + 3] == ' ') return text.substr(0, end + 2);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd ready = {fd_, POLLIN, 0};
            if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return "";
            char buffer[4096];
            ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0) return "";
            text.append(buffer, static_cast<size_t>(got));
        }
    }

    int fd_ = -1;
    int timeout_ms_;
    std::string greeting_;
};

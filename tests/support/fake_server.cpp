#include "fake_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "standin/wire.h"

namespace {

// Bound of every wait of the server: a broken client never hangs a test.
constexpr int kWaitLimitMs = 5000;

} // namespace

FakeServer::FakeServer(Transport transport, uint16_t port) : transport_(transport) {
    if (pipe(stop_pipe_) != 0) throw std::runtime_error("pipe failed");
    if (transport_ == Transport::Unix) {
        char pattern[] = "/tmp/orva-fake-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory_ = pattern;
        path_ = directory_ + "/server.sock";
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("bind failed");
    } else {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        int reuse = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("bind failed");
        socklen_t length = sizeof address;
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    if (listen(listen_fd_, 8) != 0) throw std::runtime_error("listen failed");
}

FakeServer::~FakeServer() {
    if (thread_.joinable()) {
        char stop = 1;
        (void)!write(stop_pipe_[1], &stop, 1);
        thread_.join();
    }
    if (listen_fd_ >= 0) close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    if (!path_.empty()) unlink(path_.c_str());
    if (!directory_.empty()) rmdir(directory_.c_str());
}

FakeServer &FakeServer::send(std::string bytes) {
    steps_.push_back({Step::Kind::Send, std::move(bytes)});
    return *this;
}

FakeServer &FakeServer::expect_line() {
    steps_.push_back({Step::Kind::ExpectLine, {}});
    return *this;
}

FakeServer &FakeServer::expect_bytes(size_t n) {
    steps_.push_back({Step::Kind::ExpectBytes, {}, n});
    return *this;
}

FakeServer &FakeServer::pause(int milliseconds) {
    steps_.push_back({Step::Kind::Pause, {}, static_cast<size_t>(milliseconds)});
    return *this;
}

FakeServer &FakeServer::close_now() {
    steps_.push_back({Step::Kind::Close, {}});
    return *this;
}

FakeServer &FakeServer::shutdown_reading() {
    steps_.push_back({Step::Kind::ShutdownRead, {}});
    return *this;
}

FakeServer &FakeServer::call(std::function<void()> action) {
    steps_.push_back({Step::Kind::Call, {}, 0, std::move(action)});
    return *this;
}

std::string FakeServer::greeting(const std::string &date, unsigned records,
                                 const std::string &tag) {
    return "201 11 4 22 " + date + " " + std::to_string(records) + " " + tag + "\r\n";
}

void FakeServer::start() {
    thread_ = std::thread([this] { run(); });
}

std::string FakeServer::received() {
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string FakeServer::received_so_far() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string FakeServer::address() const {
    if (transport_ == Transport::Unix) return path_;
    return "127.0.0.1:" + std::to_string(port_);
}

// Reads what is there, waiting at most timeout_ms. False at end of input, on
// a stop request or when the time ran out.
bool FakeServer::read_more(int fd, int timeout_ms) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    int ready = poll(fds, 2, timeout_ms);
    if (ready <= 0 || (fds[1].revents & POLLIN) != 0) return false;
    std::string piece;
    if (wire::read_some(fd, piece) != wire::ReadStatus::Data) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += piece;
    return true;
}

bool FakeServer::wait_until(int fd, size_t bytes_wanted, bool line_wanted) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (line_wanted ? wire::count_lines(received_) >= lines_expected_
                            : received_.size() >= bytes_wanted)
                return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !read_more(fd, static_cast<int>(left))) return false;
    }
}

void FakeServer::run() {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, kWaitLimitMs) <= 0 || (fds[0].revents & POLLIN) == 0) return;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;

    bool open = true;
    for (const Step &step : steps_) {
        switch (step.kind) {
        case Step::Kind::Send:
            // A client that went away shows in the test's own checks.
            wire::write_all(fd, step.bytes);
            break;
        case Step::Kind::ExpectLine:
            ++lines_expected_;
            wait_until(fd, 0, true);
            break;
        case Step::Kind::ExpectBytes: {
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_expected_ += step.count;
        }
            wait_until(fd, bytes_expected_, false);
            break;
        case Step::Kind::Pause: {
            auto end = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<int>(step.count));
            for (;;) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                end - std::chrono::steady_clock::now())
                                .count();
                if (left <= 0) break;
                pollfd waits[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
                int ready = poll(waits, 2, static_cast<int>(left));
                if (ready == 0) continue;
                std::string piece;
                // Stopped, or the client is gone: the script ends.
                if (ready < 0 || (waits[1].revents & POLLIN) != 0 ||
                    wire::read_some(fd, piece) != wire::ReadStatus::Data) {
                    open = false;
                    break;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                received_ += piece;
            }
            break;
        }
        case Step::Kind::Close:
            open = false;
            break;
        case Step::Kind::ShutdownRead:
            shutdown(fd, SHUT_RD);
            break;
        case Step::Kind::Call:
            step.action();
            break;
        }
        if (!open) break;
    }

    if (open) {
        // Stay silent and keep recording until the client closes.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
        while (std::chrono::steady_clock::now() < deadline && read_more(fd, kWaitLimitMs)) {
        }
    }
    close(fd);
}

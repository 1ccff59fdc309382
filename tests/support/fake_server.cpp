#include "fake_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
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
    } else if (transport_ == Transport::Tcp6) {
        listen_fd_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(port);
        if (listen_fd_ < 0 ||
            bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            if (listen_fd_ >= 0) close(listen_fd_);
            close(stop_pipe_[0]);
            close(stop_pipe_[1]);
            throw std::runtime_error("no IPv6 loopback address");
        }
        socklen_t length = sizeof address;
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin6_port);
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
    scripts_.back().push_back({Step::Kind::Send, std::move(bytes)});
    return *this;
}

FakeServer &FakeServer::expect_line() {
    scripts_.back().push_back({Step::Kind::ExpectLine, {}});
    return *this;
}

FakeServer &FakeServer::expect_bytes(size_t n) {
    scripts_.back().push_back({Step::Kind::ExpectBytes, {}, n});
    return *this;
}

FakeServer &FakeServer::pause(int milliseconds) {
    scripts_.back().push_back({Step::Kind::Pause, {}, static_cast<size_t>(milliseconds)});
    return *this;
}

FakeServer &FakeServer::close_now() {
    scripts_.back().push_back({Step::Kind::Close, {}});
    return *this;
}

FakeServer &FakeServer::shutdown_reading() {
    scripts_.back().push_back({Step::Kind::ShutdownRead, {}});
    return *this;
}

FakeServer &FakeServer::call(std::function<void()> action) {
    scripts_.back().push_back({Step::Kind::Call, {}, 0, std::move(action)});
    return *this;
}

FakeServer &FakeServer::next_client() {
    scripts_.emplace_back();
    received_.emplace_back();
    return *this;
}

std::string FakeServer::greeting(const std::string &date, unsigned records,
                                 const std::string &tag) {
    return "201 11 4 22 " + date + " " + std::to_string(records) + " " + tag + "\r\n";
}

void FakeServer::start() {
    // The server's threads take no signals: those that a test raises (timers
    // interrupting the client's waits) go to the client's thread, and never
    // cut short a wait of the script.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::string FakeServer::received(size_t client) {
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.at(client);
}

std::string FakeServer::received_so_far() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_[0];
}

std::string FakeServer::address() const {
    if (transport_ == Transport::Unix) return path_;
    if (transport_ == Transport::Tcp6) return "[::1]:" + std::to_string(port_);
    return "127.0.0.1:" + std::to_string(port_);
}

// Reads what is there, waiting at most timeout_ms. False at end of input, on
// a stop request or when the time ran out.
bool FakeServer::read_more(size_t client, int fd, int timeout_ms) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    int ready = poll(fds, 2, timeout_ms);
    if (ready <= 0 || (fds[1].revents & POLLIN) != 0) return false;
    std::string piece;
    if (wire::read_some(fd, piece) != wire::ReadStatus::Data) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    received_[client] += piece;
    return true;
}

// Waits until the client has sent `bytes_wanted` bytes, or with a non-zero
// `lines_wanted` that many lines.
bool FakeServer::wait_until(size_t client, int fd, size_t bytes_wanted, size_t lines_wanted) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string &got = received_[client];
            if (lines_wanted > 0 ? wire::count_lines(got) >= lines_wanted
                                 : got.size() >= bytes_wanted)
                return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !read_more(client, fd, static_cast<int>(left))) return false;
    }
}

// Accepts the clients in turn and plays each its script in a thread of its
// own.
void FakeServer::run() {
    std::vector<std::thread> clients;
    for (size_t client = 0; client < scripts_.size(); ++client) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, kWaitLimitMs) <= 0 || (fds[0].revents & POLLIN) == 0) break;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) break;
        clients.emplace_back([this, client, fd] { play(client, fd); });
    }
    for (std::thread &client : clients)
        client.join();
}

void FakeServer::play(size_t client, int fd) {
    size_t lines_expected = 0;
    size_t bytes_expected = 0;
    bool open = true;
    for (const Step &step : scripts_[client]) {
        switch (step.kind) {
        case Step::Kind::Send:
            // A client that went away shows in the test's own checks.
            wire::write_all(fd, step.bytes);
            break;
        case Step::Kind::ExpectLine:
            wait_until(client, fd, 0, ++lines_expected);
            break;
        case Step::Kind::ExpectBytes:
            bytes_expected += step.count;
            wait_until(client, fd, bytes_expected, 0);
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
                received_[client] += piece;
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
        while (std::chrono::steady_clock::now() < deadline && read_more(client, fd, kWaitLimitMs)) {
        }
    }
    close(fd);
}

#include "standin_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string make_folder() {
    char pattern[] = "/tmp/standin-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

bool has_option(const std::vector<std::string> &options, const std::string &name) {
    for (const std::string &option : options)
        if (option == name || option.rfind(name + "=", 0) == 0) return true;
    return false;
}

int milliseconds_left(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

StandinProcess::StandinProcess(std::vector<std::string> options, bool unix_socket)
    : folder_(make_folder()) {
    std::vector<std::string> argv = {"orvaserver-standin"};
    if (unix_socket) {
        socket_path_ = folder_ + "/standin.sock";
        argv.push_back("--socket");
        argv.push_back(socket_path_);
    }
    argv.insert(argv.end(), options.begin(), options.end());
    const bool tcp = has_option(options, "--tcp");

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::string error_path = folder_ + "/server.err";
    std::vector<char *> args;
    for (std::string &arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        int err = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out[1], 1);
        if (err >= 0) dup2(err, 2);
        execv(STANDIN_BINARY, args.data());
        _exit(127);
    }
    close(out[1]);
    stdout_fd_ = out[0];
    if (pid_ < 0) return;

    // Ready when the socket exists and, with TCP, the port has been printed.
    auto deadline = Clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    std::string printed;
    bool port_known = !tcp;
    while (Clock::now() < deadline) {
        if (!port_known) {
            pollfd ready = {stdout_fd_, POLLIN, 0};
            if (poll(&ready, 1, std::min(milliseconds_left(deadline), 20)) > 0) {
                char buffer[256];
                ssize_t n = read(stdout_fd_, buffer, sizeof buffer);
                if (n <= 0) break; // it exited
                printed.append(buffer, static_cast<size_t>(n));
                unsigned port = 0;
                if (printed.find('\n') != std::string::npos &&
                    std::sscanf(printed.c_str(), "tcp-port %u", &port) == 1) {
                    tcp_port_ = static_cast<uint16_t>(port);
                    port_known = true;
                }
            }
        }
        struct stat info {};
        bool socket_there = !unix_socket || stat(socket_path_.c_str(), &info) == 0;
        if (port_known && socket_there) {
            started_ = true;
            return;
        }
        if (!running()) return;
        if (port_known) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

StandinProcess::~StandinProcess() {
    if (pid_ > 0 && running()) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (stdout_fd_ >= 0) close(stdout_fd_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool StandinProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) return true;
    pid_ = -1;
    return false;
}

int StandinProcess::stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    auto deadline = Clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (Clock::now() < deadline) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1; // the destructor kills it
}

void StandinProcess::freeze(bool frozen) {
    if (pid_ > 0) kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

std::string StandinProcess::error_output() const {
    return read_file(folder_ + "/server.err");
}

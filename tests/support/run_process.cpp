#include "run_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::vector<char *> exec_arguments(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    return args;
}

ProcessResult run_process(const std::string &program, const std::vector<std::string> &argv,
                          const ProcessOptions &options) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return result;

    std::vector<char *> args = exec_arguments(argv);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGPIPE, SIG_DFL);
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0)
            _exit(126);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    size_t written = 0;
    if (options.input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                         {err_open ? err[0] : -1, POLLIN, 0},
                         {in[1], POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                (i == 0 ? out_open : err_open) = false;
            }
        }
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            ssize_t n =
                write(in[1], options.input.data() + written, options.input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == options.input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::string &program,
                                     const std::vector<std::string> &argv,
                                     const std::string &output_path, const std::string &error_path,
                                     int passed_fd) {
    std::vector<char *> args = exec_arguments(argv);
    pid_ = fork();
    if (pid_ == 0) {
        // Descriptor 3 first, so that the files opened next cannot take it.
        int kept = -1;
        if (passed_fd >= 0) {
            kept = 3;
            if ((passed_fd == 3 ? fcntl(3, F_SETFD, 0) : dup2(passed_fd, 3)) < 0) _exit(126);
        }
        int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err =
            error_path.empty() ? out : open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int null = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || null < 0) _exit(126);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd : {null, out, err})
            if (fd > 2 && fd != kept) close(fd);
        execv(program.c_str(), args.data());
        _exit(127);
    }
}

BackgroundProcess::~BackgroundProcess() {
    if (running()) stop(SIGKILL);
}

bool BackgroundProcess::running() {
    if (pid_ <= 0) return false;
    if (waitpid(pid_, nullptr, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
}

int BackgroundProcess::stop(int signal, int timeout_ms) {
    if (pid_ <= 0) return -1;
    if (signal != 0) kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return -1;
}

#include "peak_memory.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_process.h"
#include "temp_dir.h"

PeakMemoryRun run_measuring_memory(const std::string &program, const std::vector<std::string> &argv,
                                   const std::string &working_directory, const std::string &input,
                                   size_t lines, int timeout_ms) {
    PeakMemoryRun result;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return result;
    std::vector<char *> args = exec_arguments(argv);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || chdir(working_directory.c_str()) != 0) _exit(126);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(null, 2);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
         in[1] >= 0 && std::chrono::steady_clock::now() < end;) {
        if (static_cast<size_t>(std::count(result.out.begin(), result.out.end(), '\n')) >= lines) {
            std::string status = TempDir::read("/proc/" + std::to_string(pid) + "/status");
            size_t at = status.find("VmHWM:");
            if (at != std::string::npos) result.peak_kib = std::atol(status.c_str() + at + 6);
            break;
        }
        short want_out = written < input.size() ? POLLOUT : 0;
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], want_out, 0}};
        poll(fds, 2, 100);
        char buffer[65536];
        ssize_t n =
            (fds[0].revents & (POLLIN | POLLHUP)) != 0 ? read(out[0], buffer, sizeof buffer) : 0;
        if (n > 0) result.out.append(buffer, static_cast<size_t>(n));
        if ((fds[0].revents & POLLHUP) != 0 && n <= 0) break; // it ended before
        if ((fds[1].revents & POLLOUT) != 0) {
            n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
        }
    }
    close(in[1]);
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) kill(pid, SIGKILL);
        poll(nullptr, 0, 5);
    }
    close(out[0]);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

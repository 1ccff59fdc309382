// The built stand-in server run as a child process for a test: in a fresh
// temporary folder, with bounded waits for it to come up and to go away, and
// killed if a test leaves it running.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "support/temp_dir.h"

// Every wait of the end-to-end tests is bounded by this.
constexpr int kWaitLimitMs = 5000;

class StandinProcess {
  public:
    // Starts STANDIN_BINARY with `--socket <folder>/standin.sock` (unless
    // `unix_socket` is false) followed by `options`, and waits until it
    // accepts connections: until the socket exists, and with --tcp until the
    // port has been printed.
    explicit StandinProcess(std::vector<std::string> options = {}, bool unix_socket = true);
    ~StandinProcess();
    StandinProcess(const StandinProcess &) = delete;
    StandinProcess &operator=(const StandinProcess &) = delete;

    bool started() const { return started_; }
    const std::string &socket_path() const { return socket_path_; }
    const std::string &folder() const { return folder_; }
    uint16_t tcp_port() const { return tcp_port_; }
    pid_t pid() const { return pid_; }

    // Sends the signal and waits for the process to end; its exit status, or
    // -1 when it did not exit normally within the bound.
    int stop(int signal = SIGTERM);
    bool running();
    // Stops the process (SIGSTOP) or lets it go on (SIGCONT). While it is
    // stopped it accepts nothing: connections wait in its listen queue.
    void freeze(bool frozen = true);

    // What the server wrote on standard error so far.
    std::string error_output() const;

  private:
    std::string folder_;
    std::string socket_path_;
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    bool started_ = false;
    uint16_t tcp_port_ = 0;
};

// A private folder for a test's files, removed with its contents at the end.
using TestFolder = TempDir;

inline std::string read_file(const std::string &path) {
    return TempDir::read(path);
}

// A scriptable stand-in for the scanning server, for tests: it listens on a
// Unix socket in a temporary directory or on a loopback TCP port, plays a
// script of sends, waits and closes against one client, and records every
// byte the client sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeServer {
  public:
    enum class Transport { Unix, Tcp };

    // A TCP server listens on the given port, or on a free one when 0.
    explicit FakeServer(Transport transport = Transport::Unix, uint16_t port = 0);
    ~FakeServer();
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    // Script steps, played in order once a client has connected.
    // One write. Where the client's reads split it is the test's to choose
    // (faults::split_reads), never the timing of writes.
    FakeServer &send(std::string bytes);
    FakeServer &expect_line();          // wait for one more CR LF-ended line
    FakeServer &expect_bytes(size_t n); // wait for n more bytes
    // Sends nothing for a while, recording what arrives; a client that closes
    // ends the script at once.
    FakeServer &pause(int milliseconds);
    FakeServer &close_now();        // close the connection; the script ends
    FakeServer &shutdown_reading(); // the client's writes fail from now on
    // Runs `action` in the server's thread at this point of the script, for
    // example to look at a file that the client named.
    FakeServer &call(std::function<void()> action);

    // The greeting of a ready server with the given database fields.
    static std::string greeting(const std::string &date = "05032004", unsigned records = 123456,
                                const std::string &tag = "standin");

    // Starts listening for one client in a background thread. After the
    // script the server keeps reading (and stays silent) until the client
    // closes, for at most a few seconds.
    void start();

    // Waits until the script and the final read are over, then returns every
    // byte received.
    std::string received();
    // What has arrived so far, without waiting; for use inside call().
    std::string received_so_far();

    std::string address() const; // socket path, or "127.0.0.1:port"
    const std::string &path() const { return path_; }
    uint16_t port() const { return port_; }
    const std::string &directory() const { return directory_; }

  private:
    struct Step {
        enum class Kind { Send, ExpectLine, ExpectBytes, Pause, Close, ShutdownRead, Call } kind;
        std::string bytes;
        size_t count = 0;
        std::function<void()> action = {};
    };

    void run();
    bool read_more(int fd, int timeout_ms);
    bool wait_until(int fd, size_t bytes_wanted, bool line_wanted);

    Transport transport_;
    std::string directory_;
    std::string path_;
    uint16_t port_ = 0;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::vector<Step> steps_;
    std::thread thread_;
    std::mutex mutex_;
    std::string received_;
    size_t lines_expected_ = 0;
    size_t bytes_expected_ = 0;
};

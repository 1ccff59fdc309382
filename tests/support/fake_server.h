// A scriptable stand-in for the scanning server, for tests: it listens on a
// Unix socket in a temporary directory or on a loopback TCP port, plays a
// script of sends, waits and closes against one client (or one script to
// each of several clients), and records every byte each client sends.
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
    // Tcp6 listens on the IPv6 loopback address ::1; the constructor throws
    // where it has none.
    enum class Transport { Unix, Tcp, Tcp6 };

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
    // Ends the script of one client: the steps that follow are played to the
    // next client that connects, while the earlier clients' scripts go on.
    FakeServer &next_client();

    // The greeting of a ready server with the given database fields.
    static std::string greeting(const std::string &date = "05032004", unsigned records = 123456,
                                const std::string &tag = "standin");

    // Starts listening for the clients in a background thread. After its
    // script the server keeps reading (and stays silent) until the client
    // closes, for at most a few seconds.
    void start();

    // Waits until every script and its final read are over, then returns
    // every byte that the client'th client sent.
    std::string received(size_t client = 0);
    // What the first client has sent so far, without waiting; for use inside
    // call().
    std::string received_so_far();

    std::string address() const; // socket path, "127.0.0.1:port" or "[::1]:port"
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
    void play(size_t client, int fd);
    bool read_more(size_t client, int fd, int timeout_ms);
    bool wait_until(size_t client, int fd, size_t bytes_wanted, size_t lines_wanted);

    Transport transport_;
    std::string directory_;
    std::string path_;
    uint16_t port_ = 0;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::vector<std::vector<Step>> scripts_{1}; // one per client, in the order they connect
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> received_{1};
};

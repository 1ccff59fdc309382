// The example HAProxy configuration, run for real in front of two stand-in
// servers: its health check keeps a server that does not greet 201 out, and
// a tree scan on four connections through it, with one server stopped half
// way, gives every file one result line and the output of a scan against
// one server.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "standin/signatures.h"
#include "standin_process.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(10);

std::string haproxy_program() {
    for (const char *path : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

// Replaces the first `from` in `text`; false when it is not there.
bool replace(std::string &text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    if (at == std::string::npos) return false;
    text.replace(at, from.size(), to);
    return true;
}

// A program started with its standard output and error in files and, as
// descriptor 3, `passed` (when not -1); killed if the test leaves it running.
class Child {
  public:
    Child(const std::string &program, std::vector<std::string> argv, const std::string &out,
          const std::string &err, int passed = -1) {
        std::vector<char *> args;
        for (std::string &arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (passed >= 0) dup2(passed, 3);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            execv(program.c_str(), args.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0) stop(SIGKILL);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() { return pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == 0; }

    // Waits, at most the bound, for the end: the exit status, or -1.
    int wait(std::chrono::milliseconds bound = kBound) {
        for (auto end = Clock::now() + bound; pid_ > 0;) {
            pid_t done = waitpid(pid_, &status_, WNOHANG);
            if (done == pid_ || done < 0) {
                pid_ = -1;
                break;
            }
            if (Clock::now() >= end) return -1;
            poll(nullptr, 0, 10);
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    int stop(int signal = SIGTERM) {
        if (pid_ > 0) kill(pid_, signal);
        int status = wait(std::chrono::seconds(5));
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        return status;
    }

  private:
    pid_t pid_ = -1;
    int status_ = 0;
};

// A loopback TCP socket bound to a port of the system's choice, for the
// balancer to take as its listener.
int bound_socket(uint16_t &port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

// One server's line of the balancer's statistics: its status and the
// number of connections it has been given.
struct ServerStat {
    std::string status;
    long connections = 0;
};

// "show stat" on the balancer's administration socket, by server name.
std::map<std::string, ServerStat> balancer_stats(const std::string &socket_path) {
    std::map<std::string, ServerStat> servers;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return servers;
    }
    std::string text;
    if (write(fd, "show stat\n", 10) == 10) {
        char buffer[4096];
        pollfd ready = {fd, POLLIN, 0};
        ssize_t n;
        while (poll(&ready, 1, 2000) == 1 && (n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');)
            fields.push_back(cell);
        // pxname, svname, ..., stot (8th), ..., status (18th)
        if (fields.size() > 17 && fields[0] == "scanners")
            servers[fields[1]] = {fields[17], std::atol(fields[7].c_str())};
    }
    return servers;
}

// Waits, at most the bound, until `ready` holds.
template <typename Condition> bool eventually(Condition ready) {
    for (auto end = Clock::now() + kBound; !ready();) {
        if (Clock::now() >= end) return false;
        poll(nullptr, 0, 20);
    }
    return true;
}

size_t count_lines(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(Balancer, ATreeScanThroughHAProxyOutlivesAServerStoppedHalfWay) {
    std::string haproxy = haproxy_program();
    if (haproxy.empty()) GTEST_SKIP() << "haproxy is not installed (apt-get install haproxy)";

    // Each scan takes a while, so that the run is still going when a
    // server is stopped.
    StandinProcess first({"--tcp", "0", "--scan-delay", "10"});
    StandinProcess second({"--tcp", "0", "--scan-delay", "10"});
    StandinProcess refusing({"--tcp", "0", "--refuse", "overloaded"});
    ASSERT_TRUE(first.started() && second.started() && refusing.started());

    // The example configuration with this test's addresses: its own global
    // section (no chroot, no user, an administration socket here), the
    // listener handed over as descriptor 3, quicker checks, and a third
    // server that greets 401.
    TempDir work;
    std::string config = TempDir::read(EXAMPLE_HAPROXY_CONFIG);
    size_t global = config.find("\nglobal\n"), defaults = config.find("\ndefaults\n");
    ASSERT_TRUE(global != std::string::npos && defaults != std::string::npos);
    std::string admin = work / "admin.sock";
    config.replace(global + 1, defaults - global,
                   "global\n    stats socket " + admin + " mode 600 level admin\n");
    auto server_line = [](const char *name, uint16_t port) {
        return std::string("server ") + name + " 127.0.0.1:" + std::to_string(port) + " check";
    };
    ASSERT_TRUE(replace(config, "bind :9001", "bind fd@3"));
    ASSERT_TRUE(replace(config, "inter 2s", "inter 100ms"));
    ASSERT_TRUE(replace(config, "server scanner1 192.0.2.11:9001 check",
                        server_line("scanner1", first.tcp_port())));
    ASSERT_TRUE(replace(config, "server scanner2 192.0.2.12:9001 check",
                        server_line("scanner2", second.tcp_port()) + "\n    " +
                            server_line("refusing", refusing.tcp_port())));
    std::string config_path = TempDir::write_file(work / "haproxy.cfg", config);

    uint16_t port = 0;
    int listener = bound_socket(port);
    ASSERT_GE(listener, 0);
    Child balancer(haproxy, {"haproxy", "-db", "-f", config_path}, work / "haproxy.out",
                   work / "haproxy.err", listener);
    close(listener);
    ASSERT_TRUE(eventually([&] {
        auto stats = balancer_stats(admin);
        return stats["scanner1"].status == "UP" && stats["scanner2"].status == "UP" &&
               stats["refusing"].status == "DOWN";
    })) << "the health checks did not settle: "
        << TempDir::read(work / "haproxy.err");

    // A tree of files, some of them infected.
    TempDir tree;
    constexpr int kFiles = 240;
    for (int i = 0; i < kFiles; ++i) {
        std::string folder = tree / ("d" + std::to_string(i % 4));
        mkdir(folder.c_str(), 0700);
        TempDir::write_file(folder + "/f" + std::to_string(i),
                            i % 7 == 0 ? "x " + standin::test_file_bytes()
                                       : "clean " + std::to_string(i));
    }
    auto scan_through = [&](uint16_t at) {
        return std::vector<std::string>{"orvaclient", "-t",       "127.0.0.1:" + std::to_string(at),
                                        "-s",         "-r",       "-j",
                                        "4",          tree.path()};
    };

    std::string out = work / "scan.out", err = work / "scan.err";
    Child client(ORVACLIENT_BINARY, scan_through(port), out, err);
    ASSERT_TRUE(eventually([&] { return count_lines(TempDir::read(out)) >= kFiles / 4; }));
    EXPECT_EQ(first.stop(), 0);
    size_t printed_at_stop = count_lines(TempDir::read(out));
    int status = client.wait();
    std::string output = TempDir::read(out);
    EXPECT_LT(printed_at_stop, count_lines(output)) << "the server was stopped after the run";
    EXPECT_NE(TempDir::read(err).find("lost"), std::string::npos) << TempDir::read(err);

    // Both servers had been given connections, and the stopped one is
    // taken out by the checks.
    EXPECT_TRUE(eventually([&] { return balancer_stats(admin)["scanner1"].status == "DOWN"; }));
    auto stats = balancer_stats(admin);
    EXPECT_GT(stats["scanner1"].connections, 0);
    EXPECT_GT(stats["scanner2"].connections, 0);
    EXPECT_EQ(stats["refusing"].connections, 0);

    // Every file once, and the same output and status as one server gives.
    for (int i = 0; i < kFiles; ++i) {
        std::string name =
            "\n" + tree.path() + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + " ";
        size_t first_at = ("\n" + output).find(name);
        EXPECT_NE(first_at, std::string::npos) << name;
        EXPECT_EQ(("\n" + output).find(name, first_at + 1), std::string::npos) << name;
    }
    ProcessResult alone = run_process(ORVACLIENT_BINARY, scan_through(second.tcp_port()));
    EXPECT_EQ(alone.err, "");
    EXPECT_TRUE(output == alone.out) << output << "\n---\n" << alone.out;
    EXPECT_EQ(status, alone.status);
    // A soft stop: the balancer ends once its connections have.
    EXPECT_EQ(balancer.stop(SIGUSR1), 0);
}

} // namespace

// The example HAProxy configuration, run for real in front of stand-in
// servers: its health check keeps out a server that does not greet 201, and
// a tree scan on four connections through it, with a server stopped half
// way, gives every file one line and the output of a scan against one server.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>

#include "standin/signatures.h"
#include "standin_process.h"
#include "support/run_process.h"

namespace {

// Waits, ten seconds at most, until `ready` holds.
template <typename Condition> bool eventually(Condition ready) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready() && std::chrono::steady_clock::now() < end)
        poll(nullptr, 0, 20);
    return ready();
}

// The status of each server of the pool, from "show stat" on the
// balancer's administration socket (field 18 of its CSV lines).
std::map<std::string, std::string> pool_status(const std::string &socket_path) {
    std::map<std::string, std::string> status;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    std::string text;
    char buffer[4096];
    pollfd ready = {fd, POLLIN, 0};
    ssize_t n = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        write(fd, "show stat\n", 10) == 10)
        while (poll(&ready, 1, 2000) == 1 && (n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
    close(fd);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');)
            fields.push_back(cell);
        if (fields.size() > 17 && fields[0] == "scanners") status[fields[1]] = fields[17];
    }
    return status;
}

size_t lines_in(const std::string &path) {
    std::string text = TempDir::read(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(Balancer, ATreeScanThroughHAProxyOutlivesAServerStoppedHalfWay) {
    const char *haproxy = "/usr/sbin/haproxy";
    if (access(haproxy, X_OK) != 0) GTEST_SKIP() << "haproxy is not installed";
    // Each scan takes a while, so that the run still goes on when a server
    // is stopped.
    StandinProcess first({"--tcp", "0", "--scan-delay", "10"});
    StandinProcess second({"--tcp", "0", "--scan-delay", "10"});
    StandinProcess refusing({"--tcp", "0", "--refuse", "overloaded"});
    ASSERT_TRUE(first.started() && second.started() && refusing.started());

    // The example with this test's own global section (no chroot, no user,
    // the administration socket here), the listener handed over as
    // descriptor 3, quicker checks, and a third server that greets 401.
    TempDir work;
    std::string admin = work / "admin.sock";
    std::string config = TempDir::read(EXAMPLE_HAPROXY_CONFIG);
    size_t defaults = config.find("\ndefaults\n");
    ASSERT_NE(defaults, std::string::npos);
    config = "global\n    stats socket " + admin + " level admin\n" + config.substr(defaults);
    auto server = [](const char *name, const StandinProcess &at) {
        return std::string("server ") + name + " 127.0.0.1:" + std::to_string(at.tcp_port());
    };
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"bind :9001", "bind fd@3"},
             {"inter 2s", "inter 100ms"},
             {"server scanner1 192.0.2.11:9001", server("scanner1", first)},
             {"server scanner2 192.0.2.12:9001",
              server("refusing", refusing) + " check\n    " + server("scanner2", second)}}) {
        size_t at = config.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        config.replace(at, from.size(), to);
    }

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::string balanced = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    BackgroundProcess balancer(haproxy,
                               {"haproxy", "-db", "-f", TempDir::write_file(work / "cfg", config)},
                               work / "haproxy.log", "", listener);
    close(listener);
    ASSERT_TRUE(eventually([&] {
        return pool_status(admin) ==
               std::map<std::string, std::string>{
                   {"refusing", "DOWN"}, {"scanner1", "UP"}, {"scanner2", "UP"}, {"BACKEND", "UP"}};
    })) << TempDir::read(work / "haproxy.log");

    TempDir tree;
    constexpr int kFiles = 240;
    for (int i = 0; i < kFiles; ++i) {
        mkdir((tree / ("d" + std::to_string(i % 4))).c_str(), 0700);
        tree.write("d" + std::to_string(i % 4) + "/f" + std::to_string(i),
                   i % 7 ? "clean " + std::to_string(i) : "x " + standin::test_file_bytes());
    }
    auto scan = [&](const std::string &at) {
        return std::vector<std::string>{"orvaclient", "-t", at, "-s", "-r", "-j", "4", tree.path()};
    };
    BackgroundProcess client(ORVACLIENT_BINARY, scan(balanced), work / "out", work / "err");
    ASSERT_TRUE(eventually([&] { return lines_in(work / "out") >= kFiles / 4; }));
    EXPECT_EQ(first.stop(), 0);
    size_t at_stop = lines_in(work / "out");
    int status = client.stop(0, 10000);
    std::string output = TempDir::read(work / "out");
    EXPECT_LT(at_stop, lines_in(work / "out")) << "the server was stopped after the run";
    EXPECT_NE(TempDir::read(work / "err").find("lost"), std::string::npos)
        << "no connection went to the stopped server";
    EXPECT_TRUE(eventually([&] { return pool_status(admin)["scanner1"] == "DOWN"; }));

    // Every file once, and what one server gives.
    for (int i = 0; i < kFiles; ++i) {
        std::string line = "\n" + tree / ("d" + std::to_string(i % 4) + "/f" + std::to_string(i));
        size_t found = ("\n" + output).find(line + " ");
        EXPECT_TRUE(found != std::string::npos &&
                    ("\n" + output).find(line + " ", found + 1) == std::string::npos)
            << line;
    }
    ProcessResult alone =
        run_process(ORVACLIENT_BINARY, scan("127.0.0.1:" + std::to_string(second.tcp_port())));
    EXPECT_TRUE(output == alone.out) << output << "---\n" << alone.out;
    EXPECT_EQ(status, alone.status);
    EXPECT_EQ(balancer.stop(SIGUSR1), 0) << "a soft stop, once its connections are gone";
}

} // namespace

// How the built client reports a connection that could not be opened, and
// how it resolves the socket path.
#include <gtest/gtest.h>

#include <unistd.h>

#include "cli_helpers.h"

namespace {

ProcessResult check_against(const std::string &greeting, std::vector<std::string> extra = {}) {
    FakeServer server;
    server.send(greeting);
    server.start();
    std::vector<std::string> args = {"-c", "-p", server.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_client(args);
}

TEST(ConnectMessages, EachGreetingOutcomeHasItsMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {"401 overloaded\r\n", "ERROR: Could not connect to orvaserver: server is overloaded.\n"},
        {"402 denied\r\n", "ERROR: Could not connect to orvaserver: client IP is not allowed.\n"},
        {"220 hello\r\n", "ERROR: Could not connect to server!\n"},
        {"201 1 3 2 01012001 5 tag\r\n", "ERROR: Could not connect to server!\n"},
        {"201 1 4 2 01012001 5\r\n", "ERROR: Could not connect to server!\n"},
    };
    for (const auto &[greeting, message] : cases) {
        ProcessResult run = check_against(greeting);
        EXPECT_EQ(run.err, message) << greeting;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 1) << greeting;
    }
}

TEST(ConnectMessages, QuietNeverSilencesThem) {
    ProcessResult run = check_against("401 overloaded\r\n", {"-q"});
    EXPECT_EQ(run.err, "ERROR: Could not connect to orvaserver: server is overloaded.\n");
    EXPECT_EQ(run.status, 1);
}

TEST(ConnectMessages, NoServerAtThePath) {
    ProcessResult run = run_client({"-c", "-p", "/nonexistent/orva.sock"});
    EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n");
    EXPECT_EQ(run.status, 1);

    // A host and port is a file name relative to the current directory.
    ProcessOptions in_tmp;
    in_tmp.working_directory = "/tmp";
    run = run_client({"-c", "-p", "127.0.0.1:9001"}, in_tmp);
    EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n");
    EXPECT_EQ(run.status, 1);
}

TEST(ConnectMessages, RelativeSocketPathIsTakenFromTheCurrentDirectory) {
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send("200 \r\n");
    server.start();
    ProcessOptions in_dir;
    in_dir.working_directory = server.directory();
    ProcessResult run = run_client({"-p", "./server.sock", "-c"}, in_dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(server.received(), "KEYS\r\n");

    // An empty value leaves the current directory and "/": not a socket.
    run = run_client({"-c", "-p", ""}, in_dir);
    EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n");
    EXPECT_EQ(run.status, 1);
}

} // namespace

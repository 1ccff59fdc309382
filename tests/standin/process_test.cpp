// The built server as a process: start-up and its socket, the options it
// refuses, and a clean end on SIGTERM and SIGINT.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "raw_client.h"
#include "standin_process.h"
#include "support/run_process.h"

namespace {

bool exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

ProcessResult run_standin(std::vector<std::string> args) {
    args.insert(args.begin(), "orvaserver-standin");
    ProcessOptions options;
    options.timeout_ms = kWaitLimitMs;
    return run_process(STANDIN_BINARY, args, options);
}

TEST(Lifecycle, SigtermAndSigintRemoveTheSocket) {
    for (int signal : {SIGTERM, SIGINT}) {
        StandinProcess server;
        ASSERT_TRUE(server.started()) << server.error_output();
        EXPECT_EQ(entries(server.folder()),
                  (std::vector<std::string>{"server.err", "standin.sock"}))
            << "no temporary socket name is left behind";
        RawClient idle(server.socket_path());
        ASSERT_TRUE(idle.line());
        EXPECT_EQ(server.stop(signal), 0) << "a connected client does not hold it up";
        EXPECT_FALSE(exists(server.socket_path()));
        EXPECT_EQ(server.error_output(), "");
    }
}

TEST(Lifecycle, ReplacesAStaleSocketButNothingElse) {
    TestFolder folder;
    std::string path = folder.path() + "/s";
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, path.size());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        close(fd); // leaves a socket nobody listens on
    }
    {
        StandinProcess server({"--socket", path}, false);
        // The helper waits for its own path; this one already exists.
        for (int waited = 0; waited < kWaitLimitMs && !RawClient(path).connected(); waited += 2)
            usleep(2000);
        RawClient raw(path);
        ASSERT_TRUE(raw.connected());
        EXPECT_TRUE(raw.line());
    }

    std::string regular = folder.write("not-a-socket", "precious");
    ProcessResult refused = run_standin({"--socket", regular});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "orvaserver-standin: " + regular + " exists and is not a socket\n");
    EXPECT_EQ(read_file(regular), "precious");
}

TEST(Lifecycle, LeavesASocketPathThatIsNoLongerItsOwn) {
    StandinProcess server;
    ASSERT_TRUE(server.started());
    std::string moved = server.folder() + "/moved.sock";
    ASSERT_EQ(rename(server.socket_path().c_str(), moved.c_str()), 0);
    TestFolder other;
    std::string replacement = other.write("x", "someone else's");
    ASSERT_EQ(rename(replacement.c_str(), server.socket_path().c_str()), 0);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(read_file(server.socket_path()), "someone else's");
}

TEST(Lifecycle, TcpOnlyPrintsItsPort) {
    StandinProcess server({"--tcp", "0"}, false);
    ASSERT_TRUE(server.started()) << server.error_output();
    RawClient raw(server.tcp_port());
    EXPECT_EQ(raw.line(), "201 1 4 1 15062024 1000 standin");
    EXPECT_EQ(server.stop(), 0);
}

TEST(CommandLine, HelpAndBadOptions) {
    ProcessResult help = run_standin({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: orvaserver-standin --socket PATH", 0), 0u);
    for (const char *option :
         {"--socket", "--tcp", "--signatures", "--date", "--records", "--tag", "--key", "--refuse",
          "--slow", "--scan-delay", "--bytewise", "--close-after", "--instant", "--serve-cured",
          "--max-connections", "--greet-delay"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    ProcessResult bad = run_standin({"--socket", "/tmp/x", "--slow", "soon"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "orvaserver-standin: --slow: expected a number from 0 to 60000, not "
                       "'soon'\nTry 'orvaserver-standin --help' for more.\n");

    EXPECT_EQ(run_standin({}).status, 2);
    ProcessResult too_long = run_standin({"--socket", "/tmp/" + std::string(120, 'x')});
    EXPECT_EQ(too_long.status, 1);
    EXPECT_NE(too_long.err.find("socket path longer than 107 characters"), std::string::npos);
}

} // namespace

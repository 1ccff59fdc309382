// orvamilter as a process against the stand-in server, with miltertest as
// the mail server: the answers to each verdict, other actions, a scanner that
// stops and comes back, messages given up half-way, a stop in the middle of
// a message, twenty sessions at once, and the spool file as the scanner sees
// it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

#include "standin/signatures.h"
#include "standin_process.h"
#include "support/fake_server.h"
#include "support/full_queue.h"
#include "support/mail_samples.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace {

bool wait_for(const std::function<bool()> &condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// Whether no spool file holds a message: emptied ones (nothing but zeros)
// are kept for later messages until the filter stops.
bool holds_no_message(const std::string &spool) {
    for (const std::string &name : TempDir::list(spool))
        if (TempDir::read(spool + "/" + name).find_first_not_of('\0') != std::string::npos)
            return false;
    return true;
}

// Whether a program accepts connections on the Unix socket at `path`.
bool answers(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

ProcessResult run_filter(std::vector<std::string> options) {
    options.insert(options.begin(), "orvamilter");
    return run_process(ORVAMILTER_BINARY, options, {"", "", 15000});
}

struct Message {
    std::string body;
    std::string content_type;
};

const Message kClean = {"Hello,\r\nthe figures are in order.\r\n", ""};
const Message kWarning = {"Installer built with STANDIN-SAMPLE-PACKER\r\n", ""};
const Message kOversize = {std::string(20000, 'a') + "\r\n", ""};

Message infected_attachment() {
    return {
        mail_body_with_attachment(standin::test_file_bytes(), "Content-Transfer-Encoding: base64"),
        std::string("multipart/mixed; boundary=\"") + kMailBoundary + "\""};
}

// What the filter is to answer: accept with this status header, or a reply.
struct Expect {
    std::string kind;
    std::string detail;
};

const Expect kAcceptedClean = {"accept", "OK"};
const Expect kRejectedInfected = {"reject", "550 5.7.1 Message refused: INFECTED EICAR-Test-File"};
const Expect kTaggedWarning = {"accept", "WARNING Sample.Packer"};
const Expect kDeferred = {"tempfail", "451 4.3.0 Message could not be scanned, try again later"};

// An orvamilter process in a fresh folder, with short time-outs and a size
// limit of 16 KiB (miltertest sends a body file in one piece, which the
// library takes up to 64 KiB). With a `user`, it runs as that user (-u) and
// the spool folder is theirs; with `file_blocks`, under that file-size limit
// (ulimit -f, in blocks of 512 bytes).
class Filter {
  public:
    explicit Filter(const std::string &server, std::vector<std::string> options = {},
                    const std::string &user = "", int file_blocks = 0) {
        spool_ = folder_ / "spool";
        mkdir(spool_.c_str(), 0700);
        std::vector<std::string> argv = {"orvamilter", "-f",   "-e", "-l",   socket(),
                                         "-s",         server, "-d", spool_, "-t",
                                         "5",          "-T",   "2",  "-m",   "16k"};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!user.empty()) {
            struct passwd *entry = getpwnam(user.c_str());
            // The user removes the socket from the folder when it stops.
            for (const std::string &path : {folder_.path(), spool_}) {
                if (entry != nullptr) {
                    EXPECT_EQ(chown(path.c_str(), entry->pw_uid, entry->pw_gid), 0);
                }
            }
            chmod(folder_.path().c_str(), 0755);
            argv.insert(argv.end(), {"-u", user});
        }
        std::string program = ORVAMILTER_BINARY;
        if (file_blocks > 0) {
            argv.erase(argv.begin());
            argv.insert(argv.begin(),
                        {"sh", "-c",
                         "ulimit -f " + std::to_string(file_blocks) + " && exec \"$0\" \"$@\"",
                         ORVAMILTER_BINARY});
            program = "/bin/sh";
        }
        process_ = std::make_unique<BackgroundProcess>(program, argv, folder_ / "log");
        started_ = wait_for([&] { return exists(socket_path()) || !process_->running(); }) &&
                   exists(socket_path());
    }

    bool started() const { return started_; }
    std::string socket_path() const { return folder_ / "milter.sock"; }
    std::string socket() const { return "unix:" + socket_path(); }
    const std::string &spool() const { return spool_; }
    std::string log() const { return TempDir::read(folder_ / "log"); }
    pid_t pid() const { return process_->pid(); }
    int stop() { return process_->stop(SIGTERM, kWaitLimitMs); }

    size_t threads() const {
        return TempDir::list("/proc/" + std::to_string(process_->pid()) + "/task").size();
    }

    // How often `text` stands in the log.
    size_t count(const std::string &text) const {
        const std::string all = log();
        size_t found = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++found;
        return found;
    }

    // The filter's descriptors that are sockets, and a list of them all.
    size_t sockets(std::string *listing = nullptr) const {
        size_t count = 0;
        const std::string folder = "/proc/" + std::to_string(process_->pid()) + "/fd/";
        for (const std::string &name : TempDir::list(folder)) {
            char target[256] = {};
            ssize_t length = readlink((folder + name).c_str(), target, sizeof target - 1);
            std::string what(target, length > 0 ? static_cast<size_t>(length) : 0);
            if (what.rfind("socket:", 0) == 0) ++count;
            if (listing != nullptr) *listing += name + " -> " + what + "\n";
        }
        return count;
    }

    // Plays one session; empty when the filter answered as expected, else
    // what miltertest said.
    std::string session(const Message &message, const Expect &expect, const std::string &id,
                        bool forge = false, const std::vector<std::string> &defines = {}) const {
        std::string body = folder_.write("body-" + id, message.body);
        std::vector<std::string> argv = {
            "miltertest",
            "-s",
            SESSION_SCRIPT,
            "-D",
            "socket=" + socket(),
            "-D",
            "body=" + body,
            "-D",
            "id=" + id,
            "-D",
            "expect=" + expect.kind,
            "-D",
            (expect.kind == "accept" || expect.kind == "quarantine" ? "status=" : "reply=") +
                expect.detail};
        if (!message.content_type.empty()) {
            argv.push_back("-D");
            argv.push_back("ctype=" + message.content_type);
        }
        if (forge) {
            argv.push_back("-D");
            argv.push_back("forge=1");
        }
        for (const std::string &define : defines)
            argv.insert(argv.end(), {"-D", define});
        ProcessResult result = run_process(MILTERTEST_BINARY, argv, {"", "", 15000});
        if (result.status == 0) return "";
        return id + ": status " + std::to_string(result.status) + " " + result.out + result.err;
    }

  private:
    TempDir folder_;
    std::string spool_;
    std::unique_ptr<BackgroundProcess> process_;
    bool started_ = false;
};

class MilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(MILTERTEST_BINARY).empty() || !exists(MILTERTEST_BINARY))
            GTEST_SKIP() << "miltertest is not installed (Debian package miltertest)";
    }
};

// The stand-in with the sample signatures on a socket path of the test's
// own, so that it can stop and come back at the same address.
class Scanner {
  public:
    Scanner() { start(); }
    const std::string &address() const { return address_; }
    void stop() { process_->stop(); }
    void start() {
        process_ = std::make_unique<StandinProcess>(
            std::vector<std::string>{"--socket", address_, "--signatures", SAMPLE_SIGNATURES},
            false);
        EXPECT_TRUE(wait_for([&] { return exists(address_); })) << process_->error_output();
    }

  private:
    TempDir folder_;
    std::string address_ = folder_ / "scanner.sock";
    std::unique_ptr<StandinProcess> process_;
};

TEST_F(MilterTest, AnswersEachVerdictWithTheDefaultActions) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    Filter filter(server.socket_path());
    ASSERT_TRUE(filter.started()) << filter.log();

    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "Q1", /*forge=*/true), "");
    EXPECT_EQ(filter.session(infected_attachment(), kRejectedInfected, "Q2"), "");
    EXPECT_EQ(filter.session(kWarning, kTaggedWarning, "Q3", true), "");
    EXPECT_EQ(filter.session(kOversize, {"accept", "UNSCANNED over the size limit"}, "Q4"), "");
    EXPECT_TRUE(holds_no_message(filter.spool()));

    EXPECT_EQ(filter.stop(), 0);
    EXPECT_FALSE(exists(filter.socket_path())) << "the socket is removed at the end";
    EXPECT_TRUE(TempDir::list(filter.spool()).empty()) << "and so are the kept spool files";
    const std::string log = filter.log();
    for (const char *line : {"Q1: verdict=OK names=- action=accept size=",
                             "Q2: verdict=INFECTED names=EICAR-Test-File action=reject size=",
                             "Q3: verdict=WARNING names=Sample.Packer action=accept size=",
                             "Q4: verdict=UNSCANNED names=- action=accept size="})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
}

TEST_F(MilterTest, OtherActionsAndTheServerOverTcp) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES, "--tcp", "0"});
    ASSERT_TRUE(server.started());
    Filter strict("127.0.0.1:" + std::to_string(server.tcp_port()),
                  {"-a", "infected=discard", "-a", "warning=reject", "-a", "oversize=tempfail"});
    ASSERT_TRUE(strict.started()) << strict.log();
    EXPECT_EQ(strict.session(infected_attachment(), {"discard", ""}, "T1"), "");
    EXPECT_EQ(strict.session(kWarning,
                             {"reject", "550 5.7.1 Message refused: WARNING Sample.Packer"}, "T2"),
              "");
    EXPECT_EQ(strict.session(
                  kOversize,
                  {"tempfail", "452 4.3.4 Message too large to be scanned, try again later"}, "T3"),
              "");

    Filter lenient(server.socket_path(), {"-a", "infected=accept", "-a", "failure=accept"});
    ASSERT_TRUE(lenient.started()) << lenient.log();
    EXPECT_EQ(lenient.session(infected_attachment(), {"accept", "INFECTED EICAR-Test-File"}, "L1"),
              "");
    server.stop();
    EXPECT_EQ(lenient.session(kClean, {"accept", "UNSCANNED scanner unavailable"}, "L2"), "");
    EXPECT_EQ(strict.stop(), 0);
    EXPECT_EQ(lenient.stop(), 0);
}

TEST_F(MilterTest, AStoppedScannerDefersMailUntilItIsBack) {
    Scanner server;
    Filter filter(server.address());
    ASSERT_TRUE(filter.started()) << filter.log();
    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "R1"), "");

    server.stop();
    EXPECT_EQ(filter.session(kClean, kDeferred, "R2"), "");
    EXPECT_NE(filter.log().find("R2: verdict=UNSCANNED names=- action=tempfail"),
              std::string::npos);

    server.start();
    EXPECT_EQ(filter.session(infected_attachment(), kRejectedInfected, "R3"), "")
        << "the filter uses the server again without a restart";
    EXPECT_TRUE(holds_no_message(filter.spool()));
}

TEST_F(MilterTest, MessagesGivenUpHalfWayLeaveNoSpoolFile) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    Filter filter(server.socket_path());
    ASSERT_TRUE(filter.started()) << filter.log();
    EXPECT_EQ(filter.session(infected_attachment(), {"abort", ""}, "A1"), "");
    EXPECT_EQ(filter.session(infected_attachment(), {"lost", ""}, "A2"), "");
    EXPECT_TRUE(wait_for([&] { return TempDir::list(filter.spool()).empty(); }));
    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "A3"), "");

    // A stop while a message is being scanned removes its file too. How the
    // held session ends is not checked: only that nothing is left behind.
    StandinProcess slow({"--scan-delay", "1000"});
    Filter stopped(slow.socket_path());
    ASSERT_TRUE(stopped.started()) << stopped.log();
    std::thread held([&] { stopped.session(kClean, kAcceptedClean, "A4"); });
    EXPECT_TRUE(wait_for([&] { return !TempDir::list(stopped.spool()).empty(); }));
    EXPECT_EQ(stopped.stop(), 0);
    EXPECT_TRUE(TempDir::list(stopped.spool()).empty());
    held.join();
}

TEST_F(MilterTest, TwentySessionsAtOnceLeaveNoFileAndNoConnection) {
    Scanner server;
    Filter filter(server.address());
    ASSERT_TRUE(filter.started()) << filter.log();
    const size_t sockets = filter.sockets();

    const Message infected = infected_attachment();
    std::vector<std::string> failures(20);
    std::vector<std::thread> sessions;
    for (size_t index = 0; index < failures.size(); ++index) {
        sessions.emplace_back([&, index] {
            std::string id = "M" + std::to_string(index);
            switch (index % 3) {
            case 0:
                failures[index] = filter.session(kClean, kAcceptedClean, id);
                break;
            case 1:
                failures[index] = filter.session(infected, kRejectedInfected, id);
                break;
            default:
                failures[index] = filter.session(kWarning, kTaggedWarning, id);
                break;
            }
        });
    }
    for (std::thread &session : sessions)
        session.join();
    for (const std::string &failure : failures)
        EXPECT_EQ(failure, "");
    EXPECT_TRUE(holds_no_message(filter.spool()));

    // Without its server, the next message finds every kept connection
    // closed: then the filter holds no more sockets than at its start.
    server.stop();
    EXPECT_EQ(filter.session(kClean, kDeferred, "M20"), "");
    std::string listing;
    EXPECT_TRUE(wait_for([&] { return filter.sockets() <= sockets; }))
        << filter.sockets(&listing) << " sockets, " << sockets << " at the start:\n"
        << listing;
}

TEST_F(MilterTest, TheScannerReadsTheMessageAsReceivedFromAPrivateFile) {
    // A group that is not the process's own where that is possible.
    const gid_t group = getuid() == 0 ? 1 : getegid();
    std::vector<std::string> spooled;
    struct stat info {};
    FakeServer server;
    auto look = [&] {
        std::string line = server.received_so_far();
        line = line.substr(line.rfind("SCAN "));
        std::string path = line.substr(line.find(' ', 5) + 1);
        path.resize(path.size() - 2);
        stat(path.c_str(), &info);
        spooled.push_back(TempDir::read(path));
    };
    // The probe file of the start's check, then two messages, the second
    // shorter than the first, in the file that the first left.
    server.send(FakeServer::greeting()).expect_line().send("220 scanned\r\n");
    server.expect_line().call(look).send("220 scanned\r\n");
    server.expect_line().call(look).send("220 scanned\r\n").expect_line().send("200 bye\r\n");
    server.start();

    Filter filter(server.address(), {"-g", std::to_string(group)});
    ASSERT_TRUE(filter.started()) << filter.log();
    const Message message = infected_attachment();
    EXPECT_EQ(filter.session(message, kAcceptedClean, "S1"), "");
    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "S2"), "");
    EXPECT_EQ(filter.stop(), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_gid, group);
    const std::string headers =
        "From: sender@example.org\r\nTo: rcpt@example.org\r\nSubject: test ";
    ASSERT_EQ(spooled.size(), 2u);
    EXPECT_EQ(spooled[0], headers + "S1\r\nMIME-Version: 1.0\r\nContent-Type: " +
                              message.content_type + "\r\n\r\n" + message.body);
    EXPECT_EQ(spooled[1], headers + "S2\r\nMIME-Version: 1.0\r\n\r\n" + kClean.body);
    EXPECT_NE(server.received().find("QUIT"), std::string::npos)
        << "a kept connection ends with QUIT when the filter stops";
}

TEST_F(MilterTest, ADaemonReportsItsStartOnlyOnceItListens) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    TempDir folder;
    mkdir((folder / "spool").c_str(), 0700);
    const std::string socket = folder / "milter.sock";
    const std::vector<std::string> base = {"-l", "unix:" + socket, "-s", server.socket_path(),
                                           "-d", folder / "spool"};

    // A pid file that cannot be written: a failure, said on standard error,
    // and nothing left listening.
    std::vector<std::string> argv = base;
    argv.insert(argv.end(), {"-P", folder / "missing/orvamilter.pid"});
    ProcessResult result = run_filter(argv);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot write the pid file"), std::string::npos) << result.err;
    EXPECT_FALSE(exists(socket));

    argv = base;
    argv.insert(argv.end(), {"-P", folder / "orvamilter.pid"});
    result = run_filter(argv);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(answers(socket)) << "the daemon listens once its start has said so";
    const pid_t daemon = std::stoi(TempDir::read(folder / "orvamilter.pid"));
    ASSERT_GT(daemon, 1);
    EXPECT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(wait_for([&] { return !exists(folder / "orvamilter.pid") && !exists(socket); }));
}

TEST_F(MilterTest, ASecondFilterOnALiveSocketIsRefusedAStaleOneIsReplaced) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    Filter first(server.socket_path());
    ASSERT_TRUE(first.started()) << first.log();
    ProcessResult second = run_filter(
        {"-f", "-e", "-l", first.socket(), "-s", server.socket_path(), "-d", first.spool()});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("another program listens on " + first.socket_path()),
              std::string::npos)
        << second.err;
    EXPECT_EQ(first.session(kClean, kAcceptedClean, "D1"), "") << "the first keeps its socket";

    // A socket that nobody listens on is what a killed filter leaves.
    TempDir folder;
    const std::string stale = folder / "stale.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", stale.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
    BackgroundProcess third(ORVAMILTER_BINARY,
                            {"orvamilter", "-f", "-e", "-l", "unix:" + stale, "-s",
                             server.socket_path(), "-d", first.spool()},
                            folder / "log");
    EXPECT_TRUE(wait_for([&] { return answers(stale); })) << TempDir::read(folder / "log");
    EXPECT_EQ(third.stop(), 0);
}

TEST_F(MilterTest, TheConfigurationCheckNamesWhatFailsAndTheStartRunsIt) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    TempDir folder;
    const std::string spool = folder / "spool";
    mkdir(spool.c_str(), 0700);
    ProcessResult result = run_filter({"-C", "-s", server.socket_path(), "-d", spool});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("ok: spool folder " + spool), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("the probe file is OK"), std::string::npos) << result.out;
    EXPECT_TRUE(TempDir::list(spool).empty());

    // No scanning server: the check fails, a start only warns.
    const std::string none = folder / "none.sock";
    result = run_filter({"-C", "-s", none, "-d", spool});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("FAILED: the scanning server " + none + " cannot be reached"),
              std::string::npos)
        << result.out;
    {
        Filter waiting(none);
        ASSERT_TRUE(waiting.started()) << waiting.log();
        EXPECT_TRUE(wait_for([&] {
            return waiting.log().find("warning: the scanning server " + none +
                                      " cannot be reached") != std::string::npos;
        })) << waiting.log();
    }
    // One whose connection breaks during the probe may be restarting: so too.
    {
        FakeServer going;
        going.send(FakeServer::greeting()).expect_line().close_now().start();
        Filter restarting(going.address());
        ASSERT_TRUE(restarting.started()) << restarting.log();
        EXPECT_TRUE(wait_for([&] {
            return restarting.count("warning: the scanning server " + going.address() +
                                    " did not scan the probe file: the connection") > 0 &&
                   restarting.count("listening on") > 0;
        })) << restarting.log();
    }

    // A scanning server that cannot read the spool files fails both.
    FakeServer blind;
    blind.send(FakeServer::greeting()).expect_line().send("241 ERROR\r\n").next_client();
    blind.send(FakeServer::greeting()).expect_line().send("241 ERROR\r\n");
    blind.start();
    result = run_filter({"-C", "-s", blind.address(), "-d", spool});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("FAILED: the scanning server " + blind.address() +
                              " cannot read the probe file"),
              std::string::npos)
        << result.out;
    result = run_filter(
        {"-f", "-e", "-l", "unix:" + (folder / "m.sock"), "-s", blind.address(), "-d", spool});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot read the probe file"), std::string::npos) << result.err;
    EXPECT_FALSE(exists(folder / "m.sock"));

    if (getuid() != 0) GTEST_SKIP() << "the checks of another user need root";
    // The spool folder is root's alone, and nobody is not in root's group.
    result = run_filter({"-C", "-u", "nobody", "-s", server.socket_path(), "-d", spool});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("FAILED: cannot create a file in the spool folder " + spool),
              std::string::npos)
        << result.out;
    result = run_filter({"-f", "-e", "-l", "unix:" + (folder / "m.sock"), "-u", "nobody", "-g", "0",
                         "-s", server.socket_path(), "-d", spool});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("the filter's user nobody is not in the group 0 of -g"),
              std::string::npos)
        << result.err;
}

TEST_F(MilterTest, TheSocketGetsItsModeAndGroupAndTheFilterItsUser) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    const bool root = getuid() == 0;
    const gid_t group = root ? 1 : getegid();
    // The user of -u must be able to connect to the scanning server's socket.
    chmod(server.folder().c_str(), 0755);
    chmod(server.socket_path().c_str(), 0666);
    Filter filter(server.socket_path(), {"-M", "0660", "-G", std::to_string(group)},
                  root ? "nobody" : "");
    ASSERT_TRUE(filter.started()) << filter.log();
    struct stat info {};
    ASSERT_EQ(stat(filter.socket_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_gid, group);
    EXPECT_EQ(filter.session(infected_attachment(), kRejectedInfected, "U1"), "") << filter.log();
    if (root) {
        const std::string status =
            TempDir::read("/proc/" + std::to_string(filter.pid()) + "/status");
        const std::string uid = std::to_string(getpwnam("nobody")->pw_uid);
        EXPECT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid), std::string::npos)
            << status;
    }
    EXPECT_EQ(filter.stop(), 0);
    EXPECT_FALSE(exists(filter.socket_path()));
}

TEST_F(MilterTest, AFileSizeLimitBelowAMessageDefersThatMessageOnly) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    Filter filter(server.socket_path(), {}, "", 16); // 8 KiB
    ASSERT_TRUE(filter.started()) << filter.log();
    const Message large = {std::string(12000, 'b') + "\r\n", ""};
    EXPECT_EQ(filter.session(large, kDeferred, "F1"), "");
    EXPECT_TRUE(TempDir::list(filter.spool()).empty());
    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "F2"), "") << "the filter goes on";
    EXPECT_NE(filter.log().find("F1: verdict=UNSCANNED"), std::string::npos) << filter.log();
    EXPECT_EQ(filter.stop(), 0);
}

TEST_F(MilterTest, QuarantineRejectTextHeaderModesAndTheLogOfWhatIsNotClean) {
    Scanner server;
    Filter filter(server.address(), {"-a", "infected=quarantine", "-a", "warning=reject", "-a",
                                     "failure=reject", "-r", "Refused %i: %v (%n)", "-H", "add"});
    ASSERT_TRUE(filter.started()) << filter.log();
    EXPECT_EQ(
        filter.session(infected_attachment(), {"quarantine", "INFECTED EICAR-Test-File"}, "P1"),
        "");
    EXPECT_EQ(
        filter.session(kWarning, {"reject", "550 5.7.1 Refused P2: WARNING (Sample.Packer)"}, "P2"),
        "");
    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "P3", true, {"mode=add"}), "");
    server.stop();
    EXPECT_EQ(filter.session(kClean, {"reject", "550 5.7.1 Refused P4: UNSCANNED ()"}, "P4"), "");
    const std::string log = filter.log();
    for (const char *line :
         {"warning: P1: verdict=INFECTED names=EICAR-Test-File action=quarantine size=",
          "warning: P4: verdict=UNSCANNED names=- action=reject"})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
    EXPECT_NE(log.find("client=192.0.2.1 from=<sender@example.org> to=<rcpt@example.org>"),
              std::string::npos)
        << log;
    const size_t clean = log.find("P3: verdict=OK");
    ASSERT_NE(clean, std::string::npos) << log;
    const std::string clean_line = log.substr(clean, log.find('\n', clean) - clean);
    EXPECT_EQ(clean_line.find("client="), std::string::npos) << clean_line;
    const size_t line_start = log.rfind('\n', clean) + 1;
    EXPECT_EQ(log.substr(line_start, clean - line_start).find("warning"), std::string::npos)
        << "a clean message is logged at info";

    Filter quiet(server.address(), {"-H", "off", "-a", "failure=accept"});
    ASSERT_TRUE(quiet.started()) << quiet.log();
    EXPECT_EQ(quiet.session(kClean, {"accept", ""}, "O1", true, {"mode=off"}), "");
}

TEST_F(MilterTest, SkipRulesLeaveMessagesUnscannedAndSaySo) {
    StandinProcess server({"--signatures", SAMPLE_SIGNATURES});
    Filter filter(server.socket_path(), {"-A", "-N", "192.0.2.0/24,2001:db8::/32", "-W",
                                         "postmaster@,@abuse.example.org", "-N", "10.1.2.3"});
    ASSERT_TRUE(filter.started()) << filter.log();
    const Message infected = infected_attachment();
    const std::string outside = "client=198.51.100.7";
    EXPECT_EQ(filter.session(infected, {"accept", "SKIPPED authenticated sender"}, "K1", true,
                             {"auth=alice", outside}),
              "");
    for (const char *client :
         {"client=192.0.2.77", "client=2001:db8::5", "client=IPv6:2001:db8::5", "client=10.1.2.3"})
        EXPECT_EQ(
            filter.session(infected, {"accept", "SKIPPED client network"}, "K2", false, {client}),
            "")
            << client;
    EXPECT_EQ(filter.session(infected, {"accept", "SKIPPED allowed recipients"}, "K3", false,
                             {outside, "rcpt=Postmaster@example.net,x@ABUSE.example.org"}),
              "");
    // One recipient off the list, a client outside the networks: scanned.
    EXPECT_EQ(filter.session(infected, kRejectedInfected, "K4", false,
                             {outside, "rcpt=postmaster@example.net,rcpt@example.org"}),
              "");
    for (const char *client : {"client=192.0.3.1", "client=2001:db9::1", "client=10.1.2.4"})
        EXPECT_EQ(filter.session(infected, kRejectedInfected, "K5", false, {client}), "") << client;
    EXPECT_TRUE(holds_no_message(filter.spool()));
    const std::string log = filter.log();
    EXPECT_NE(log.find("K1: verdict=SKIPPED names=- action=accept size="), std::string::npos)
        << log;
    EXPECT_NE(log.find("reason=\"authenticated sender\" client=198.51.100.7"), std::string::npos)
        << log;

    for (const char *bad :
         {"-N10.0.0.0/33", "-N::1/129", "-Nexample.org", "-Wnobody", "-r100%", "-rline\nbreak",
          "-Hsome", "-afailure=discard", "-s/a.sock,,b", "-s/a.sock,", "-shost:0", "-R3601"})
        EXPECT_EQ(run_filter({"-l", "inet:1@127.0.0.1", bad}).status, 2) << bad;
    const ProcessResult bad_list = run_filter({"-C", "-s", "/a.sock,host:12junk,[::1]"});
    EXPECT_EQ(bad_list.status, 2);
    EXPECT_NE(bad_list.err.find("-s: bad scanning server address 'host:12junk'"), std::string::npos)
        << bad_list.err;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(MilterTest, AScanHasOneDeadlineAndAStopDoesNotWaitForQuit) {
    // The start's probe passes; the first message is answered a byte every
    // half second (ten seconds in all), the second at once on a new
    // connection, and QUIT never.
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send("220 scanned\r\n").expect_line();
    for (char byte : std::string("220 scanned slowly\r\n"))
        server.send(std::string(1, byte)).pause(500);
    server.next_client().send(FakeServer::greeting()).expect_line().send("220 scanned\r\n");
    server.start();
    Filter filter(server.address(), {"-t", "4"});
    ASSERT_TRUE(filter.started() && wait_for([&] { return filter.count("listening on") > 0; }))
        << filter.log();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(filter.session(kClean, kDeferred, "W1"), "");
    EXPECT_LT(seconds_since(start), 5.5) << "the message was held beyond -t";
    EXPECT_EQ(filter.session(kClean, kAcceptedClean, "W2"), "");
    start = Clock::now();
    EXPECT_EQ(filter.stop(), 0);
    EXPECT_LT(seconds_since(start), 3.0) << "the stop waited for QUIT's answer";
    EXPECT_NE(server.received(1).find("QUIT\r\n"), std::string::npos);
}

TEST_F(MilterTest, AServerWithAFullListenQueueDefersWithinTheConnectTimeOut) {
    TempDir folder;
    FullUnixQueue stuck(folder / "stuck.sock");
    if (!stuck.full()) GTEST_SKIP() << "the listen queue of a Unix socket never filled";
    Filter filter(stuck.path()); // -T 2
    ASSERT_TRUE(filter.started() && wait_for([&] { return filter.count("listening on") > 0; }))
        << filter.log();
    // Two rounds of sessions at once: each message answered within about
    // -T of its scan (the mail-filter library may queue a session for a
    // free thread first), and the second round finds the threads of the
    // first free again, none left waiting on a connect.
    size_t threads = 0;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::string> failures(3);
        std::vector<std::thread> sessions;
        const Clock::time_point start = Clock::now();
        for (size_t index = 0; index < failures.size(); ++index)
            sessions.emplace_back([&, index] {
                failures[index] = filter.session(kClean, kDeferred, "Q" + std::to_string(index));
            });
        for (std::thread &session : sessions)
            session.join();
        EXPECT_LT(seconds_since(start), 5.5) << "the sessions were held beyond -T";
        for (const std::string &failure : failures)
            EXPECT_EQ(failure, "");
        if (round == 0) threads = filter.threads();
    }
    EXPECT_LE(filter.threads(), threads);
    EXPECT_TRUE(holds_no_message(filter.spool()));
    const std::string log = filter.log();
    EXPECT_EQ(filter.count("reason=\"the scanning server did not answer in time\""), 6u) << log;
    for (size_t at = log.find(" time="); at != std::string::npos; at = log.find(" time=", at + 1))
        EXPECT_LT(std::stod(log.substr(at + 6)), 2.5) << log;
}

TEST_F(MilterTest, AListFailsOverChecksEachServerAndUsesAStoppedOneAgain) {
    Scanner first;
    Scanner second;
    const std::string list = first.address() + "," + second.address();
    Filter filter(list, {"-R", "1"});
    // Its start probes both servers: the first stops only once it listens.
    ASSERT_TRUE(filter.started() && wait_for([&] { return filter.count("listening on") > 0; }))
        << filter.log();
    const std::string down = "scanning server " + first.address() + " cannot be used";
    first.stop();
    for (const char *id : {"V1", "V2", "V3"})
        EXPECT_EQ(filter.session(infected_attachment(), kRejectedInfected, id), "");
    EXPECT_EQ(filter.count(down + ": could not connect to the server; tried again in 1 s"), 1u)
        << filter.log();
    ProcessResult check = run_filter({"-C", "-s", list, "-d", filter.spool()});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(
        check.out.find("FAILED: the scanning server " + first.address() + " cannot be reached"),
        std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("ok: the scanning server " + second.address() + " reads"),
              std::string::npos)
        << check.out;

    // Back, and used again once the revive time has passed: that time is
    // what is tested, so the test waits it out.
    first.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    for (const char *id : {"V4", "V5"})
        EXPECT_EQ(filter.session(kClean, kAcceptedClean, id), "");
    EXPECT_EQ(filter.count("scanning server " + first.address() + " is used again"), 1u);
    EXPECT_EQ(filter.count("action=tempfail"), 0u) << filter.log();

    // None can be used: the failure action.
    first.stop();
    second.stop();
    EXPECT_EQ(filter.session(kClean, kDeferred, "V6"), "");
    EXPECT_EQ(filter.count("scanning server " + second.address() + " cannot be used"), 1u);
}

TEST_F(MilterTest, ScansAreSpreadOverTheServersInTurn) {
    // Each server answers the start's probe and two scans, then QUIT: a
    // third scan on either would go unanswered.
    FakeServer servers[2];
    for (FakeServer &server : servers) {
        server.send(FakeServer::greeting());
        for (int scan = 0; scan < 3; ++scan)
            server.expect_line().send("220 scanned\r\n");
        server.expect_line().send("200 bye\r\n").start();
    }
    Filter filter(servers[0].address() + "," + servers[1].address());
    ASSERT_TRUE(filter.started()) << filter.log();
    for (const char *id : {"S1", "S2", "S3", "S4"})
        EXPECT_EQ(filter.session(kClean, kAcceptedClean, id), "");
    EXPECT_EQ(filter.stop(), 0);
    for (FakeServer &server : servers)
        EXPECT_NE(server.received().find("QUIT\r\n"), std::string::npos);
}

} // namespace

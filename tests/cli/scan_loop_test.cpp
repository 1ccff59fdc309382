// The scan mode of the built client, run as its users run it: exact output
// lines, exit statuses and command lines on the wire.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cli_helpers.h"
#include "support/temp_dir.h"

namespace {

const std::string kLetters = "mQPRSTUWabcdefghi";
const std::string kQuit = "QUIT\r\n";

std::string scan_line(const std::string &path, const std::string &letters = kLetters) {
    return "SCAN x" + letters + " " + path + "\r\n";
}

struct ScanRun {
    ProcessResult run;
    std::string wire;
};

// A server that answers each scan line with the next reply, then QUIT.
ScanRun scan(std::vector<std::string> args, const std::vector<std::string> &replies,
             ProcessOptions options = {}) {
    FakeServer server;
    server.send(FakeServer::greeting());
    for (const std::string &reply : replies)
        server.expect_line().send(reply);
    server.expect_line().send("200 bye\r\n");
    server.start();
    args.insert(args.begin(), {"-p", server.path(), "-s"});
    ScanRun result{run_client(args, options), {}};
    result.wire = server.received();
    return result;
}

class ScanLoop : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(ScanLoop, ARelativeCleanFileShowsTheOperandAsTyped) {
    dir.write("clean.txt", "hello");
    ScanRun r = scan({"clean.txt"}, {"220 ok\r\n"}, {dir.path(), "", 10000});
    EXPECT_EQ(r.run.out, "clean.txt OK\n");
    EXPECT_EQ(r.run.err, "");
    EXPECT_EQ(r.run.status, 0);
    // The path is made absolute, and not normalised.
    EXPECT_EQ(r.wire, scan_line(dir / "clean.txt") + kQuit);

    ScanRun dotted = scan({"./sub/../clean.txt"}, {}, {dir.path(), "", 10000});
    EXPECT_EQ(dotted.run.out, dir / "./sub/../clean.txt ERROR No such file or directory\n");
    EXPECT_EQ(dotted.run.status, 7);
}

TEST_F(ScanLoop, VerdictsNamesAndTheStatusOfTheLastOperand) {
    std::string a = dir.write("a", "x");
    std::string b = dir.write("b", "y");
    ScanRun r = scan({a, b, "-u"}, {"322-Eicar-Test /a\r\n322-Other.Name /a//x\r\n"
                                    "327-Warn.One w\r\n230 /a\r\n",
                                    "220 /b\r\n"});
    // -u after the operands still applies: GNU getopt moves the operands.
    EXPECT_EQ(r.run.out,
              a + " INFECTED\nLINFECTED Eicar-Test\tOther.Name\nLWARNING Warn.One\n" + b + " OK\n");
    EXPECT_EQ(r.run.status, 0);
    EXPECT_EQ(r.wire, scan_line(a, kLetters + "l") + scan_line(b, kLetters + "l") + kQuit);

    struct Case {
        std::string reply;
        std::string out;
        int status;
    } cases[] = {
        {"220 x\r\n", " OK\n", 0},
        {"230 x\r\n", " INFECTED\n", 4},
        {"221 x\r\n", " CURED\n", 5},
        {"231 x\r\n", " CUREFAILED\n", 4},
        {"233 x\r\n", " WARNING\n", 2},
        {"232 x\r\n", " SUSPICION\n", 3},
        {"240 x\r\n", " PROTECTED\n", 6},
        {"234 x\r\n", " CORRUPTED\n", 8},
        {"241 x\r\n", " ERROR\n", 8},
        {"525 x\r\n", " ERROR\n", 7},
        {"532 x\r\n", " ERROR\n", 7},
        {"299 x\r\n", " ERROR\n", 7},
        {"328-NoSpace\r\n323-Cured.One at\r\n221 x\r\n", " CURED\nLCURED Cured.One\nLSUSPICION \n",
         5},
    };
    for (const Case &c : cases) {
        ScanRun one = scan({a}, {c.reply});
        EXPECT_EQ(one.run.out, a + c.out) << c.reply;
        EXPECT_EQ(one.run.status, c.status) << c.reply;
    }
}

TEST_F(ScanLoop, FilesThatCannotBeScannedGetTheirErrorLines) {
    std::string clean = dir.write("clean", "x");
    mkdir((dir / "sub").c_str(), 0700);
    symlink(clean.c_str(), (dir / "link").c_str());
    symlink((dir / "gone").c_str(), (dir / "dangling").c_str());

    ScanRun r = scan({"missing", dir / "missing", dir / "sub", dir / "link", dir / "dangling"},
                     {"220 ok\r\n"}, {dir.path(), "", 10000});
    EXPECT_EQ(r.run.out, (dir / "missing") + " ERROR No such file or directory\n" +
                             (dir / "missing") + " ERROR No such file or directory\n" +
                             (dir / "sub") + " ERROR not a regular file\n" + (dir / "link") +
                             " OK\n" + (dir / "dangling") + " ERROR No such file or directory\n");
    EXPECT_EQ(r.run.status, 7);
    // The link is scanned under its own name.
    EXPECT_EQ(r.wire, scan_line(dir / "link") + kQuit);
}

TEST_F(ScanLoop, PathsThatDoNotFitTheWorkingBufferAreRefused) {
    std::string clean = dir.write("clean", "x");
    std::string huge = "/" + std::string(8200, 'a');
    std::string long_relative(8190, 'b');
    ScanRun r = scan({huge, long_relative, clean}, {"220 ok\r\n"});
    EXPECT_EQ(r.run.out, huge + " ERROR\n" + long_relative + " ERROR\n" + clean + " OK\n");
    EXPECT_EQ(r.run.status, 0);

    // A path that fits the buffer but is longer than a scan may name is a
    // failed scan.
    std::string deep = dir.path();
    for (int i = 0; i < 5; ++i) {
        deep += "/" + std::string(250, static_cast<char>('c' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    std::string deep_file = deep + "/f";
    TempDir::write_file(deep_file, "x");
    ScanRun refused = scan({deep_file, clean}, {"230 x\r\n"});
    EXPECT_EQ(refused.run.out, deep_file + " ERROR\n" + clean + " INFECTED\n");
    EXPECT_EQ(refused.run.status, 4);
    EXPECT_EQ(refused.wire, scan_line(clean) + kQuit);
}

TEST_F(ScanLoop, StandardInputIsDumpedWholeAndRemovedAfterwards) {
    std::string input;
    for (int i = 0; i < 2 * 8192 + 123; ++i)
        input += static_cast<char>('a' + i % 26);
    std::string dumped;
    std::string dump_path;

    FakeServer server;
    std::string got;
    server.send(FakeServer::greeting())
        .expect_line()
        .call([&] {
            // The server reads the file that the scan line names.
            std::string wire = server.received_so_far();
            dump_path = wire.substr(6 + kLetters.size() + 1);
            dump_path.resize(dump_path.find("\r\n"));
            dumped = TempDir::read(dump_path);
        })
        .send("220 ok\r\n")
        .expect_line()
        .send("220 ok\r\n")
        .expect_line()
        .send("200 bye\r\n");
    server.start();
    ProcessResult run = run_client({"-p", server.path(), "-s", "-", "-"}, {"", input, 10000});
    std::string wire = server.received();
    EXPECT_EQ(run.out, "- OK\n- OK\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(dumped, input);
    EXPECT_EQ(dump_path.rfind("/tmp/orvaclient-stdin-dump-", 0), 0u);
    // Both scans name the same dump; the second found the input at its end.
    EXPECT_EQ(wire, scan_line(dump_path) + scan_line(dump_path) + kQuit);
    struct stat info;
    EXPECT_NE(stat(dump_path.c_str(), &info), 0) << "dump file left behind";
}

TEST_F(ScanLoop, QuietPrintsNothingAndKeepsTheStatus) {
    std::string a = dir.write("a", "x");
    ScanRun r = scan({"-q", a, dir / "missing", a}, {"220 ok\r\n", "230 bad\r\n"});
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.run.status, 4);
}

TEST_F(ScanLoop, ALostConnectionFailsEveryLaterOperand) {
    std::string a = dir.write("a", "x");
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send("220 ok\r\n").expect_line().close_now();
    server.start();
    ProcessResult run = run_client({"-p", server.path(), "-s", a, a, a});
    server.received();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out, a + " OK\n" + a + " ERROR\n" + a + " ERROR\n");
    EXPECT_EQ(run.status, 7);
}

TEST_F(ScanLoop, APlantedLinkAtTheDumpNameIsLeftAlone) {
    std::string target = dir.write("target", "precious");
    FakeServer server;
    server.send(FakeServer::greeting()).expect_line().send("200 bye\r\n");
    server.start();
    // The shell plants the link at the name for its own process id, then
    // becomes the client, which keeps that id.
    std::string script = "ln -s '" + target + "' /tmp/orvaclient-stdin-dump-$$ && exec '" +
                         ORVACLIENT_BINARY + "' -p '" + server.path() + "' -s -";
    ProcessResult run = run_process("/bin/sh", {"sh", "-c", script}, {"", "input", 10000});
    std::string wire = server.received();
    EXPECT_EQ(run.out, "STDIN ERROR\n");
    EXPECT_NE(run.err.find("Could not write file /tmp/orvaclient-stdin-dump-"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(": File exists\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(wire, kQuit);
    EXPECT_EQ(TempDir::read(target), "precious");
    // Remove the link the shell made (its name holds the shell's pid).
    for (const std::string &name : TempDir::list("/tmp")) {
        std::string path = "/tmp/" + name;
        char buffer[4096];
        ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
        if (name.rfind("orvaclient-stdin-dump-", 0) == 0 && n > 0 &&
            std::string(buffer, static_cast<size_t>(n)) == target) {
            struct stat info;
            EXPECT_EQ(lstat(path.c_str(), &info), 0);
            EXPECT_TRUE(S_ISLNK(info.st_mode));
            unlink(path.c_str());
        }
    }
}

TEST_F(ScanLoop, WithWTheStatusIsTheRunsMostSevereOutcome) {
    std::string a = dir.write("a", "x");
    // In each pair the first outcome is the more severe one; without -w the
    // second, the last file's, decides.
    struct Case {
        std::string first;
        std::string second;
        int status;
        int last_status;
    } cases[] = {
        {"220 x\r\n", "220 x\r\n", 0, 0}, {"221 x\r\n", "220 x\r\n", 5, 0},
        {"233 x\r\n", "221 x\r\n", 2, 5}, {"232 x\r\n", "233 x\r\n", 3, 2},
        {"240 x\r\n", "232 x\r\n", 6, 3}, {"234 x\r\n", "240 x\r\n", 8, 6},
        {"525 x\r\n", "234 x\r\n", 7, 8}, {"230 x\r\n", "525 x\r\n", 4, 7},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(scan({"-w", a, a}, {c.first, c.second}).run.status, c.status) << c.first;
        EXPECT_EQ(scan({a, a}, {c.first, c.second}).run.status, c.last_status) << c.first;
    }
}

TEST_F(ScanLoop, OverTcpAServerClosingMidUploadFailsTheFile) {
    std::string big = dir.write("big", std::string(1 << 20, 'x'));
    FakeServer server(FakeServer::Transport::Tcp);
    server.send(FakeServer::greeting())
        .expect_line()
        .send("310 send it\r\n")
        .expect_bytes(1000)
        .close_now();
    server.start();
    ProcessResult run = run_client({"-t", server.address(), "-s", big, big});
    server.received();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out, big + " ERROR\n" + big + " ERROR\n");
    EXPECT_EQ(run.status, 7);
}

TEST_F(ScanLoop, OverTcpAFileThatShrinksDuringItsUploadFailsAlone) {
    // The upload stops short and the library closes the connection: the
    // next file goes to a new one.
    std::string f1 = dir.write("f1", "1234");
    std::string f2 = dir.write("f2", "2");
    std::string f3 = dir.write("f3", "3");
    FakeServer server(FakeServer::Transport::Tcp);
    server.send(FakeServer::greeting()).expect_line();
    server.call([&] { TempDir::write_file(f1, ""); }).send("310 go\r\n");
    server.next_client().send(FakeServer::greeting());
    for (int i = 0; i < 2; ++i)
        server.expect_line().send("220 ok\r\n");
    server.expect_line().send("200 bye\r\n");
    server.start();
    ProcessResult run = run_client({"-t", server.address(), "-s", f1, f2, f3});
    EXPECT_EQ(run.out, f1 + " ERROR\n" + f2 + " OK\n" + f3 + " OK\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.received(1).substr(server.received(1).size() - 6), kQuit);
}

TEST_F(ScanLoop, AFileSizeLimitFailsOnlyTheWritesBeyondIt) {
    // A cured copy and a copy of standard input larger than the limit: each
    // fails its own file, and the run goes on.
    TempDirAsTmp tmp;
    std::string f1 = dir.write("f1", "infected");
    std::string f3 = dir.write("f3", "clean");
    FakeServer server;
    server.send(FakeServer::greeting())
        .expect_line()
        .send("323-Cure.Me x\r\n312-5000 A6BB7BDE3251CA2D810D32DADD9E8AE7\r\n" +
              std::string(5000, 'x') + "221 x\r\n")
        .expect_line()
        .send("220 ok\r\n")
        .expect_line()
        .send("200 bye\r\n");
    server.start();
    std::string script = "ulimit -f 4 && exec '" + std::string(ORVACLIENT_BINARY) + "' -p '" +
                         server.path() + "' -u -s '" + f1 + "' - '" + f3 + "'";
    ProcessResult run =
        run_process("/bin/sh", {"sh", "-c", script}, {"", std::string(20000, 'y'), 10000});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.out, f1 + " ERROR\nSTDIN ERROR\n" + f3 + " OK\n");
    EXPECT_NE(run.err.find(": File too large\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(TempDir::read(f1), "infected");
    EXPECT_EQ(tmp.entries(), std::vector<std::string>{}) << "a partial cured copy was left";
}

TEST_F(ScanLoop, ResultsThatCannotBeWrittenFailTheRun) {
    std::string a = dir.write("a", "x");
    for (bool quiet : {false, true}) {
        for (bool check : {false, true}) {
            FakeServer server;
            server.send(FakeServer::greeting()).expect_line();
            if (check) {
                server.send("200 \r\n");
            } else {
                server.send("220 ok\r\n").expect_line().send("200 bye\r\n");
            }
            server.start();
            std::string script = "exec '" + std::string(ORVACLIENT_BINARY) + "' -p '" +
                                 server.path() + (check ? "' -c" : "' -s " + a) +
                                 (quiet ? " -q" : "") + " >/dev/full";
            ProcessResult run = run_process("/bin/sh", {"sh", "-c", script});
            SCOPED_TRACE(script);
            if (quiet) {
                EXPECT_EQ(run.err, "");
                EXPECT_EQ(run.status, 0);
            } else {
                EXPECT_EQ(run.err, "ERROR: Could not write the results to standard output: No "
                                   "space left on device\n");
                EXPECT_EQ(run.status, 1);
            }
        }
    }
}

TEST_F(ScanLoop, ACuredCopyReplacesTheFile) {
    std::string f = dir.write("f", "infected!");
    std::string body = "clean";
    // MD5 of "clean".
    std::string reply = "323-Test.Virus " + f + "\r\n312-5 123402C04DCFB6625F688F771A5FC05D\r\n" +
                        body + "221 " + f + "\r\n";
    ScanRun r = scan({"-u", f}, {reply}, {"", "", 10000});
    EXPECT_EQ(r.run.out, f + " CURED\nLCURED Test.Virus\n");
    EXPECT_EQ(r.run.status, 5);
    EXPECT_EQ(TempDir::read(f), body);
}

} // namespace

// The options that scripts use, through the built client against the fake
// server and the stand-in: long names, exclusions, lists of names, results
// of unclean files only, JSON lines, the summary, the progress line and
// waiting for the server.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "cli_helpers.h"
#include "standin/signatures.h"
#include "standin/standin_process.h"
#include "support/peak_memory.h"
#include "support/temp_dir.h"

namespace {

class ScriptingOptions : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error_output(); }

    ProcessResult scan(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), "-s");
        return run_client(args, {dir.path(), input, 2 * kWaitLimitMs});
    }
    std::string socket() const { return "-p" + server.socket_path(); }
    std::string tcp() const { return "-t127.0.0.1:" + std::to_string(server.tcp_port()); }

    StandinProcess server{{"--tcp", "0"}};
    TempDir dir;
    std::string infected = standin::test_file_bytes();
    std::string found = "LINFECTED " + std::string(standin::kTestFileName) + "\n";
};

TEST_F(ScriptingOptions, LongNamesOfTheEarlierOptionsAndUnknownLongOptions) {
    ASSERT_EQ(mkdir((dir / "t").c_str(), 0700), 0);
    dir.write("t/a", "clean");
    dir.write("t/b", infected);
    ProcessResult shorts = scan({socket(), "-r", "-j", "2", "t"});
    ProcessResult longs = scan(
        {"--tcp=127.0.0.1:" + std::to_string(server.tcp_port()), "--recursive", "--jobs=2", "t"});
    EXPECT_EQ(longs.out, shorts.out);
    EXPECT_EQ(longs.out, "t/a OK\nt/b INFECTED\n" + found);
    EXPECT_EQ(longs.status, 4);
    EXPECT_EQ(scan({socket(), "--whole-run", "t/b", "t/a"}).status, 4);

    const std::pair<std::string, std::string> bad[] = {
        {"--bogus", "orvaclient: unrecognized option '--bogus'\n"},
        {"--json=yes", "orvaclient: option '--json' doesn't allow an argument\n"},
        {"--jobs", "orvaclient: option '--jobs' requires an argument\n"},
    };
    for (const auto &[option, diagnostic] : bad) {
        ProcessResult run = run_client({"-p", "/x", "-c", option});
        EXPECT_EQ(run.err, diagnostic + "ERROR: invalid long option; orvaclient -h lists the "
                                        "options\n")
            << option;
        EXPECT_EQ(run.status, 9) << option;
    }
}

TEST_F(ScriptingOptions, ExclusionsByNameAndByPathInsideTreesOnly) {
    for (const char *folder : {"t", "t/.cache", "t/keep", "t/keep/skip"})
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0700), 0);
    for (const char *name :
         {"t/a.tmp", "t/.cache/x", "t/keep/b", "t/keep/skip/c", "t/keep/d.tmp", "t/z", "top.tmp"})
        dir.write(name, "clean");
    ProcessResult run = scan({socket(), "-r", "--exclude=*.tmp", "--exclude", ".cache",
                              "--exclude=t/keep/s*", "t", "top.tmp"});
    // The user named top.tmp: it is scanned.
    EXPECT_EQ(run.out, "t/keep/b OK\nt/z OK\ntop.tmp OK\n");
    EXPECT_EQ(run.status, 0);
    // A pattern with a slash matches the whole name, one level at a time.
    run = scan({socket(), "-r", "--exclude=t/*", "t"});
    EXPECT_EQ(run.out, "");
    run = scan({socket(), "-r", "--exclude=t*b", "t"});
    EXPECT_EQ(lines_of(run.out).size(), 6u) << "a pattern without a slash names an entry";
}

TEST_F(ScriptingOptions, NamesFromAListAfterTheOperands) {
    std::string spaced = dir.write("with space", "clean");
    dir.write("new\nline", infected);
    dir.write("list", "with space\n\nmissing\n" + dir / "with space" + "\n");
    ProcessResult run = scan({socket(), "--files-from=list", "-"}, "stdin");
    EXPECT_EQ(run.out, "- OK\nwith space OK\n" + (dir / "missing") +
                           " ERROR No such file or directory\n" + spaced + " OK\n");
    EXPECT_EQ(run.status, 0);

    // From standard input, separated by NUL bytes, over TCP and -j.
    std::string list = std::string("new\nline") + '\0' + '\0' + "with space" + '\0';
    ProcessResult nul = scan({tcp(), "-j", "3", "--files-from", "-", "--null"}, list);
    EXPECT_EQ(nul.out, "new\nline INFECTED\n" + found + "with space OK\n");
    EXPECT_EQ(nul.status, 0);

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--files-from=-", "-"},
         "ERROR: standard input cannot be both the list of --files-from and a - operand\n"},
        {{"--null", "list"}, "ERROR: --null applies to the list of --files-from\n"},
        {{"--files-from=none"},
         "ERROR: Could not open the list of files none: No such file or directory\n"},
    };
    for (const auto &[args, message] : refused) {
        std::vector<std::string> all = {socket()};
        all.insert(all.end(), args.begin(), args.end());
        ProcessResult bad = scan(all);
        EXPECT_EQ(bad.err, message);
        EXPECT_EQ(bad.status, 9);
    }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST_F(ScriptingOptions, AListOfTenThousandNamesTakesNoMoreMemoryThanAThousand) {
    if (kAddressSanitizer)
        GTEST_SKIP() << "the address sanitizer keeps freed memory aside, so memory grows with "
                        "every allocation; the other builds measure it";
    // Long names: ten thousand of them held at once would take megabytes.
    std::string folder = ".";
    for (int i = 0; i < 40; ++i)
        folder += "/.";
    dir.write("f", "clean");
    auto peak = [&](size_t names) {
        std::string list;
        for (size_t i = 0; i < names; ++i)
            list += folder + "/" + std::string(300 + i % 7, '/') + "f\n";
        // The list comes on standard input, kept open until every name is
        // reported: the peak is read while the client waits for more.
        PeakMemoryRun run = run_measuring_memory(ORVACLIENT_BINARY,
                                                 {"orvaclient", socket(), "-s", "--files-from=-"},
                                                 dir.path(), list, names);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(lines_of(run.out).size(), names);
        return run.peak_kib;
    };
    long small = peak(1000);
    long large = peak(10000);
    EXPECT_LT(large - small, 512) << small << " KiB, then " << large << " KiB";
}

TEST_F(ScriptingOptions, InfectedPrintsOnlyWhatWasNotFoundClean) {
    std::string a = dir.write("a", "x");
    struct Case {
        std::string reply;
        std::string out;
        int status;
    } cases[] = {
        {"220 x\r\n", "", 0},
        {"328-Odd x\r\n220 x\r\n", "", 0},
        {"322-Bad.One x\r\n230 x\r\n", a + " INFECTED\nLINFECTED Bad.One\n", 4},
        {"323-Gone x\r\n221 x\r\n", a + " CURED\nLCURED Gone\n", 5},
        {"231 x\r\n", a + " CUREFAILED\n", 4},
        {"327-Warn x\r\n233 x\r\n", a + " WARNING\nLWARNING Warn\n", 2},
        {"232 x\r\n", a + " SUSPICION\n", 3},
        {"240 x\r\n", a + " PROTECTED\n", 6},
        {"234 x\r\n", a + " CORRUPTED\n", 8},
        {"241 x\r\n", a + " ERROR\n", 8},
        {"525 x\r\n", a + " ERROR\n", 7},
    };
    for (const Case &c : cases) {
        FakeServer fake;
        fake.send(FakeServer::greeting()).expect_line().send(c.reply);
        fake.expect_line().send("200 bye\r\n");
        fake.start();
        ProcessResult run = run_client({"-p", fake.path(), "-s", "--infected", a});
        EXPECT_EQ(run.out, c.out) << c.reply;
        EXPECT_EQ(run.status, c.status) << c.reply;
    }
    ProcessResult missing = scan({socket(), "--infected", "missing"});
    EXPECT_EQ(missing.out, (dir / "missing") + " ERROR No such file or directory\n");
}

TEST_F(ScriptingOptions, JsonLinesFollowTheSchemaOverBothTransportsAndAnyJobs) {
    ASSERT_EQ(mkdir((dir / "t").c_str(), 0700), 0);
    dir.write("t/clean", "clean");
    dir.write("t/bad\n\"name\\", infected);
    dir.write("t/latin1-\xe9", "clean");
    dir.write("t/utf8-\xc3\xa9", "clean");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ProcessResult one = scan({socket(), "-r", "--json", "t", "missing", "fifo", "-"}, "x");
    std::vector<std::string> lines = lines_of(one.out);
    ASSERT_EQ(lines.size(), 7u) << one.out;
    for (const std::string &line : lines)
        EXPECT_TRUE(follows_schema(line)) << line;
    const std::string none = ",\"cured\":[],\"warning\":[],\"suspicion\":[]";
    EXPECT_EQ(lines[0], "{\"file\":\"t/bad\\n\\\"name\\\\\",\"verdict\":\"INFECTED\",\"status\":4,"
                        "\"infected\":[\"" +
                            std::string(standin::kTestFileName) + "\"]" + none + "}");
    // A byte outside UTF-8 is an escaped lone surrogate; UTF-8 stays as it is.
    EXPECT_EQ(lines[2], "{\"file\":\"t/latin1-\\udce9\",\"verdict\":\"OK\",\"status\":0,"
                        "\"infected\":[]" +
                            none + "}");
    EXPECT_EQ(lines[3].substr(0, 20), "{\"file\":\"t/utf8-\xc3\xa9\",");
    EXPECT_EQ(lines[4], "{\"file\":\"missing\",\"verdict\":\"ERROR\",\"status\":7,\"infected\":[]" +
                            none + ",\"error\":\"No such file or directory\"}");
    EXPECT_NE(lines[5].find(",\"error\":\"not a regular file\"}"), std::string::npos);
    EXPECT_EQ(one.status, 4);
    for (const std::string &address : {socket(), tcp()}) {
        ProcessResult four =
            scan({address, "-j", "4", "-r", "--json", "t", "missing", "fifo", "-"}, "x");
        EXPECT_EQ(four.out, one.out) << address;
        EXPECT_EQ(four.status, 4) << address;
    }
}

TEST_F(ScriptingOptions, SummaryCountsOnStandardErrorOnly) {
    dir.write("a", "clean");
    dir.write("b", infected);
    ProcessResult plain = scan({socket(), "a", "b", "missing"});
    ProcessResult run = scan({socket(), "--summary", "a", "b", "missing"});
    EXPECT_EQ(run.out, plain.out);
    EXPECT_EQ(run.status, plain.status);
    std::string counts = run.err.substr(0, run.err.rfind("Time: "));
    EXPECT_EQ(counts, "Scanned: 2\nClean: 1\nInfected: 1\nCured: 0\nWarnings: 0\nSuspicions: 0\n"
                      "Other verdicts: 0\nNot scanned: 1\n");
    EXPECT_NE(run.err.find("Time: "), std::string::npos);
    EXPECT_EQ(run.err.back(), '\n');
}

TEST_F(ScriptingOptions, ProgressOnlyOnATerminalAndClearedAtTheEnd) {
    dir.write("a", "clean");
    ProcessResult piped = scan({socket(), "--progress", "a"});
    EXPECT_EQ(piped.out, "a OK\n");
    EXPECT_EQ(piped.err, "") << "standard error is no terminal";
    // script(1) gives the client a terminal for both outputs: the line is
    // cleared before the result and at the end.
    std::string command =
        std::string(ORVACLIENT_BINARY) + " " + socket() + " -s --progress " + (dir / "a");
    ProcessResult shown = run_process("/usr/bin/script", {"script", "-qec", command, "/dev/null"});
    std::string start = "\r0 files, 0 found, 0.0 files/s: " + (dir / "a") + "\033[K\r\033[K" +
                        (dir / "a") + " OK\r\n";
    EXPECT_EQ(shown.out.substr(0, start.size()), start);
    std::string rest = shown.out.substr(start.size()); // a later redraw, cleared too
    EXPECT_TRUE(rest.empty() || rest.ends_with("\r\033[K")) << rest;
}

TEST(WaitOption, TheFirstConnectionIsTriedUntilAServerGreets) {
    // Nothing listens on the port at first; the server comes a second later.
    uint16_t port = free_tcp_port();
    std::string address = "127.0.0.1:" + std::to_string(port);
    ProcessResult run;
    std::thread client([&] { run = run_client({"-c", "-t", address, "--wait=10"}); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    {
        FakeServer late(FakeServer::Transport::Tcp, port);
        late.send(FakeServer::greeting()).expect_line().send("200 \r\n");
        late.start();
        client.join();
        EXPECT_EQ(late.received(), "KEYS\r\n");
    }
    EXPECT_EQ(run.out, "RECORDS 123456\nUPDATED 05-03-2004\n\n");
    EXPECT_EQ(run.status, 0);

    // A server that never comes: today's message, after the wait.
    auto start = std::chrono::steady_clock::now();
    TempDir dir;
    std::string file = dir.write("f", "x");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-c"}, std::vector<std::string>{"-s", "-j", "2", file}}) {
        std::vector<std::string> all = {"-p", dir / "none.sock", "--wait=1"};
        all.insert(all.end(), args.begin(), args.end());
        ProcessResult never = run_client(all);
        EXPECT_EQ(never.err, "ERROR: Could not connect to server!\n");
        EXPECT_EQ(never.status, 1);
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::seconds(5));
}

} // namespace

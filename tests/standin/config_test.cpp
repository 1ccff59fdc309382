// The command line: values, limits and errors.
#include <gtest/gtest.h>

#include "standin/config.h"
#include "standin/fingerprint.h"
#include "standin_process.h"

namespace {

using standin::Parsed;
using standin::ServerConfig;

struct Outcome {
    Parsed parsed;
    ServerConfig config;
    std::string error;
};

Outcome parse(std::vector<std::string> args) {
    Outcome outcome{Parsed::Error, {}, {}};
    outcome.parsed = standin::parse_command_line(args, outcome.config, outcome.error);
    return outcome;
}

std::string error_of(std::vector<std::string> args) {
    Outcome outcome = parse(std::move(args));
    EXPECT_EQ(outcome.parsed, Parsed::Error);
    return outcome.error;
}

TEST(CommandLine, DefaultsAndEveryOption) {
    Outcome plain = parse({"--socket", "/tmp/s"});
    ASSERT_EQ(plain.parsed, Parsed::Run) << plain.error;
    EXPECT_EQ(plain.config.socket_path, "/tmp/s");
    EXPECT_FALSE(plain.config.tcp);
    EXPECT_EQ(plain.config.date, "15062024");
    EXPECT_EQ(plain.config.records, 1000u);
    EXPECT_EQ(plain.config.tag, "standin");
    EXPECT_EQ(plain.config.signatures.size(), 1u);
    EXPECT_FALSE(plain.config.close_after.has_value());

    Outcome all = parse({"--tcp=0", "--date", "29022024", "--records", "4294967295", "--tag",
                         "nineteen-chars-tag1", "--key", "1a2b-3c4d-5e6f  31122027 5 L 100",
                         "--key=1-2-3 01012030 0 N 0", "--refuse", "not-allowed", "--slow", "250",
                         "--scan-delay=2", "--bytewise", "--close-after", "0", "--instant"});
    ASSERT_EQ(all.parsed, Parsed::Run) << all.error;
    EXPECT_TRUE(all.config.socket_path.empty());
    EXPECT_TRUE(all.config.tcp);
    EXPECT_EQ(all.config.tcp_port, 0);
    EXPECT_EQ(all.config.date, "29022024");
    EXPECT_EQ(all.config.records, 4294967295u);
    EXPECT_EQ(all.config.tag, "nineteen-chars-tag1");
    EXPECT_EQ(all.config.keys, (std::vector<std::string>{"1a2b-3c4d-5e6f 31122027 5 L 100",
                                                         "1-2-3 01012030 0 N 0"}));
    EXPECT_EQ(all.config.refuse, standin::Refusal::NotAllowed);
    EXPECT_EQ(all.config.slow_ms, 250u);
    EXPECT_EQ(all.config.scan_delay_ms, 2u);
    EXPECT_TRUE(all.config.bytewise);
    EXPECT_EQ(all.config.close_after, 0u);
    EXPECT_TRUE(all.config.instant);
    EXPECT_EQ(plain.config.max_connections, standin::kMaxClients);
    Outcome pool = parse({"--tcp=0", "--max-connections", "4096", "--greet-delay=40"});
    EXPECT_EQ(pool.config.max_connections, 4096u);
    EXPECT_EQ(pool.config.greet_delay_ms, 40u);

    EXPECT_EQ(parse({"--socket", "/s", "--help"}).parsed, Parsed::Help);
}

TEST(CommandLine, RefusesBadOptionsWithAReason) {
    EXPECT_EQ(error_of({}), "give --socket PATH, --tcp PORT or both");
    EXPECT_EQ(error_of({"--socket"}), "--socket needs a value");
    EXPECT_EQ(error_of({"--socket", "/s", "--verbose"}), "unknown option '--verbose'");
    EXPECT_EQ(error_of({"--tcp", "65536"}),
              "--tcp: expected a number from 0 to 65535, not '65536'");
    EXPECT_EQ(error_of({"--tcp", "-1"}), "--tcp: expected a number from 0 to 65535, not '-1'");
    EXPECT_EQ(error_of({"--tcp", "0", "--records", "4294967296"}),
              "--records: expected a number from 0 to 4294967295, not '4294967296'");
    EXPECT_EQ(error_of({"--tcp", "0", "--date", "29022023"}),
              "--date: expected a day as DDMMYYYY, not '29022023'");
    EXPECT_EQ(error_of({"--tcp", "0", "--tag", "twenty-characters-xx"}),
              "--tag: expected 1 to 19 printable characters without blanks, not "
              "'twenty-characters-xx'");
    EXPECT_NE(error_of({"--tcp", "0", "--key", "1a2b-3c4d 31122027 5 L 100"}), "");
    EXPECT_EQ(error_of({"--tcp", "0", "--refuse", "busy"}),
              "--refuse: expected overloaded or not-allowed, not 'busy'");
    EXPECT_EQ(error_of({"--tcp", "0", "--slow", "60001"}),
              "--slow: expected a number from 0 to 60000, not '60001'");
    EXPECT_EQ(error_of({"--tcp", "0", "--scan-delay", "60001"}),
              "--scan-delay: expected a number from 0 to 60000, not '60001'");
    EXPECT_EQ(error_of({"--tcp", "0", "--max-connections", "0"}),
              "--max-connections: expected a number from 1 to 4096, not '0'");
    EXPECT_EQ(error_of({"--tcp", "0", "--bytewise=yes"}), "--bytewise takes no value");
    EXPECT_EQ(error_of({"--tcp", "0", "--instant", "--serve-cured", "/etc/hostname"}),
              "--instant and --serve-cured exclude each other");
    EXPECT_EQ(error_of({"--tcp", "0", "--signatures", "/nonexistent/sigs"}),
              "/nonexistent/sigs: No such file or directory");
}

// Whether the command line takes `value` for `option`.
bool takes(const char *option, const std::string &value) {
    return parse({"--tcp", "0", option, value}).parsed == Parsed::Run;
}

TEST(Values, DatesTagsAndKeys) {
    for (const char *day : {"31122027", "29022000"})
        EXPECT_TRUE(takes("--date", day)) << day;
    for (const char *day : {"29021900", "31042024", "00012024", "01132024", "1122027", "3112202a"})
        EXPECT_FALSE(takes("--date", day)) << day;

    EXPECT_TRUE(takes("--tag", "x"));
    EXPECT_FALSE(takes("--tag", ""));
    EXPECT_FALSE(takes("--tag", "two words"));

    Outcome key = parse({"--tcp", "0", "--key", " DEADBEEF-0-abcdef12\t01022030 7 L 8 "});
    EXPECT_EQ(key.config.keys, std::vector<std::string>{"DEADBEEF-0-abcdef12 01022030 7 L 8"});
    for (const char *bad : {"1-2 01022030 7 L 8", "1-2-3-4 01022030 7 L 8", "1--3 01022030 7 L 8",
                            "123456789-2-3 01022030 7 L 8", "1-2-g 01022030 7 L 8",
                            "1-2-3 32012030 7 L 8", "1-2-3 01022030 x L 8", "1-2-3 01022030 7 LN 8",
                            "1-2-3 01022030 7 L", "1-2-3 01022030 7 L 8 9"})
        EXPECT_FALSE(takes("--key", bad)) << bad;
}

TEST(ServeCured, LoadsTheFileAndItsDigestOnce) {
    TestFolder folder;
    std::string body(300000, 'z');
    Outcome outcome = parse({"--tcp", "0", "--serve-cured", folder.write("body", body)});
    ASSERT_EQ(outcome.parsed, Parsed::Run) << outcome.error;
    EXPECT_TRUE(outcome.config.serve_cured);
    EXPECT_EQ(outcome.config.cured_copy, body);
    EXPECT_EQ(outcome.config.cured_digest, standin::md5_text(body));
    EXPECT_EQ(error_of({"--tcp", "0", "--serve-cured", folder.path()}),
              folder.path() + ": Is a directory");
}

} // namespace

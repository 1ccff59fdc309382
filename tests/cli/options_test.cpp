// The command line of the built client: help, version, option errors and
// their exit statuses.
#include <gtest/gtest.h>

#include <regex>

#include "cli_helpers.h"

namespace {

void expect_help(const ProcessResult &run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    auto lines = lines_of(run.err);
    ASSERT_EQ(lines.size(), 2 + lines_of(kUsage + kLaterOptions).size()) << run.err;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kVersionPattern))) << lines[0];
    EXPECT_FALSE(lines[1].empty()) << "the maker's notice";
    EXPECT_EQ(run.err.substr(lines[0].size() + lines[1].size() + 2), kUsage + kLaterOptions);
}

void expect_version_only(const ProcessResult &run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    auto lines = lines_of(run.err);
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kVersionPattern))) << lines[0];
    EXPECT_EQ(run.err.back(), '\n');
}

TEST(CommandLine, HelpWithoutArgumentsOrWithH) {
    expect_help(run_client({}));
    expect_help(run_client({"-h"}));
    expect_help(run_client({"-h", "-v"}));
    expect_help(run_client({"-qh", "-p"})); // -h ends the run before -p is missing its value
    EXPECT_EQ(run_client({}).err, run_client({"-h"}).err);
}

TEST(CommandLine, VersionEndsTheRunBeforeLaterOptions) {
    expect_version_only(run_client({"-v"}));
    expect_version_only(run_client({"-v", "-h"}));
    expect_version_only(run_client({"-v", "-p", "/a", "-p", "/b"}));
}

TEST(CommandLine, ValidationFailuresInTheirOrder) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
        int status;
    };
    const std::string no_p = "ERROR: required parameter -p was not specified\n";
    const std::string mode = "ERROR: either -c or -s switch should be specified\n";
    const std::string files = "ERROR: at least one file should be specified for scanning\n";
    const Case cases[] = {
        {{"-c"}, no_p, 9},
        {{"-s"}, no_p, 9}, // the missing -p is reported, not the missing files
        {{"-q"}, no_p, 9},
        {{"-p", "/x", "-c", "-s"}, mode, 9},
        {{"-p/x", "-q"}, mode, 9},
        {{"-p", "/x", "-s"}, files, 9},
        {{"-p", "/x", "-p", "/x", "-c"},
         "ERROR: the path to the orvaserver socket has been already specified!\n",
         1},
        {{"-c", "-j", "4", "-r", "-w"}, no_p, 9}, // neither -p nor -t
        {{"-t", "h", "-p", "/x", "-c"},
         "ERROR: -p and -t are exclusive: specify only one of them\n",
         9},
        {{"-t", "h:1", "-t", "h:1", "-c"},
         "ERROR: the address of the orvaserver has been already specified!\n",
         1},
        {{"-tlocalhost", "-q"}, mode, 9},
    };
    for (const Case &c : cases) {
        ProcessResult run = run_client(c.args);
        EXPECT_EQ(run.err, c.err) << c.args[0];
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_EQ(run.out, "");
    }
}

TEST(CommandLine, ConnectionCountsOutsideOneToSixtyFourAreRefused) {
    for (const char *count : {"0", "65", "", "4x", "-1", " 2"}) {
        ProcessResult run = run_client({"-p", "/x", "-s", "f", "-j", count});
        EXPECT_EQ(run.err, "ERROR: -j expects a number of connections from 1 to 64\n") << count;
        EXPECT_EQ(run.status, 9) << count;
    }
}

TEST(CommandLine, BadTcpAddressesAreRefusedBeforeConnecting) {
    for (const char *address : {"host:70000", "host:", "host:0", "host:12junk", "", ":9001",
                                "host:+80", "host:99999999999999999999"}) {
        ProcessResult run = run_client({"-t", address, "-c"});
        EXPECT_EQ(run.err, "ERROR: -t expects host[:port] with a port from 1 to 65535\n")
            << address;
        EXPECT_EQ(run.status, 9) << address;
    }
}

TEST(CommandLine, UnknownOptionsAreReportedAndReadingGoesOn) {
    ProcessResult run = run_client({"-x", "-c"});
    EXPECT_EQ(run.err, "orvaclient: invalid option -- 'x'\nUnrecognized option 'x'\n" +
                           std::string("ERROR: required parameter -p was not specified\n"));
    EXPECT_EQ(run.status, 9);

    run = run_client({"-c", "-p"});
    EXPECT_EQ(run.err, "orvaclient: option requires an argument -- 'p'\n"
                       "Unrecognized option 'p'\n"
                       "ERROR: required parameter -p was not specified\n");
    EXPECT_EQ(run.status, 9);

    run = run_client({"-n", "-c", "-s"}); // -n takes "-c" as its value
    EXPECT_EQ(run.err, "Unrecognized option 'n'\n"
                       "ERROR: required parameter -p was not specified\n");
}

TEST(CommandLine, DoubleDashEndsTheOptions) {
    // "-c" after "--" is an operand, so neither mode is chosen.
    ProcessResult run = run_client({"-p", "/x", "--", "-c"});
    EXPECT_EQ(run.err, "ERROR: either -c or -s switch should be specified\n");
    EXPECT_EQ(run.status, 9);
}

TEST(CommandLine, SocketPathThatDoesNotFitTheWorkingBufferIsRefused) {
    ProcessResult run = run_client({"-c", "-p", "/" + std::string(8190, 'a')});
    EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n") << "8191 characters fit";
    EXPECT_EQ(run.status, 1);

    run = run_client({"-c", "-p", "/" + std::string(8191, 'a')});
    EXPECT_EQ(run.err, "ERROR: the path to the orvaserver socket is too long.\n");
    EXPECT_EQ(run.status, 1);

    // Relative: the current directory, "/" and the value must fit together.
    ProcessOptions in_root;
    in_root.working_directory = "/";
    run = run_client({"-c", "-p", std::string(8190, 'a')}, in_root);
    EXPECT_EQ(run.err, "ERROR: the path to the orvaserver socket is too long.\n");
    EXPECT_EQ(run.status, 1);
    run = run_client({"-c", "-p", std::string(8189, 'a')}, in_root);
    EXPECT_EQ(run.err, "ERROR: Could not connect to server!\n");
}

TEST(CommandLine, CurrentDirectoryThatIsGoneFailsARelativePath) {
    char pattern[] = "/tmp/orva-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string script = std::string("cd ") + pattern + " && rmdir " + pattern + " && exec " +
                         ORVACLIENT_BINARY + " -c -p sock";
    ProcessResult run = run_process("/bin/sh", {"sh", "-c", script});
    EXPECT_EQ(run.err, "ERROR: Could not get current directory.\n");
    EXPECT_EQ(run.status, 1);
}

} // namespace

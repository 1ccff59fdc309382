// A list of servers given to -t: its syntax, the next server used whatever
// the first one does wrong (standard output stays that of one good server),
// every server down, the spread of -j over the servers, and a server tried
// again after the revive time.
#include <gtest/gtest.h>

#include <functional>

#include "cli_helpers.h"
#include "standin/standin_process.h"
#include "support/temp_dir.h"

namespace {

const std::string kOk = "220 ok\r\n";
const std::string kBye = "200 bye\r\n";

std::string refusing_address() {
    return "127.0.0.1:" + std::to_string(free_tcp_port());
}

std::string down(const std::string &address, const std::string &why) {
    return "Server " + address + " marked down: " + why + ".\n";
}

TEST(ServerListSyntax, ABadItemIsAUsageErrorThatNamesIt) {
    const std::string expects =
        "ERROR: -t expects host[:port],host[:port],... with ports from 1 to 65535; ";
    const std::pair<std::string, std::string> cases[] = {
        {"127.0.0.1:9001,", "item 2 of the list is empty"},
        {",127.0.0.1", "item 1 of the list is empty"},
        {"a:1,h:0,b", "item 2 of the list is not: h:0"},
        {"a,b:12junk", "item 2 of the list is not: b:12junk"},
        {"a,[::1", "item 2 of the list is not: [::1"},
        {"a,b c", "item 2 of the list is not: b c"},
    };
    for (const auto &[list, what] : cases) {
        ProcessResult run = run_client({"-t", list, "-s", "f"});
        EXPECT_EQ(run.err, expects + what + "\n") << list;
        EXPECT_EQ(run.status, 9) << list;
        EXPECT_EQ(run.out, "");
    }
    for (const char *option : {"--timeout=0", "--timeout=86401", "--revive=x", "--revive=-1"}) {
        ProcessResult run = run_client({"-t", "a,b", option, "-c"});
        EXPECT_EQ(run.status, 9) << option;
        EXPECT_NE(run.err.find("expects a number of seconds"), std::string::npos) << run.err;
    }
}

class FailOver : public ::testing::Test {
  protected:
    TempDir dir;
    std::string f1 = dir.write("f1", "1");
    std::string f2 = dir.write("f2", "2");
};

TEST_F(FailOver, AFirstServerThatCannotBeUsedLeavesTheOutputOfOneGoodServer) {
    struct Case {
        const char *what;
        std::function<void(FakeServer &)> script; // null: nothing listens
        std::string why;
    };
    const Case cases[] = {
        {"refusing", nullptr, "could not connect to the server"},
        {"overloaded", [](FakeServer &bad) { bad.send("401 busy\r\n"); },
         "the server is overloaded"},
        {"not allowing", [](FakeServer &bad) { bad.send("402 no\r\n"); },
         "this client is not allowed by the server"},
        {"silent", [](FakeServer &) {}, "timed out"},
        {"closing mid-scan",
         [](FakeServer &bad) { bad.send(FakeServer::greeting()).expect_line().close_now(); },
         "the server closed the connection"},
    };
    for (const Case &c : cases) {
        FakeServer bad{FakeServer::Transport::Tcp};
        std::string bad_address = refusing_address();
        if (c.script) {
            c.script(bad);
            bad.start();
            bad_address = bad.address();
        }
        FakeServer good{FakeServer::Transport::Tcp};
        good.send(FakeServer::greeting()).expect_line().send(kOk).expect_line().send(kOk);
        good.expect_line().send(kBye).start();
        ProcessResult run =
            run_client({"-t", bad_address + "," + good.address(), "--timeout=1", "-s", f1, f2});
        EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " OK\n") << c.what;
        EXPECT_EQ(run.err, down(bad_address, c.why)) << c.what;
        EXPECT_EQ(run.status, 0) << c.what;
        // Both scans, f1's also when the first server was lost with it.
        std::string wire = good.received();
        EXPECT_EQ(wire.find("NETSCAN"), 0u) << c.what;
        EXPECT_NE(wire.find("NETSCAN", 1), std::string::npos) << c.what;
    }
}

TEST_F(FailOver, ACutOffScanGoesToAnotherServerOnceAndACuredFileNever) {
    // -j 2 over a server that closes mid-scan and a good one: each file has
    // its one line, as against the good server alone.
    StandinProcess good{{"--tcp", "0"}, false};
    ASSERT_TRUE(good.started()) << good.error_output();
    std::string good_address = "127.0.0.1:" + std::to_string(good.tcp_port());
    FakeServer bad{FakeServer::Transport::Tcp};
    bad.send(FakeServer::greeting()).expect_line().close_now();
    bad.start();
    ProcessResult run =
        run_client({"-t", bad.address() + "," + good_address, "-j", "2", "-s", f1, f2});
    EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " OK\n");
    EXPECT_EQ(run.err, down(bad.address(), "the server closed the connection") +
                           "Connection 1 of 2 lost; its files go to the other connections.\n");
    EXPECT_EQ(run.status, 0);

    // A cured copy already written over the file when the connection is
    // lost: the file is not scanned again elsewhere, as with one server.
    std::string cure =
        "323-Test.Virus " + f1 + "\r\n312-5 123402C04DCFB6625F688F771A5FC05D\r\nclean";
    FakeServer curing{FakeServer::Transport::Tcp};
    curing.send(FakeServer::greeting()).expect_line().send(cure).close_now();
    curing.start();
    FakeServer other{FakeServer::Transport::Tcp};
    other.send(FakeServer::greeting()).expect_line().send(kOk);
    other.start();
    run = run_client({"-t", curing.address() + "," + other.address(), "-u", "-s", f1});
    EXPECT_EQ(run.out, f1 + " ERROR\n");
    EXPECT_EQ(run.err, down(curing.address(), "the server closed the connection"));
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(TempDir::read(f1), "clean");
}

TEST_F(FailOver, WithEveryServerDownTheRunFailsWithTheFirstFailure) {
    // One connection of the first run, and up to two of the second.
    FakeServer overloaded{FakeServer::Transport::Tcp};
    overloaded.send("401 busy\r\n").next_client().send("401 busy\r\n");
    overloaded.next_client().send("401 busy\r\n");
    overloaded.start();
    std::string refusing = refusing_address();
    for (const char *jobs : {"1", "2"}) {
        ProcessResult run = run_client(
            {"-t", overloaded.address() + "," + refusing, "-j", jobs, "--timeout=2", "-s", f1, f2});
        EXPECT_EQ(run.out, "") << jobs;
        EXPECT_TRUE(
            run.err.ends_with("ERROR: Could not connect to orvaserver: server is overloaded.\n"))
            << run.err;
        EXPECT_NE(run.err.find(down(refusing, "could not connect to the server")),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.status, 1) << jobs;
    }
}

TEST_F(FailOver, JobsSpreadTheirConnectionsOverTheServersInTurn) {
    FakeServer a{FakeServer::Transport::Tcp};
    FakeServer b{FakeServer::Transport::Tcp};
    for (FakeServer *server : {&a, &b}) {
        for (int client = 0; client < 2; ++client) {
            if (client > 0) server->next_client();
            server->send(FakeServer::greeting()).expect_line().send(kOk).expect_line().send(kBye);
        }
        server->start();
    }
    std::string f3 = dir.write("f3", "3");
    std::string f4 = dir.write("f4", "4");
    ProcessResult run =
        run_client({"-t", a.address() + "," + b.address(), "-j", "4", "-s", f1, f2, f3, f4});
    EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " OK\n" + f3 + " OK\n" + f4 + " OK\n");
    EXPECT_EQ(run.err, "");
    // Connections 1 and 3 on the first server, 2 and 4 on the second.
    EXPECT_EQ(a.received(0).find("NETSCAN x"), 0u);
    EXPECT_EQ(a.received(1).find("NETSCAN x"), 0u);
    EXPECT_EQ(b.received(0).find("NETSCAN x"), 0u);
    EXPECT_EQ(b.received(1).find("NETSCAN x"), 0u);
}

TEST_F(FailOver, AServerMarkedDownIsTriedAgainOnceItsReviveTimeHasPassed) {
    std::string f3 = dir.write("f3", "3");
    for (bool revived : {false, true}) {
        // The first server is overloaded at first; the second scans f1 and
        // is lost with f2 after the revive time of one second.
        FakeServer first{FakeServer::Transport::Tcp};
        first.send("401 busy\r\n").next_client().send(FakeServer::greeting());
        first.expect_line().send(kOk).expect_line().send(kOk).expect_line().send(kBye);
        first.start();
        FakeServer second{FakeServer::Transport::Tcp};
        second.send(FakeServer::greeting()).expect_line().send(kOk).expect_line();
        if (revived) second.pause(1300);
        second.close_now();
        second.start();
        std::vector<std::string> args = {
            "-t", first.address() + "," + second.address(), "-s", f1, f2, f3};
        if (revived) args.push_back("--revive=1");
        ProcessResult run = run_client(args);
        std::string lines = down(first.address(), "the server is overloaded") +
                            down(second.address(), "the server closed the connection");
        EXPECT_EQ(run.err, lines) << revived;
        if (revived) {
            EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " OK\n" + f3 + " OK\n");
            EXPECT_EQ(run.status, 0);
        } else {
            // Still down: no server is left for f2 and f3.
            EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " ERROR\n" + f3 + " ERROR\n");
            EXPECT_EQ(run.status, 7);
        }
    }
}

TEST_F(FailOver, AConnectionOpenedElsewhereGoesBackToItsServerOnceItRevives) {
    // Connection 1 finds the first server overloaded and opens on the second;
    // after the revive time its next file goes to the first server again,
    // while connection 2 is still busy. Connection 2 is the second server's
    // first client (connection 1 gets there only after the 401), and the
    // pauses fix the order with wide margins: connection 2 ends f2 at 1.2 s
    // and takes f3 until 2.2 s, connection 1 ends f1 at 1.7 s, past the
    // revive time, and takes f4 on the first server.
    FakeServer first{FakeServer::Transport::Tcp};
    first.send("401 busy\r\n").next_client().send(FakeServer::greeting());
    first.expect_line().send(kOk).expect_line().send(kBye);
    first.start();
    FakeServer second{FakeServer::Transport::Tcp};
    second.send(FakeServer::greeting()).expect_line().pause(1200).send(kOk);
    second.expect_line().pause(1000).send(kOk).expect_line().send(kBye);
    second.next_client().send(FakeServer::greeting()).expect_line().pause(1700).send(kOk);
    second.expect_line().send(kBye);
    second.start();
    std::string f3 = dir.write("f3", "3");
    std::string f4 = dir.write("f4", "4");
    ProcessResult run = run_client({"-t", first.address() + "," + second.address(), "-j", "2",
                                    "--revive=1", "-s", f1, f2, f3, f4});
    EXPECT_EQ(run.out, f1 + " OK\n" + f2 + " OK\n" + f3 + " OK\n" + f4 + " OK\n");
    EXPECT_EQ(run.err, down(first.address(), "the server is overloaded"));
    // f4, announced by its size and digest.
    EXPECT_EQ(
        first.received(1).find("NETSCAN xmQPRSTUWabcdefghi 1 A87FF679A2F3E71D9181A67B7542122C"), 0u)
        << first.received(1);
}

TEST_F(FailOver, CheckModeAndWaitTakeTheFirstServerThatGreets) {
    // Waiting for a server to come asks every one and marks none down.
    std::string refusing = refusing_address();
    for (std::string wait : {"--wait=0", "--wait=5"}) {
        FakeServer good{FakeServer::Transport::Tcp};
        good.send(FakeServer::greeting()).expect_line().send("200 \r\n").start();
        ProcessResult run = run_client({"-c", "-t", refusing + "," + good.address(), wait});
        EXPECT_EQ(run.out, "RECORDS 123456\nUPDATED 05-03-2004\n\n") << wait;
        EXPECT_EQ(run.err,
                  wait == "--wait=0" ? down(refusing, "could not connect to the server") : "");
        EXPECT_EQ(run.status, 0) << wait;
    }
}

} // namespace

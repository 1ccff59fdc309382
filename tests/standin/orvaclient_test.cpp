// The built orvaclient against the built stand-in server, as a user runs
// them: check mode, scans with their verdict lines and exit statuses, and a
// cure that replaces the file's contents.
#include <gtest/gtest.h>

#include "standin/signatures.h"
#include "standin_process.h"
#include "support/run_process.h"

namespace {

class Orvaclient : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error_output(); }

    ProcessResult client(std::vector<std::string> args) {
        args.insert(args.begin(), {"orvaclient", "-p", server.socket_path()});
        ProcessOptions options;
        options.timeout_ms = kWaitLimitMs;
        return run_process(ORVACLIENT_BINARY, args, options);
    }

    StandinProcess server{{"--signatures", SAMPLE_SIGNATURES, "--date", "05032004", "--records",
                           "123456", "--key", "1a2b-3c4d-5e6f 31122027 5 L 100", "--key",
                           "deadbeef-0-1 01012030 0 N 7"}};
    TestFolder folder;
    const std::string test_file = standin::test_file_bytes();
};

TEST_F(Orvaclient, CheckModeShowsTheDatabaseAndKeys) {
    ProcessResult run = client({"-c"});
    EXPECT_EQ(run.out, "RECORDS 123456\nUPDATED 05-03-2004\n\n"
                       "SERIAL 1A2B-003C4D-00005E6F\nEXPIRE 31-12-2027\n\n"
                       "SERIAL DEADBEEF-000000-00000001\nEXPIRE 01-01-2030\n\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST_F(Orvaclient, CleanFile) {
    std::string clean = folder.write("clean.txt", "hello\n");
    ProcessResult run = client({"-s", clean});
    EXPECT_EQ(run.out, clean + " OK\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST_F(Orvaclient, InfectedFileListsEveryThreatByName) {
    std::string infected = folder.write("two", test_file + " STANDIN-SAMPLE-WORM");
    ProcessResult run = client({"-s", infected});
    EXPECT_EQ(run.out, infected + " INFECTED\nLINFECTED EICAR-Test-File\tSample.Worm\n");
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(read_file(infected), test_file + " STANDIN-SAMPLE-WORM") << "not cured without -u";
}

TEST_F(Orvaclient, CureReplacesTheFileWithTheCuredCopy) {
    std::string curable = folder.write("letter.txt", "Dear reader,\n" + test_file + "\nBye.\n");
    ProcessResult run = client({"-u", "-s", curable});
    EXPECT_EQ(run.out, curable + " CURED\nLCURED EICAR-Test-File\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(read_file(curable), "Dear reader,\n" + std::string(68, '#') + "\nBye.\n");

    ProcessResult again = client({"-s", curable});
    EXPECT_EQ(again.out, curable + " OK\n") << "the cured file scans clean";
    EXPECT_EQ(again.status, 0);
}

TEST_F(Orvaclient, CureFailsForTheBareTestFile) {
    std::string bare = folder.write("eicar.com", test_file);
    ProcessResult run = client({"-u", "-s", bare});
    EXPECT_EQ(run.out, bare + " CUREFAILED\nLINFECTED EICAR-Test-File\n");
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(read_file(bare), test_file);
}

TEST_F(Orvaclient, WarningSuspicionAndTheLastOperandsStatus) {
    std::string warned = folder.write("packed", "STANDIN-SAMPLE-PACKER");
    std::string suspect = folder.write("dropper", "STANDIN-SAMPLE-DROPPER");
    std::string clean = folder.write("clean", "fine");
    ProcessResult run = client({"-s", warned, suspect});
    EXPECT_EQ(run.out, warned + " WARNING\nLWARNING Sample.Packer\n" + suspect +
                           " SUSPICION\nLSUSPICION Sample.Dropper\n");
    EXPECT_EQ(run.status, 3);

    ProcessResult last_clean = client({"-s", suspect, warned, clean});
    EXPECT_EQ(last_clean.status, 0) << "the last operand decides";
    ProcessResult last_warned = client({"-s", clean, warned});
    EXPECT_EQ(last_warned.status, 2);
}

TEST_F(Orvaclient, QuietScanPrintsNothingButKeepsTheStatus) {
    std::string infected = folder.write("bad", test_file);
    ProcessResult run = client({"-q", "-s", infected});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 4);
}

} // namespace

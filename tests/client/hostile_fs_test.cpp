// A hostile file system: whatever is planted at the next temporary file's
// name is never opened, and a scanned file that is replaced between the
// scan and the cure is not written through, whatever replaces it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <functional>

#include "client/scan.h"
#include "client/transfer.h"
#include "fault_helpers.h"
#include "support/temp_dir.h"
#include "test_connection.h"

namespace {

using fault_helpers::md5_hex;
using fault_helpers::patterned;

std::string cured_reply(const std::string &body) {
    return "323-Threat /f\r\n" + fault_helpers::cured_copy(body) + "221 /f\r\n";
}

bool is_kind(const std::string &path, mode_t kind) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == kind;
}

class HostileFs : public ::testing::Test {
  protected:
    void SetUp() override {
        faults::reset();
        file = scanned.write("f", original);
        victim = elsewhere.write("victim", "not to be touched\n");
    }

    // The name that create_temp_file tries first: the test chooses the
    // random numbers it draws, `number` and then another.
    std::string next_temp_name(uint32_t number) const {
        faults::script_random({number, number + 1});
        char name[4096];
        std::snprintf(name, sizeof name, "%s/zq%x%04x.tmp", temp.path().c_str(),
                      static_cast<unsigned>(getpid()), number);
        return name;
    }

    // Things that can lie at a name, each planted by a function of the name.
    struct Plant {
        const char *what;
        std::function<void(const std::string &)> make;
        mode_t kind;
    };
    std::vector<Plant> plants() const {
        std::string target = victim;
        return {
            {"a symbolic link", [=](const std::string &at) { symlink(target.c_str(), at.c_str()); },
             S_IFLNK},
            {"a dangling symbolic link",
             [=](const std::string &at) { symlink((target + ".none").c_str(), at.c_str()); },
             S_IFLNK},
            {"a hard link", [=](const std::string &at) { link(target.c_str(), at.c_str()); },
             S_IFREG},
            {"a FIFO", [](const std::string &at) { mkfifo(at.c_str(), 0600); }, S_IFIFO},
            {"a directory", [](const std::string &at) { mkdir(at.c_str(), 0700); }, S_IFDIR},
        };
    }

    void expect_victim_untouched() {
        EXPECT_EQ(TempDir::read(victim), "not to be touched\n");
        EXPECT_FALSE(is_kind(victim + ".none", S_IFREG)) << "a dangling link was followed";
    }

    TempDirAsTmp temp;
    TempDir scanned;
    TempDir elsewhere;
    std::string original = "infected contents\n";
    std::string file;
    std::string victim;
};

TEST_F(HostileFs, WhateverLiesAtTheNextTemporaryNameIsPassedOver) {
    std::string body = patterned(5000, 21);
    for (const Plant &plant : plants()) {
        SCOPED_TRACE(plant.what);
        TempDir::write_file(file, original);
        std::string planted = next_temp_name(77);
        plant.make(planted);
        ASSERT_TRUE(is_kind(planted, plant.kind));

        FakeServer server;
        server.send(FakeServer::greeting()).expect_line().send(cured_reply(body));
        Connection conn = open_connection(server);
        ScanReport report{};
        EXPECT_EQ(conn_scan(conn.get(), file.c_str(), &report, SCAN_CURE, nullptr), RC_OK);
        EXPECT_EQ(report.verdict, VERDICT_CURED);
        EXPECT_TRUE(TempDir::read(file) == body) << "the copy went through another name";
        scan_report_clear(&report);
        hang_up(server, conn.get());

        EXPECT_TRUE(is_kind(planted, plant.kind)) << "the planted entry was replaced";
        expect_victim_untouched();
        EXPECT_EQ(temp.entries(), std::vector<std::string>{planted.substr(temp.path().size() + 1)})
            << "only the planted entry is left";
        if (plant.kind == S_IFDIR)
            rmdir(planted.c_str());
        else
            unlink(planted.c_str());
    }
}

// The scanned file is replaced after the server has taken the scan line (or
// the upload) and before the cured copy arrives.
class SwappedFile : public HostileFs, public ::testing::WithParamInterface<FakeServer::Transport> {
  protected:
    ResultCode scan_swapping(const std::function<void()> &swap, ScanFlags flags = SCAN_CURE) {
        // What a swap left at the name was removed by the test before.
        unlink(file.c_str());
        TempDir::write_file(file, original);
        char letters[SCAN_LETTERS_MAX + 1];
        scan_flag_letters(flags, letters);
        std::string netscan = "NETSCAN x" + std::string(letters) + " " +
                              std::to_string(original.size()) + " " + md5_hex(original) + "\r\n";
        FakeServer server{GetParam()};
        server.send(FakeServer::greeting()).expect_line();
        if (GetParam() == FakeServer::Transport::Tcp)
            server.send("310 go on\r\n").expect_bytes(netscan.size() + original.size());
        server.call(swap).send(cured_reply("cured\n"));
        Connection conn = open_connection(server);
        ScanReport report{};
        ResultCode code = conn_scan(conn.get(), file.c_str(), &report, flags, nullptr);
        EXPECT_EQ(report.verdict, VERDICT_CURED);
        scan_report_clear(&report);
        hang_up(server, conn.get());
        EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "temporary file left behind";
        return code;
    }

    // Puts what `make` creates at a side name over the scanned file's name,
    // as an attacker would, in one rename.
    std::function<void()> replace_with(std::function<void(const std::string &)> make) {
        return [this, make] {
            std::string side = scanned / "side";
            make(side);
            ASSERT_EQ(rename(side.c_str(), file.c_str()), 0);
        };
    }
};

TEST_P(SwappedFile, AReplacementIsNeverWrittenThrough) {
    for (const Plant &plant : plants()) {
        SCOPED_TRACE(plant.what);
        if (plant.kind == S_IFDIR) continue; // a directory cannot be renamed over a file
        EXPECT_EQ(scan_swapping(replace_with(plant.make)), RC_CHECKSUM_MISMATCH);
        expect_victim_untouched();
        EXPECT_TRUE(is_kind(file, plant.kind)) << "the replacement was replaced in turn";
        unlink(file.c_str());
    }
}

TEST_P(SwappedFile, ANewFileOrADirectoryAtTheNameOrNoneAtAll) {
    EXPECT_EQ(scan_swapping(replace_with([](const std::string &at) {
                  TempDir::write_file(at, "a new file under the same name\n");
              })),
              RC_CHECKSUM_MISMATCH);
    EXPECT_EQ(TempDir::read(file), "a new file under the same name\n");

    EXPECT_EQ(scan_swapping([&] {
                  unlink(file.c_str());
                  mkdir(file.c_str(), 0700);
              }),
              RC_CHECKSUM_MISMATCH);
    EXPECT_TRUE(is_kind(file, S_IFDIR));
    rmdir(file.c_str());

    EXPECT_EQ(scan_swapping([&] { unlink(file.c_str()); }), RC_CHECKSUM_MISMATCH);
    EXPECT_FALSE(is_kind(file, S_IFREG)) << "the copy must not create the file anew";
}

TEST_P(SwappedFile, ALinkSwappedInDuringAScanThatDidNotAskForACure) {
    // The server may return a copy unasked; the file it names must still
    // be the one that was scanned.
    EXPECT_EQ(scan_swapping(replace_with([this](const std::string &at) {
                                symlink(victim.c_str(), at.c_str());
                            }),
                            0),
              RC_CHECKSUM_MISMATCH);
    expect_victim_untouched();
}

TEST_P(SwappedFile, TheSameFileChangedInPlaceIsStillCured) {
    // Same inode, new contents: still the file that was scanned.
    EXPECT_EQ(scan_swapping([&] { TempDir::write_file(file, "rewritten in place\n"); }), RC_OK);
    EXPECT_EQ(TempDir::read(file), "cured\n");
}

INSTANTIATE_TEST_SUITE_P(BothTransports, SwappedFile,
                         ::testing::Values(FakeServer::Transport::Unix, FakeServer::Transport::Tcp),
                         [](const ::testing::TestParamInfo<FakeServer::Transport> &param) {
                             return param.param == FakeServer::Transport::Unix ? "Unix" : "Tcp";
                         });

} // namespace

// Line framing over a real socket pair: lines split anywhere, lone CR and LF,
// raw runs between lines, over-long lines, hang-ups and silence.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "standin/wire.h"

namespace {

using Status = wire::LineReader::Status;

class Pair : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    void TearDown() override {
        close_writer();
        close(fds[0]);
    }
    void close_writer() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
};

TEST_F(Pair, LinesSplitAtAnyByteEvenBetweenCrAndLf) {
    const std::string stream = "first\r\nwith\rlone\ncharacters\r\n\r\nlast\r\n";
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        wire::LineReader reader(fds[0]);
        reader.set_timeout_ms(2000);
        std::thread writer([&] {
            ASSERT_TRUE(wire::write_all(fds[1], stream.substr(0, cut)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_TRUE(wire::write_all(fds[1], stream.substr(cut)));
        });
        std::vector<std::string> lines;
        std::string line;
        for (int i = 0; i < 4 && reader.read_line(line) == Status::Ok; ++i)
            lines.push_back(line);
        writer.join();
        EXPECT_EQ(lines, (std::vector<std::string>{"first", "with\rlone\ncharacters", "", "last"}))
            << "cut at " << cut;
        EXPECT_TRUE(reader.buffered().empty());
    }
}

TEST_F(Pair, RawBytesBetweenLinesComeFromTheBufferFirst) {
    ASSERT_TRUE(wire::write_all(fds[1], "310 go\r\nABC"));
    wire::LineReader reader(fds[0]);
    reader.set_timeout_ms(2000);
    std::string line;
    ASSERT_EQ(reader.read_line(line), Status::Ok);
    EXPECT_EQ(line, "310 go");
    std::thread writer([&] { ASSERT_TRUE(wire::write_all(fds[1], "DEF\r\nnext\r\n")); });
    std::string bytes;
    EXPECT_EQ(reader.read_exact(8, [&](std::string_view piece) { bytes.append(piece); }),
              Status::Ok);
    writer.join();
    EXPECT_EQ(bytes, "ABCDEF\r\n") << "a body may hold CR LF";
    ASSERT_EQ(reader.read_line(line), Status::Ok);
    EXPECT_EQ(line, "next");
    EXPECT_EQ(reader.read_exact(0, [](std::string_view) { FAIL(); }), Status::Ok);
}

TEST_F(Pair, OverLongLinesHangUpsAndSilence) {
    wire::LineReader reader(fds[0], 8);
    reader.set_timeout_ms(50);
    std::string line;
    ASSERT_TRUE(wire::write_all(fds[1], "12345678\r\n"));
    ASSERT_EQ(reader.read_line(line), Status::Ok) << "exactly the longest line";
    EXPECT_EQ(reader.read_line(line), Status::TimedOut);
    ASSERT_TRUE(wire::write_all(fds[1], "123456789"));
    EXPECT_EQ(reader.read_line(line), Status::TooLong);

    wire::LineReader other(fds[0]);
    close_writer();
    EXPECT_EQ(other.read_line(line), Status::Closed);
    EXPECT_EQ(other.read_exact(1, [](std::string_view) {}), Status::Closed);
}

TEST_F(Pair, WritingToAVanishedPeerFailsWithoutASignal) {
    close(fds[0]);
    fds[0] = socket(AF_UNIX, SOCK_STREAM, 0); // something for TearDown to close
    // SIGPIPE is left at its default here: a raised one would end the test.
    EXPECT_FALSE(wire::write_all(fds[1], std::string(100000, 'x')));
}

TEST(CountLines, CountsCrLfPairsOnly) {
    EXPECT_EQ(wire::count_lines(""), 0u);
    EXPECT_EQ(wire::count_lines("a\rb\nc"), 0u);
    EXPECT_EQ(wire::count_lines("a\r\n\r\nb\r"), 2u);
    EXPECT_EQ(wire::count_lines("\r\r\n\n"), 1u);
}

} // namespace

// MD5: the RFC 1321 test suite however the input is divided, the block and
// padding boundaries, the length count, and md5_file_hex on real files.
// Expected digests were computed outside this code (Python's hashlib); the
// large-file case is checked against the md5sum program at run time.

#include "digest/md5.h"
#include "digest/md5_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char *kEmptyDigest = "D41D8CD98F00B204E9800998ECF8427E";

// Deterministic test data: byte i is (31 * i + 7) mod 256. The reference
// digests below were computed for the same formula.
Bytes pattern(std::size_t end, std::size_t begin = 0) {
    Bytes bytes;
    for (std::size_t i = begin; i < end; ++i) {
        bytes.push_back(static_cast<uint8_t>(i * 31 + 7));
    }
    return bytes;
}

Bytes bytes_of(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

std::string hex_of(const uint8_t digest[16]) {
    char text[MD5_HEX_LENGTH + 1];
    md5_digest_text(digest, text);
    return text;
}

std::string upper(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// Digests data fed to md5_update in pieces of the given lengths, in order;
// the lengths must add up to the data's size.
std::string digest_in_pieces(const Bytes &data, const std::vector<std::size_t> &pieces) {
    Md5Context ctx;
    md5_init(&ctx);
    std::size_t offset = 0;
    for (std::size_t length : pieces) {
        md5_update(&ctx, data.data() + offset, static_cast<uint32_t>(length));
        offset += length;
    }
    EXPECT_EQ(offset, data.size()) << "bad piece list";
    md5_final(&ctx);
    return hex_of(ctx.digest);
}

std::string digest(const Bytes &data) {
    return digest_in_pieces(data, {data.size()});
}

struct Known {
    std::string text;
    const char *digest;
};

const Known kRfcSuite[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

struct KnownLength {
    std::size_t length;
    const char *digest;
};

// pattern(length) around the padding and block edges: 55 is the longest
// message whose length fits in its last block, 56 the shortest that needs a
// block of padding of its own.
const KnownLength kEdges[] = {
    {55, "C9E512626618C9980EF21A96597AF94C"},  {56, "ECDE7CAA08E9F5657C863DF107CAC60A"},
    {57, "B17B1A018DD6A4D1EDDA8ACA15F17846"},  {63, "2F0301069E1C40AF7F6C8F843B1B13F2"},
    {64, "B6BF87C24B1BC334E2541387A92B981B"},  {65, "F168246F08B6134D66BD2A10343FA9F1"},
    {119, "D5DC3D8264DE3AA24DEE105910EE27FE"}, {120, "BCC139B3848923904860D1EEFD6E5923"},
    {127, "27670172396247FA5F68637F13F8933D"}, {128, "3E85B70FFC8DF5C735ECF2A8F14F1BEE"},
};

// ---------------------------------------------------------------------------
// In-memory digests, however the input is divided among md5_update calls.

TEST(Md5Digest, RfcSuiteAtEveryPairOfSplitPointsWithEmptyCalls) {
    for (const Known &known : kRfcSuite) {
        const Bytes data = bytes_of(known.text);
        const std::size_t n = data.size();
        for (std::size_t i = 0; i <= n; ++i) {
            for (std::size_t j = i; j <= n; ++j) {
                ASSERT_EQ(digest_in_pieces(data, {0, i, 0, j - i, n - j, 0}), known.digest)
                    << '"' << known.text << "\" split at " << i << " and " << j;
            }
        }
    }
}

TEST(Md5Digest, RfcSuiteByteByByte) {
    for (const Known &known : kRfcSuite) {
        const Bytes data = bytes_of(known.text);
        EXPECT_EQ(digest_in_pieces(data, std::vector<std::size_t>(data.size(), 1)), known.digest)
            << known.text;
        // With an empty call between every byte.
        std::vector<std::size_t> pieces;
        for (std::size_t i = 0; i < data.size(); ++i) {
            pieces.insert(pieces.end(), {0, 1});
        }
        pieces.push_back(0);
        EXPECT_EQ(digest_in_pieces(data, pieces), known.digest) << known.text;
    }
}

// Random piece lengths up to max_piece (zero included) that add up to size.
std::vector<std::size_t> random_pieces(std::size_t size, std::size_t max_piece,
                                       std::mt19937 &random) {
    std::uniform_int_distribution<std::size_t> length(0, max_piece);
    std::vector<std::size_t> pieces;
    std::size_t left = size;
    while (left > 0) {
        const std::size_t piece = std::min(left, length(random));
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

TEST(Md5Digest, RandomSplitsWithFixedSeed) {
    std::mt19937 random(1321);
    for (int round = 0; round < 50; ++round) {
        for (const Known &known : kRfcSuite) {
            const Bytes data = bytes_of(known.text);
            ASSERT_EQ(digest_in_pieces(data, random_pieces(data.size(), 5, random)), known.digest)
                << known.text;
        }
    }
    // Longer data with pieces that straddle block edges in every way.
    const Bytes data = pattern(5000);
    for (std::size_t max_piece : {3u, 70u, 200u, 1000u}) {
        for (int round = 0; round < 20; ++round) {
            ASSERT_EQ(digest_in_pieces(data, random_pieces(data.size(), max_piece, random)),
                      "737E8D6936EB9EEA5A227F693AA115A1")
                << "pieces of up to " << max_piece;
        }
    }
}

TEST(Md5Digest, LengthsAtPaddingAndBlockEdges) {
    for (const KnownLength &known : kEdges) {
        const Bytes data = pattern(known.length);
        EXPECT_EQ(digest(data), known.digest) << known.length << " bytes";
        for (std::size_t i = 0; i <= data.size(); ++i) {
            ASSERT_EQ(digest_in_pieces(data, {i, data.size() - i}), known.digest)
                << known.length << " bytes split at " << i;
        }
    }
}

TEST(Md5Digest, InputAtAnyAlignment) {
    // Whole blocks are read straight from the caller's buffer, which need not
    // be aligned for 32-bit loads.
    const Bytes data = pattern(5000);
    for (std::size_t offset = 1; offset < 8; ++offset) {
        Bytes shifted(offset, 0xee);
        shifted.insert(shifted.end(), data.begin(), data.end());
        Md5Context ctx;
        md5_init(&ctx);
        md5_update(&ctx, shifted.data() + offset, static_cast<uint32_t>(data.size()));
        md5_final(&ctx);
        EXPECT_EQ(hex_of(ctx.digest), "737E8D6936EB9EEA5A227F693AA115A1") << "offset " << offset;
    }
}

TEST(Md5Digest, MillionLetterA) {
    const Bytes thousand(1000, 'a');
    Md5Context ctx;
    md5_init(&ctx);
    for (int i = 0; i < 1000; ++i) {
        md5_update(&ctx, thousand.data(), 1000);
    }
    md5_final(&ctx);
    EXPECT_EQ(hex_of(ctx.digest), "7707D6AE4E027C70EEA2A935C2296F21");
}

// ---------------------------------------------------------------------------
// The context: initial values, the bit count and the pending bytes.

TEST(Md5Context, InitSetsInitialChainingValuesAndZeroCount) {
    Md5Context ctx;
    std::memset(&ctx, 0xa5, sizeof ctx);
    md5_init(&ctx);
    EXPECT_EQ(ctx.bit_count[0], 0u);
    EXPECT_EQ(ctx.bit_count[1], 0u);
    EXPECT_EQ(ctx.hash_state[0], 0x67452301u);
    EXPECT_EQ(ctx.hash_state[1], 0xefcdab89u);
    EXPECT_EQ(ctx.hash_state[2], 0x98badcfeu);
    EXPECT_EQ(ctx.hash_state[3], 0x10325476u);
}

TEST(Md5Context, CountsBitsAndKeepsPendingTailInBlock) {
    // 300 bytes: four whole blocks and a 44-byte tail, however delivered.
    const Bytes data = pattern(300);
    const std::vector<std::vector<std::size_t>> plans = {{300},
                                                         {3, 297},
                                                         {63, 1, 236},
                                                         {64, 236},
                                                         {10, 0, 200, 90},
                                                         {290, 5, 5},
                                                         {299, 1},
                                                         std::vector<std::size_t>(300, 1)};
    for (const auto &plan : plans) {
        Md5Context ctx;
        md5_init(&ctx);
        std::size_t offset = 0;
        for (std::size_t length : plan) {
            md5_update(&ctx, data.data() + offset, static_cast<uint32_t>(length));
            offset += length;
            EXPECT_EQ(ctx.bit_count[0], offset * 8);
        }
        EXPECT_EQ(ctx.bit_count[1], 0u);
        EXPECT_EQ(0, std::memcmp(ctx.block, data.data() + 256, 44))
            << "plan of " << plan.size() << " pieces starting with " << plan[0];
        md5_final(&ctx);
        EXPECT_EQ(hex_of(ctx.digest), "919E4E6EEF1223BC54E857DFDE80C3CE");
    }
}

TEST(Md5Context, LowCountWordCarriesIntoHighWord) {
    const Bytes data = pattern(64);
    struct Case {
        uint32_t low, high;
        uint32_t length;
        uint32_t expected_low, expected_high;
    };
    const Case cases[] = {
        {0xfffffff8u, 7, 1, 0x00000000u, 8},           // lands exactly on 2^32
        {0xfffffff0u, 7, 5, 0x00000018u, 8},           // passes it
        {0xffffff00u, 7, 31, 0xfffffff8u, 7},          // stops one byte short
        {0xffffff00u, 7, 64, 0x00000100u, 8},          // a whole block across it
        {0xfffffff8u, 0xffffffffu, 1, 0x00000000u, 0}, // the count is modulo 2^64
    };
    for (const Case &c : cases) {
        Md5Context ctx;
        md5_init(&ctx);
        ctx.bit_count[0] = c.low;
        ctx.bit_count[1] = c.high;
        md5_update(&ctx, data.data(), c.length);
        EXPECT_EQ(ctx.bit_count[0], c.expected_low) << std::hex << c.low << " + " << c.length;
        EXPECT_EQ(ctx.bit_count[1], c.expected_high) << std::hex << c.low << " + " << c.length;
    }

    // The position in the block follows the low word across the wrap: with
    // 62 bytes pending, 2 of 5 new bytes complete the block and 3 remain.
    Md5Context ctx;
    md5_init(&ctx);
    ctx.bit_count[0] = 0xfffffff0u;
    md5_update(&ctx, data.data(), 5);
    EXPECT_EQ(0, std::memcmp(ctx.block, data.data() + 2, 3));
}

// Digesting 512 MiB takes about a second when optimized but several times
// that without optimization or under the sanitizers.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MD5_TEST_SLOW_BUILD 1
#endif
#endif
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
#define MD5_TEST_SLOW_BUILD 1
#endif

TEST(Md5Context, SingleUpdateOfHalfGibibyteCountsIntoHighWord) {
#ifdef MD5_TEST_SLOW_BUILD
    GTEST_SKIP() << "512 MiB is too slow to digest in an unoptimized or sanitized build";
#else
    // 2^29 bytes is 2^32 bits: the low word wraps to exactly zero without a
    // visible carry, so the high word must come from the length's top bits.
    // The pages all map the shared zero page and cost no memory.
    const std::size_t size = std::size_t{1} << 29;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE; // one call instead of a fault per page
#endif
    void *zeros = mmap(nullptr, size, PROT_READ, flags, -1, 0);
    if (zeros == MAP_FAILED) GTEST_SKIP() << "cannot map 512 MiB of address space";
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, zeros, static_cast<uint32_t>(size));
    EXPECT_EQ(ctx.bit_count[0], 0u);
    EXPECT_EQ(ctx.bit_count[1], 1u);
    md5_final(&ctx);
    EXPECT_EQ(hex_of(ctx.digest), "AA559B4E3523A6C931F08F4DF52D58F2");
    munmap(zeros, size);
#endif
}

TEST(Md5Context, FinalPadsThroughUpdateAndLeavesResultInContext) {
    const Bytes data = pattern(200);
    for (std::size_t n : {0u, 3u, 55u, 56u, 60u, 63u, 64u, 130u}) {
        Md5Context ctx;
        md5_init(&ctx);
        md5_update(&ctx, data.data(), static_cast<uint32_t>(n));
        md5_final(&ctx);
        // The trailer absorbed leaves 56 bytes in the last block; the length
        // goes straight to the block function and is not counted.
        const std::size_t used = n % 64;
        const std::size_t padding = used < 56 ? 56 - used : 120 - used;
        EXPECT_EQ(ctx.bit_count[0], (n + padding) * 8) << n << " bytes";
        EXPECT_EQ(ctx.bit_count[1], 0u);
        for (int i = 0; i < 4; ++i) {
            const uint32_t word = static_cast<uint32_t>(ctx.digest[4 * i]) |
                                  static_cast<uint32_t>(ctx.digest[4 * i + 1]) << 8 |
                                  static_cast<uint32_t>(ctx.digest[4 * i + 2]) << 16 |
                                  static_cast<uint32_t>(ctx.digest[4 * i + 3]) << 24;
            EXPECT_EQ(word, ctx.hash_state[i]) << n << " bytes, word " << i;
        }
    }
}

TEST(Md5Transform, AddsBlockIntoChainingValues) {
    // The empty message is one block: 0x80, zeros, and a zero length.
    uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    uint32_t words[16] = {0x80u};
    md5_transform(state, words);
    // D41D8CD9 8F00B204 E9800998 ECF8427E read as little-endian words.
    EXPECT_EQ(state[0], 0xd98c1dd4u);
    EXPECT_EQ(state[1], 0x04b2008fu);
    EXPECT_EQ(state[2], 0x980980e9u);
    EXPECT_EQ(state[3], 0x7e42f8ecu);
}

TEST(Md5Context, NullArgumentsChangeNothing) {
    md5_init(nullptr);
    md5_update(nullptr, "abc", 3);
    md5_final(nullptr);

    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "ab", 2);
    Md5Context before;
    std::memcpy(&before, &ctx, sizeof ctx);
    md5_update(&ctx, nullptr, 5);
    EXPECT_EQ(0, std::memcmp(&before, &ctx, sizeof ctx));

    uint32_t state[4] = {1, 2, 3, 4};
    const uint32_t words[16] = {};
    md5_transform(nullptr, words);
    md5_transform(state, nullptr);
    EXPECT_EQ(state[0], 1u);
    EXPECT_EQ(state[3], 4u);
}

// ---------------------------------------------------------------------------
// md5_file_hex on files in a private temporary directory.

class Md5File : public ::testing::Test {
  protected:
    void TearDown() override {
        for (FILE *stream : streams_) {
            std::fclose(stream);
        }
    }

    std::string write_file(const std::string &name, const Bytes &data) {
        return dir_.write(
            name, std::string_view(reinterpret_cast<const char *>(data.data()), data.size()));
    }

    // Opens a file that TearDown closes.
    FILE *open(const std::string &path, const char *mode = "rb") {
        FILE *stream = std::fopen(path.c_str(), mode);
        if (stream != nullptr) streams_.push_back(stream);
        return stream;
    }

    // Digest text of the stream, failing the test unless the call succeeds.
    std::string file_hex(FILE *stream) {
        char out[34];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(md5_file_hex(stream, out, sizeof out), RC_OK);
        if (out[MD5_HEX_LENGTH] != '\0') return "not terminated";
        return out;
    }

    TempDir dir_;
    std::vector<FILE *> streams_;
};

TEST_F(Md5File, OutputShorterThan34IsRejectedUntouched) {
    FILE *stream = open(write_file("data", pattern(100)));
    ASSERT_NE(stream, nullptr);
    for (unsigned size : {0u, 1u, 32u, 33u}) {
        char out[64];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(md5_file_hex(stream, out, size), RC_BAD_ARGUMENT) << "size " << size;
        EXPECT_TRUE(std::all_of(out, out + sizeof out, [](char c) { return c == '#'; }))
            << "size " << size;
        EXPECT_EQ(std::ftell(stream), 0) << "stream read with size " << size;
    }
}

TEST_F(Md5File, NullStreamOrOutputIsRejected) {
    char out[64];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(md5_file_hex(nullptr, out, sizeof out), RC_BAD_ARGUMENT);
    EXPECT_TRUE(std::all_of(out, out + sizeof out, [](char c) { return c == '#'; }));

    FILE *stream = open(write_file("data", pattern(100)));
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(md5_file_hex(stream, nullptr, 34), RC_BAD_ARGUMENT);
    EXPECT_EQ(std::ftell(stream), 0);
}

TEST_F(Md5File, WritesUppercaseDigestAndNulInto34Characters) {
    FILE *stream = open(write_file("data", bytes_of("abc")));
    ASSERT_NE(stream, nullptr);
    char out[34];
    std::memset(out, '#', sizeof out);
    ASSERT_EQ(md5_file_hex(stream, out, sizeof out), RC_OK);
    EXPECT_EQ(std::string(out, 32), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(out[32], '\0');
}

TEST_F(Md5File, EmptyStreamAndStreamAtEnd) {
    FILE *empty = open(write_file("empty", {}));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(file_hex(empty), kEmptyDigest);
    EXPECT_EQ(std::ftell(empty), 0);

    FILE *at_end = open(write_file("data", pattern(5000)));
    ASSERT_NE(at_end, nullptr);
    ASSERT_EQ(std::fseek(at_end, 0, SEEK_END), 0);
    EXPECT_EQ(file_hex(at_end), kEmptyDigest);
    EXPECT_EQ(std::ftell(at_end), 5000);
}

TEST_F(Md5File, SizesAroundTheReadSizeLeaveStreamAtEnd) {
    const KnownLength files[] = {{8191, "ECC3DEEFAF9D56033FC4E1CD0475B7EA"},
                                 {8192, "4448BC4B5B98051A0A8F767B1D69EBCB"},
                                 {8193, "C5C2DB3093676E9B9F2E31A310EA1798"},
                                 {16384, "403EE5C6A11B3D1368172327CB627A97"},
                                 {20000, "420A33BCA71C3FF5C4D1096376A4AC59"}};
    for (const KnownLength &file : files) {
        FILE *stream = open(write_file("size" + std::to_string(file.length), pattern(file.length)));
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(file_hex(stream), file.digest) << file.length << " bytes";
        EXPECT_EQ(std::ftell(stream), static_cast<long>(file.length)) << file.length << " bytes";
    }
}

TEST_F(Md5File, DigestsFromCurrentPositionWithoutRewinding) {
    FILE *stream = open(write_file("data", pattern(20000)));
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(std::fseek(stream, 5000, SEEK_SET), 0);
    EXPECT_EQ(file_hex(stream), "18048DFD412C033B58662D25394FB50F"); // bytes 5000..19999
    EXPECT_EQ(std::ftell(stream), 20000);
}

TEST_F(Md5File, ReadErrorEndsInputLikeEndOfFile) {
    // A write-only stream fails its first read: the digest of nothing.
    FILE *stream = open(write_file("data", pattern(100)), "ab");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(file_hex(stream), kEmptyDigest);
}

#if defined(__GLIBC__)
// A stream that delivers `good` bytes of pattern() and then fails.
struct FailingSource {
    Bytes data;
    std::size_t offset = 0;
};

ssize_t failing_read(void *cookie, char *buffer, std::size_t size) {
    auto *source = static_cast<FailingSource *>(cookie);
    if (source->offset == source->data.size()) return -1;
    const std::size_t n = std::min(size, source->data.size() - source->offset);
    std::memcpy(buffer, source->data.data() + source->offset, n);
    source->offset += n;
    return static_cast<ssize_t>(n);
}

TEST_F(Md5File, ReadErrorAfterDataGivesDigestOfBytesRead) {
    const KnownLength cases[] = {{8192, "4448BC4B5B98051A0A8F767B1D69EBCB"},
                                 {10000, "7AA168C7CCB71034C84662C1F56456E1"}};
    for (const KnownLength &c : cases) {
        FailingSource source{pattern(c.length)};
        cookie_io_functions_t functions{};
        functions.read = failing_read;
        FILE *stream = fopencookie(&source, "r", functions);
        ASSERT_NE(stream, nullptr);
        streams_.push_back(stream);
        EXPECT_EQ(file_hex(stream), c.digest) << c.length << " bytes before the error";
    }
}
#endif

TEST_F(Md5File, LargeRandomFileMatchesMd5sum) {
    std::mt19937 random(20240601);
    Bytes data(3 * 1024 * 1024 + 777);
    for (uint8_t &byte : data) {
        byte = static_cast<uint8_t>(random() >> 24);
    }
    const std::string path = write_file("random", data);

    // md5sum on the same file, bounded in time.
    const std::string command = "timeout 20 md5sum -- '" + path + "' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512] = {};
    const bool got_line = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = pclose(pipe);
    ASSERT_TRUE(got_line && status == 0) << "md5sum failed: " << line;
    const std::string reference = upper(std::string(line).substr(0, 32));
    ASSERT_EQ(reference.size(), 32u) << line;

    FILE *stream = open(path);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(file_hex(stream), reference);
    EXPECT_EQ(std::ftell(stream), static_cast<long>(data.size()));

    std::vector<std::size_t> pieces;
    for (std::size_t left = data.size(); left > 0;) {
        const std::size_t piece = std::min<std::size_t>(left, 1 + random() % 100000);
        pieces.push_back(piece);
        left -= piece;
    }
    EXPECT_EQ(digest_in_pieces(data, pieces), reference);
}

} // namespace

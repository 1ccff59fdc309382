// MD5 (RFC 1321) over memory and over a stdio stream.
//
// The block function is written for speed in portable C++: the 64 steps are
// fully unrolled, and each boolean function is arranged so that as little work
// as possible waits for the newest chaining value (see the step macros).
// md5_update runs whole 64-byte blocks straight from the caller's buffer and
// only copies a partial block into the context.
//
// Null arguments are tolerated: a null context makes every call do nothing,
// md5_update with null bytes and a non-zero length changes nothing, and
// md5_file_hex answers RC_BAD_ARGUMENT for a null stream or output.

#include "digest/md5.h"
#include "digest/md5_text.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kBlockBytes = 64;
constexpr uint32_t kPadLimit = 56; // bytes of the last block before the length
constexpr std::size_t kReadBytes = 8192;
constexpr unsigned kMinHexOut = 34;

template <int N> inline uint32_t rotate_left(uint32_t x) {
    static_assert(N > 0 && N < 32);
    return (x << N) | (x >> (32 - N));
}

inline uint32_t load_le32(const uint8_t *p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
}

inline void store_le32(uint8_t *p, uint32_t word) {
    p[0] = static_cast<uint8_t>(word);
    p[1] = static_cast<uint8_t>(word >> 8);
    p[2] = static_cast<uint8_t>(word >> 16);
    p[3] = static_cast<uint8_t>(word >> 24);
}

// One step is a = b + rotl(a + f(b, c, d) + word + constant, s), where b is
// the value the previous step has just produced. Everything that does not
// involve b is added first so that it overlaps with the previous step, leaving
// only a few operations on the critical path:
//   F = (b & c) | (~b & d)  computed as ((c ^ d) & b) ^ d
//   G = (b & d) | (c & ~d)  the two halves never share a set bit, so they are
//                           added separately and c & ~d goes in early
//   H = b ^ c ^ d           c ^ d goes in with b last
//   I = c ^ (b | ~d)
#define MD5_STEP_F(a, b, c, d, word, k, s)                                                         \
    a += (word) + (k);                                                                             \
    a += (((c) ^ (d)) & (b)) ^ (d);                                                                \
    a = rotate_left<s>(a) + (b)

#define MD5_STEP_G(a, b, c, d, word, k, s)                                                         \
    a += (word) + (k) + ((c) & ~(d));                                                              \
    a += (b) & (d);                                                                                \
    a = rotate_left<s>(a) + (b)

#define MD5_STEP_H(a, b, c, d, word, k, s)                                                         \
    a += (word) + (k);                                                                             \
    a += ((c) ^ (d)) ^ (b);                                                                        \
    a = rotate_left<s>(a) + (b)

#define MD5_STEP_I(a, b, c, d, word, k, s)                                                         \
    a += (word) + (k);                                                                             \
    a += ((b) | ~(d)) ^ (c);                                                                       \
    a = rotate_left<s>(a) + (b)

// The sixty-four additive constants, floor(2^32 * |sin(i)|) for i = 1..64, in
// step order: sixteen for each round.
alignas(64) constexpr uint32_t kConstants[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u,
    0xfd469501u, 0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u,
    0xa679438eu, 0x49b40821u, 0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du,
    0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u, 0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu,
    0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au, 0xfffa3942u, 0x8771f681u, 0x6d9d6122u,
    0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u, 0x289b7ec6u, 0xeaa127fau,
    0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u, 0xf4292244u,
    0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu,
    0xeb86d391u};

// The block function reads the constants through this pointer, which the
// compiler must load at run time, so they reach it as memory operands rather
// than immediates. Given immediates, clang moves each constant add to the end
// of its step's sum, after the boolean function, which puts one more add on
// the dependency chain of all 64 steps (about a fifth slower); as loads they
// are summed early with the message word, off that chain. The pointer is only
// ever read, so concurrent use is safe.
const uint32_t *const volatile constants_source = kConstants;

// Runs the 64 steps on one block and adds the result into state. word(i)
// yields message word i; it is called with constants only, so it inlines
// into a load with a fixed offset. k is kConstants, as read from
// constants_source.
template <typename WordSource>
inline void compress(uint32_t state[4], const WordSource &word, const uint32_t *k) {
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];

    MD5_STEP_F(a, b, c, d, word(0), k[0], 7);
    MD5_STEP_F(d, a, b, c, word(1), k[1], 12);
    MD5_STEP_F(c, d, a, b, word(2), k[2], 17);
    MD5_STEP_F(b, c, d, a, word(3), k[3], 22);
    MD5_STEP_F(a, b, c, d, word(4), k[4], 7);
    MD5_STEP_F(d, a, b, c, word(5), k[5], 12);
    MD5_STEP_F(c, d, a, b, word(6), k[6], 17);
    MD5_STEP_F(b, c, d, a, word(7), k[7], 22);
    MD5_STEP_F(a, b, c, d, word(8), k[8], 7);
    MD5_STEP_F(d, a, b, c, word(9), k[9], 12);
    MD5_STEP_F(c, d, a, b, word(10), k[10], 17);
    MD5_STEP_F(b, c, d, a, word(11), k[11], 22);
    MD5_STEP_F(a, b, c, d, word(12), k[12], 7);
    MD5_STEP_F(d, a, b, c, word(13), k[13], 12);
    MD5_STEP_F(c, d, a, b, word(14), k[14], 17);
    MD5_STEP_F(b, c, d, a, word(15), k[15], 22);

    MD5_STEP_G(a, b, c, d, word(1), k[16], 5);
    MD5_STEP_G(d, a, b, c, word(6), k[17], 9);
    MD5_STEP_G(c, d, a, b, word(11), k[18], 14);
    MD5_STEP_G(b, c, d, a, word(0), k[19], 20);
    MD5_STEP_G(a, b, c, d, word(5), k[20], 5);
    MD5_STEP_G(d, a, b, c, word(10), k[21], 9);
    MD5_STEP_G(c, d, a, b, word(15), k[22], 14);
    MD5_STEP_G(b, c, d, a, word(4), k[23], 20);
    MD5_STEP_G(a, b, c, d, word(9), k[24], 5);
    MD5_STEP_G(d, a, b, c, word(14), k[25], 9);
    MD5_STEP_G(c, d, a, b, word(3), k[26], 14);
    MD5_STEP_G(b, c, d, a, word(8), k[27], 20);
    MD5_STEP_G(a, b, c, d, word(13), k[28], 5);
    MD5_STEP_G(d, a, b, c, word(2), k[29], 9);
    MD5_STEP_G(c, d, a, b, word(7), k[30], 14);
    MD5_STEP_G(b, c, d, a, word(12), k[31], 20);

    MD5_STEP_H(a, b, c, d, word(5), k[32], 4);
    MD5_STEP_H(d, a, b, c, word(8), k[33], 11);
    MD5_STEP_H(c, d, a, b, word(11), k[34], 16);
    MD5_STEP_H(b, c, d, a, word(14), k[35], 23);
    MD5_STEP_H(a, b, c, d, word(1), k[36], 4);
    MD5_STEP_H(d, a, b, c, word(4), k[37], 11);
    MD5_STEP_H(c, d, a, b, word(7), k[38], 16);
    MD5_STEP_H(b, c, d, a, word(10), k[39], 23);
    MD5_STEP_H(a, b, c, d, word(13), k[40], 4);
    MD5_STEP_H(d, a, b, c, word(0), k[41], 11);
    MD5_STEP_H(c, d, a, b, word(3), k[42], 16);
    MD5_STEP_H(b, c, d, a, word(6), k[43], 23);
    MD5_STEP_H(a, b, c, d, word(9), k[44], 4);
    MD5_STEP_H(d, a, b, c, word(12), k[45], 11);
    MD5_STEP_H(c, d, a, b, word(15), k[46], 16);
    MD5_STEP_H(b, c, d, a, word(2), k[47], 23);

    MD5_STEP_I(a, b, c, d, word(0), k[48], 6);
    MD5_STEP_I(d, a, b, c, word(7), k[49], 10);
    MD5_STEP_I(c, d, a, b, word(14), k[50], 15);
    MD5_STEP_I(b, c, d, a, word(5), k[51], 21);
    MD5_STEP_I(a, b, c, d, word(12), k[52], 6);
    MD5_STEP_I(d, a, b, c, word(3), k[53], 10);
    MD5_STEP_I(c, d, a, b, word(10), k[54], 15);
    MD5_STEP_I(b, c, d, a, word(1), k[55], 21);
    MD5_STEP_I(a, b, c, d, word(8), k[56], 6);
    MD5_STEP_I(d, a, b, c, word(15), k[57], 10);
    MD5_STEP_I(c, d, a, b, word(6), k[58], 15);
    MD5_STEP_I(b, c, d, a, word(13), k[59], 21);
    MD5_STEP_I(a, b, c, d, word(4), k[60], 6);
    MD5_STEP_I(d, a, b, c, word(11), k[61], 10);
    MD5_STEP_I(c, d, a, b, word(2), k[62], 15);
    MD5_STEP_I(b, c, d, a, word(9), k[63], 21);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

// Digests count consecutive 64-byte blocks starting at bytes. Equivalent to
// decoding each block into sixteen little-endian words and calling
// md5_transform, without the intermediate copy on little-endian hosts.
void compress_blocks(uint32_t state[4], const uint8_t *bytes, std::size_t count) {
    const uint32_t *k = constants_source;
    for (; count != 0; --count, bytes += kBlockBytes) {
        if constexpr (std::endian::native == std::endian::little) {
            const auto word = [bytes](int i) { return load_le32(bytes + 4 * i); };
            compress(state, word, k);
        } else {
            uint32_t words[16];
            for (int i = 0; i < 16; ++i) {
                words[i] = load_le32(bytes + 4 * i);
            }
            const auto word = [&words](int i) { return words[i]; };
            compress(state, word, k);
        }
    }
}

} // namespace

void md5_init(Md5Context *ctx) {
    if (ctx == nullptr) return;
    ctx->bit_count[0] = 0;
    ctx->bit_count[1] = 0;
    ctx->hash_state[0] = 0x67452301u;
    ctx->hash_state[1] = 0xefcdab89u;
    ctx->hash_state[2] = 0x98badcfeu;
    ctx->hash_state[3] = 0x10325476u;
}

void md5_update(Md5Context *ctx, const void *bytes, uint32_t length) {
    if (ctx == nullptr || length == 0 || bytes == nullptr) return;
    const auto *in = static_cast<const uint8_t *>(bytes);

    // The count is kept in bits modulo 2^64; the position in the block comes
    // from the count as it was before this call.
    uint32_t used = (ctx->bit_count[0] >> 3) & (kBlockBytes - 1);
    const uint32_t added_bits = length << 3;
    ctx->bit_count[0] += added_bits;
    if (ctx->bit_count[0] < added_bits) ++ctx->bit_count[1];
    ctx->bit_count[1] += length >> 29;

    if (used != 0) {
        const uint32_t room = kBlockBytes - used;
        if (length < room) {
            std::memcpy(ctx->block + used, in, length);
            return;
        }
        std::memcpy(ctx->block + used, in, room);
        compress_blocks(ctx->hash_state, ctx->block, 1);
        in += room;
        length -= room;
    }

    const uint32_t whole = length / kBlockBytes;
    compress_blocks(ctx->hash_state, in, whole);
    in += static_cast<std::size_t>(whole) * kBlockBytes;
    length -= whole * kBlockBytes;

    if (length != 0) std::memcpy(ctx->block, in, length);
}

void md5_final(Md5Context *ctx) {
    if (ctx == nullptr) return;
    static const uint8_t padding[kBlockBytes] = {0x80};

    const uint32_t low_bits = ctx->bit_count[0];
    const uint32_t high_bits = ctx->bit_count[1];
    const uint32_t used = (low_bits >> 3) & (kBlockBytes - 1);
    md5_update(ctx, padding, used < kPadLimit ? kPadLimit - used : kPadLimit + kBlockBytes - used);

    // The block now holds 56 bytes; the length before padding completes it.
    uint32_t words[16];
    for (int i = 0; i < 14; ++i) {
        words[i] = load_le32(ctx->block + 4 * i);
    }
    words[14] = low_bits;
    words[15] = high_bits;
    md5_transform(ctx->hash_state, words);

    for (int i = 0; i < 4; ++i) {
        store_le32(ctx->digest + 4 * i, ctx->hash_state[i]);
    }
}

void md5_transform(uint32_t state[4], const uint32_t words[16]) {
    if (state == nullptr || words == nullptr) return;
    const auto word = [words](int i) { return words[i]; };
    compress(state, word, constants_source);
}

ResultCode md5_file_hex(FILE *stream, char *out, unsigned out_size) {
    // The minimum is 34 characters, one more than the text and its NUL take.
    if (stream == nullptr || out == nullptr || out_size < kMinHexOut) return RC_BAD_ARGUMENT;

    Md5Context ctx;
    md5_init(&ctx);
    uint8_t buffer[kReadBytes];
    std::size_t got;
    do {
        // A short read means end of file or an error; either way the digest
        // covers what was read and the stream stays where it stopped.
        got = std::fread(buffer, 1, kReadBytes, stream);
        md5_update(&ctx, buffer, static_cast<uint32_t>(got));
    } while (got == kReadBytes);
    md5_final(&ctx);
    md5_digest_text(ctx.digest, out);
    return RC_OK;
}

void md5_digest_text(const uint8_t digest[16], char text[MD5_HEX_LENGTH + 1]) {
    static const char hex_digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = hex_digits[digest[i] >> 4];
        text[2 * i + 1] = hex_digits[digest[i] & 0x0f];
    }
    text[MD5_HEX_LENGTH] = '\0';
}

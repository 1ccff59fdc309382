/* MD5 message digest (RFC 1321) and the digest of a file as 32 uppercase
 * hexadecimal characters. Used for the NETSCAN announcement and to verify
 * cured copies returned by the server. */
#ifndef ORVA_DIGEST_MD5_H
#define ORVA_DIGEST_MD5_H

#include <stdint.h>
#include <stdio.h>

#include "client/result_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Md5Context {
    uint32_t bit_count[2];  /* message length in bits, low word first */
    uint32_t hash_state[4]; /* chaining values A, B, C, D */
    uint8_t block[64];      /* bytes of the block being collected */
    uint8_t digest[16];     /* result, valid after md5_final */
} Md5Context;

/* Length of the digest text without its NUL. */
#define MD5_HEX_LENGTH 32

/* Starts a digest: no bytes absorbed, the initial chaining values of RFC
 * 1321. The context is plain data and needs no release. A null context is
 * ignored, as by the other functions. */
void md5_init(Md5Context *ctx);

/* Absorbs `length` bytes (any length, 0 included; null bytes are ignored).
 * May be called any number of times between md5_init and md5_final. */
void md5_update(Md5Context *ctx, const void *bytes, uint32_t length);

/* Completes the message as RFC 1321 prescribes and leaves the result in
 * ctx->digest. The context is not meant to absorb bytes afterwards. */
void md5_final(Md5Context *ctx);

/* Adds the block function of one 64-byte block, given as sixteen
 * little-endian words, into the chaining values. md5_update and md5_final
 * call it; callers rarely need it. */
void md5_transform(uint32_t state[4], const uint32_t words[16]);

/* Digests the stream from its current position until a read comes back
 * short (its end, or a read error: then the digest covers the bytes read),
 * writes the digest text (32 uppercase hexadecimal characters) and a NUL
 * into `out`, and leaves the stream where reading stopped; it is neither
 * rewound before nor after. The stream stays the caller's.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   out_size is below 34, or stream or out is null (the
 *                     buffer is not touched and nothing is read) */
ResultCode md5_file_hex(FILE *stream, char *out, unsigned out_size);

#ifdef __cplusplus
}
#endif

#endif

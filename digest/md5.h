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

void md5_init(Md5Context *ctx);
void md5_update(Md5Context *ctx, const void *bytes, uint32_t length);
void md5_final(Md5Context *ctx);

/* Adds the block function of one 64-byte block, given as sixteen
 * little-endian words, into the chaining values. */
void md5_transform(uint32_t state[4], const uint32_t words[16]);

/* Digests the stream from its current position to its end and writes the
 * digest text with a NUL into out. out_size must be at least 34. The stream
 * is left where reading stopped. */
ResultCode md5_file_hex(FILE *stream, char *out, unsigned out_size);

#ifdef __cplusplus
}
#endif

#endif

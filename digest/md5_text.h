/* The one way digests are written as text in this project: the 16 bytes in
 * order, each as two uppercase hexadecimal digits. Used by the library, the
 * stand-in server, the tests and the benchmarks; not installed and not
 * exported, so it is no promise to the library's callers. */
#ifndef ORVA_DIGEST_MD5_TEXT_H
#define ORVA_DIGEST_MD5_TEXT_H

#include <stdint.h>

#include "digest/md5.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the 32 characters of the digest and a NUL into `text`. */
void md5_digest_text(const uint8_t digest[16], char text[MD5_HEX_LENGTH + 1]);

#ifdef __cplusplus
}
#endif

#endif

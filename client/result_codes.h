/* Result codes of every operation of the connection library.
 * 0 is success; every failure has bit 31 set. The values are part of the
 * library's contract with its callers and never change. */
#ifndef ORVA_CLIENT_RESULT_CODES_H
#define ORVA_CLIENT_RESULT_CODES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ResultCode;

#define RC_OK ((ResultCode)0x00000000u)
#define RC_ENV_REFUSED ((ResultCode)0x80000001u)
#define RC_SCAN_525 ((ResultCode)0x80000002u)
#define RC_COMMAND_TOO_LONG ((ResultCode)0x80000007u)
#define RC_BAD_ARGUMENT ((ResultCode)0x80000008u)
#define RC_NO_MEMORY ((ResultCode)0x8000000eu)
#define RC_BUSY ((ResultCode)0x80000013u)
#define RC_CONNECT_FAILED ((ResultCode)0x80000015u)
#define RC_TIMEOUT ((ResultCode)0x80000016u)
#define RC_READ_FAILED ((ResultCode)0x80000017u)
#define RC_WRITE_FAILED ((ResultCode)0x80000018u)
#define RC_PROTOCOL_ERROR ((ResultCode)0x80000019u)
#define RC_VERSION_MISMATCH ((ResultCode)0x8000001au)
#define RC_SERVER_OVERLOADED ((ResultCode)0x8000001bu)
#define RC_COPY_READ_FAILED ((ResultCode)0x8000001cu)
#define RC_CHECKSUM_MISMATCH ((ResultCode)0x8000001du)
#define RC_NO_TEMP_FILE ((ResultCode)0x8000001fu)
#define RC_SCAN_532 ((ResultCode)0x80000020u)
#define RC_CLIENT_NOT_ALLOWED ((ResultCode)0x80000021u)
#define RC_ENV_202 ((ResultCode)0x80000022u)

/* Non-zero when the code reports a failure. */
#define RC_FAILED(code) (((code)&0x80000000u) != 0u)

#ifdef __cplusplus
}
#endif

#endif

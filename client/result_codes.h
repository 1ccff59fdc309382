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

/* Success. */
#define RC_OK ((ResultCode)0x00000000u)
/* The server refused an ENV command (final reply 501). */
#define RC_ENV_REFUSED ((ResultCode)0x80000001u)
/* The server ended a scan with the final reply 525. */
#define RC_SCAN_525 ((ResultCode)0x80000002u)
/* A command line does not fit the send buffer; nothing was sent. */
#define RC_COMMAND_TOO_LONG ((ResultCode)0x80000007u)
/* An argument was refused (null, empty, too long, a bad address or port, a
 * file that cannot be opened or read for NETSCAN); nothing was sent. */
#define RC_BAD_ARGUMENT ((ResultCode)0x80000008u)
/* Memory could not be allocated; nothing was sent. */
#define RC_NO_MEMORY ((ResultCode)0x8000000eu)
/* Another command is in progress; or, with CONN_NO_WAIT, the command has been
 * queued and the caller drives it with conn_step. */
#define RC_BUSY ((ResultCode)0x80000013u)
/* The socket could not be created or connected, or the greeting had an
 * unknown code. */
#define RC_CONNECT_FAILED ((ResultCode)0x80000015u)
/* A wait passed its time limit (the connect's, or the event loop's). */
#define RC_TIMEOUT ((ResultCode)0x80000016u)
/* The server closed the connection, a read or a wait failed, or a reply line
 * did not fit the receive buffer. */
#define RC_READ_FAILED ((ResultCode)0x80000017u)
/* A write to the server failed, or the server spoke while the client was
 * still sending. */
#define RC_WRITE_FAILED ((ResultCode)0x80000018u)
/* A reply that the command does not expect (a final code outside its table,
 * a malformed greeting or key line). */
#define RC_PROTOCOL_ERROR ((ResultCode)0x80000019u)
/* The server greeted with a protocol version other than 4. */
#define RC_VERSION_MISMATCH ((ResultCode)0x8000001au)
/* The server greeted with 401: it is overloaded. */
#define RC_SERVER_OVERLOADED ((ResultCode)0x8000001bu)
/* A file could not be read: the scanned file during an upload (or it ended
 * before its announced size), or a cured copy while it was written over the
 * scanned file. */
#define RC_COPY_READ_FAILED ((ResultCode)0x8000001cu)
/* A cured copy was not stored: its digest differs from the announced one, or
 * the scanned file is no longer there to be written. */
#define RC_CHECKSUM_MISMATCH ((ResultCode)0x8000001du)
/* A cured copy was not stored: no temporary file could hold it. */
#define RC_NO_TEMP_FILE ((ResultCode)0x8000001fu)
/* The server ended a scan with the final reply 532. */
#define RC_SCAN_532 ((ResultCode)0x80000020u)
/* The server greeted with 402: this client's address is not allowed. */
#define RC_CLIENT_NOT_ALLOWED ((ResultCode)0x80000021u)
/* The server answered an ENV command with 202. */
#define RC_ENV_202 ((ResultCode)0x80000022u)

/* Non-zero when the code reports a failure. */
#define RC_FAILED(code) (((code)&0x80000000u) != 0u)

/* A short lower-case text for the code, for messages: "timed out", "the
 * server closed the connection", "the server is overloaded", ... Every code
 * above has its own; any other value gives "unknown result code". The text
 * is constant: the caller neither changes nor releases it. */
const char *result_code_text(ResultCode code);

#ifdef __cplusplus
}
#endif

#endif

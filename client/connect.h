/* Opening a connection: a Unix-domain path or a TCP host with an optional
 * port, the connect itself, and the server's greeting, which announces the
 * protocol version and the signature database's date and size. */
#ifndef ORVA_CLIENT_CONNECT_H
#define ORVA_CLIENT_CONNECT_H

#include <stdint.h>
#include <sys/socket.h>

#include "client/connection.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest Unix-domain socket path, default TCP port, protocol version. */
#define CONN_UNIX_PATH_MAX 107
#define CONN_DEFAULT_PORT 9001
#define CONN_PROTOCOL_VERSION 4

/* Connects to `address` and waits for the server's greeting, whatever
 * CONN_NO_WAIT says. A path beginning with "/" (at most 107 characters) is a
 * Unix-domain socket; any other text is a TCP host, a dotted IPv4 address or
 * a name, with ":port" (1 to 65535, 9001 by default). `timeout_sec` bounds a
 * TCP connect only; the greeting is awaited as the event loop waits. The
 * greeting's fields are stored in the record and CONN_TCP is set for TCP.
 *
 * On every failure after the socket was created the socket is closed, sock
 * is -1 and nothing is in progress, so the same record can be opened again;
 * `result` then holds the code too (for the codes that the argument checks
 * give, it is unchanged).
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT        empty address, path too long, port outside the
 *                          range, host not found
 *   RC_NO_MEMORY           the address could not be copied
 *   RC_CONNECT_FAILED      the socket could not be created or connected, or
 *                          the greeting had a code other than 201, 401, 402
 *   RC_TIMEOUT             no TCP connection within timeout_sec, or no
 *                          greeting line within the loop's limit
 *   RC_SERVER_OVERLOADED   greeting 401
 *   RC_CLIENT_NOT_ALLOWED  greeting 402
 *   RC_VERSION_MISMATCH    greeting 201 with a protocol version other than 4
 *   RC_PROTOCOL_ERROR      greeting 201 without every field
 *   RC_READ_FAILED         the server closed the connection or a read or the
 *                          wait failed before a complete line */
ResultCode conn_open(const char *address, int32_t timeout_sec, ServerConnection *conn);

/* Connects the socket `fd` without blocking longer than timeout_sec seconds;
 * a signal that interrupts the wait does not end it. On success the socket is
 * left in blocking mode.
 *
 * Returns RC_OK, or:
 *   RC_CONNECT_FAILED   the connect failed, the wait failed, or timeout_sec
 *                       is negative
 *   RC_TIMEOUT          the connection was not made in time */
ResultCode connect_with_timeout(int fd, int32_t timeout_sec, const struct sockaddr *address,
                                socklen_t address_length);

/* Calls connect once. Returns RC_OK, or RC_CONNECT_FAILED when it fails. */
ResultCode connect_blocking(int fd, const struct sockaddr *address, socklen_t address_length);

/* The reply handler of the greeting: stores what a 201 line announces and
 * ends the wait on the first line, whatever its fourth character; `result`
 * says how the greeting went (see conn_open). */
void on_greeting(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

#ifdef __cplusplus
}
#endif

#endif

/* Opening a connection: a Unix-domain path or a TCP host (a name, an IPv4 or
 * an IPv6 address) with an optional port, the connect itself, waited for or
 * driven by the caller's loop, and the server's greeting, which announces
 * the protocol version and the signature database's date and size. */
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
 * CONN_NO_WAIT says: conn_open_start, then the library's own loop (conn_run)
 * until the greeting has been read.
 *
 * The address forms:
 *   /path        a Unix-domain socket (at most 107 characters)
 *   host         a TCP server on port 9001: a dotted IPv4 address, used as it
 *                stands, or a name, resolved with getaddrinfo to IPv4 and
 *                IPv6 addresses, which are tried in turn
 *   host:port    the same on another port (1 to 65535); the text behind the
 *                first colon is read as strtol reads it ("12junk" is 12)
 *   [v6]         an IPv6 address, such as [::1], on port 9001
 *   [v6]:port    the same on another port
 * conn_check_address checks these forms strictly, without connecting.
 *
 * `timeout_sec` bounds the connect, over either transport: all the addresses
 * of a name are tried within it, and a Unix-domain server whose listen queue
 * is full is waited for at most that long. The greeting is then awaited as
 * the event loop waits. The greeting's fields are stored in the record and
 * CONN_TCP is set for TCP. The name look-up itself may block for as long as
 * the system's resolver takes.
 *
 * A command or open still in progress on the record is discarded first, as
 * conn_close discards it. A socket that an idle record still holds is not
 * closed (the caller may have closed it already): end a connection with
 * conn_quit or conn_close before opening the record again.
 *
 * On every failure after a socket was created the socket is closed, sock is
 * -1 and nothing is in progress, so the same record can be opened again;
 * `result` then holds the code too (for the codes that the argument checks
 * give, and when no socket could be created, it is unchanged).
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT        empty address, path too long, port outside the
 *                          range, malformed [v6], host not found
 *   RC_NO_MEMORY           the addresses to try could not be kept
 *   RC_CONNECT_FAILED      no socket could be created or connected (every
 *                          address refused or failed), or the greeting had a
 *                          code other than 201, 401, 402
 *   RC_TIMEOUT             no connection within timeout_sec, no greeting line
 *                          within the loop's limit, or the deadline passed
 *   RC_SERVER_OVERLOADED   greeting 401
 *   RC_CLIENT_NOT_ALLOWED  greeting 402
 *   RC_VERSION_MISMATCH    greeting 201 with a protocol version other than 4
 *   RC_PROTOCOL_ERROR      greeting 201 without every field
 *   RC_READ_FAILED         the server closed the connection or a read or the
 *                          wait failed before a complete line */
ResultCode conn_open(const char *address, int32_t timeout_sec, ServerConnection *conn);

/* Starts to open the connection without waiting: checks and resolves the
 * address as conn_open does (the name look-up may block inside this call),
 * creates the socket and starts the connect. Drive the open from here with
 * conn_fd, conn_events, conn_timeout_ms and conn_process (or conn_run)
 * until conn_process returns something other than RC_BUSY: the greeting's
 * code, exactly the codes that conn_open returns. The connect time-out, the
 * greeting's wait and the deadline apply as in conn_open. Every failure, at
 * once or later, closes the socket (sock -1) and leaves the record idle.
 *
 * Returns RC_BUSY once the connect has started, or at once one of the
 * failures that conn_open returns (RC_BAD_ARGUMENT, RC_NO_MEMORY, and
 * RC_CONNECT_FAILED when no address can even be tried). */
ResultCode conn_open_start(const char *address, int32_t timeout_sec, ServerConnection *conn);

/* Checks the syntax of an address in the forms of conn_open, strictly,
 * without resolving a name or connecting: for front ends that refuse a bad
 * address as a usage error. A host is a name or a dotted address made of
 * letters, digits, ".", "-" and "_"; a port is decimal digits alone, 1 to
 * 65535; between brackets stands an IPv6 address.
 *
 * Returns RC_OK, or RC_BAD_ARGUMENT for a null or empty address, an empty
 * host, "host:" without a port, a port outside 1..65535 or with anything
 * but digits ("host:0", "host:12junk", "host:1:2"), a malformed [..] (not
 * closed, empty, no IPv6 address, followed by anything but ":port"), or a
 * Unix-domain path longer than 107 characters. */
ResultCode conn_check_address(const char *address);

/* Connects the socket `fd` without blocking longer than timeout_sec seconds
 * (conn_open no longer uses it: it is kept for callers of the library);
 * a signal that interrupts the wait does not end it. On success the socket is
 * left in blocking mode.
 *
 * Returns RC_OK, or:
 *   RC_CONNECT_FAILED   the connect failed, the wait failed, or timeout_sec
 *                       is negative
 *   RC_TIMEOUT          the connection was not made in time */
ResultCode connect_with_timeout(int fd, int32_t timeout_sec, const struct sockaddr *address,
                                socklen_t address_length);

/* Calls connect once. Returns RC_OK, or RC_CONNECT_FAILED when it fails.
 * (conn_open no longer uses it: it is kept for callers of the library.) */
ResultCode connect_blocking(int fd, const struct sockaddr *address, socklen_t address_length);

/* The reply handler of the greeting: stores what a 201 line announces and
 * ends the wait on the first line, whatever its fourth character; `result`
 * says how the greeting went (see conn_open). */
void on_greeting(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

#ifdef __cplusplus
}
#endif

#endif

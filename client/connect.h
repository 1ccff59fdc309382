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

/* Connects to `address` (a path beginning with "/", else "host" or
 * "host:port") and waits for the greeting. The time-out bounds a TCP connect
 * only. On failure `conn->result` tells why; the socket is left open. */
ResultCode conn_open(const char *address, int32_t timeout_sec, ServerConnection *conn);

/* Connects a socket without blocking longer than timeout_sec seconds and
 * leaves it in blocking mode on success. */
ResultCode connect_with_timeout(int fd, int32_t timeout_sec, const struct sockaddr *address,
                                socklen_t address_length);

/* Calls connect once. */
ResultCode connect_blocking(int fd, const struct sockaddr *address, socklen_t address_length);

/* Reply handler of the greeting line. */
void on_greeting(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

#ifdef __cplusplus
}
#endif

#endif

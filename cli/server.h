// Opening and closing the front end's connections to the scanning server,
// with the client's buffer size and time limits, and the message that says
// why a connection could not be opened.
#pragma once

#include <cstdint>

#include "client/connection.h"

// The size of each connection buffer, and the limit of the connect and of
// every wait for the server, in seconds.
constexpr uint32_t kBufferSize = 8192;
constexpr uint32_t kTimeoutSec = 300;

// Whether `address` is a TCP address that the library can connect to, as
// far as can be told without a name lookup: a host that is not empty and,
// after the first colon, a port of decimal digits only from 1 to 65535.
bool tcp_address_valid(const char *address);

// Creates a connection with `flags` and opens it at `address` (a socket path
// or "host[:port]"), which waits for the greeting. Returns the connection, or
// null with *failure set to the fatal message that says why ("ERROR: ...\n").
ServerConnection *open_server(const char *address, uint16_t flags, const char **failure);

// As open_server, but while no server greets (none listens yet, it refuses,
// is overloaded or does not answer) the connection is tried again every half
// second, for up to `wait_sec` seconds in all; a server that does not allow
// this client, or speaks another protocol version, ends the wait at once.
// With a wait of 0 it is open_server.
ServerConnection *open_server_waiting(const char *address, uint16_t flags, int wait_sec,
                                      const char **failure);

// Closes the connection's socket, if any, and releases the record.
void close_server(ServerConnection *conn);

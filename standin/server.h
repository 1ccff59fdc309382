// The stand-in server's listening side: a Unix-domain socket and/or a
// loopback TCP port, an accept loop that gives every connection a thread of
// its own, and a clean end on SIGINT or SIGTERM.
#pragma once

#include "standin/config.h"

namespace standin {

// Most connections served at once; a client beyond them is greeted with 401
// (overloaded) and let go.
constexpr unsigned kMaxClients = 128;

// Listens as the configuration says and serves until SIGINT or SIGTERM.
// The Unix-domain socket is bound under a temporary name in the same folder
// and renamed to its path once it listens, so the path exists only when
// connections succeed; an earlier socket at the path is replaced, anything
// else there is an error. With TCP, "tcp-port N" goes to standard output
// once every listener is ready. Returns the process's exit status; the
// socket path is gone when it returns. Worker threads may still be running
// then, so the caller must end the process without destroying `config`.
int run_server(const ServerConfig &config);

} // namespace standin

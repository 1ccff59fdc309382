// The stand-in server's listening side: a Unix-domain socket and/or a
// loopback TCP port, an accept loop that gives every connection a thread of
// its own, and a clean end on SIGINT or SIGTERM.
#pragma once

#include "standin/config.h"

namespace standin {

// Listens as the configuration says and serves until SIGINT or SIGTERM.
// Every connection has a thread of its own, up to max_connections at once
// (counted over both listeners until the server has closed them); a client
// beyond them is greeted with 401 at once and let go. A served connection is
// greeted greet_delay_ms after its accept, without holding up the others.
// The Unix-domain socket is bound under a temporary name in the same folder
// and renamed to its path once it listens, so the path exists only when
// connections succeed; an earlier socket at the path is replaced, anything
// else there is an error. With TCP, "tcp-port N" goes to standard output
// once every listener is ready. Returns the process's exit status; the
// socket path is gone when it returns. Worker threads may still be running
// then, so the caller must end the process without destroying `config`.
int run_server(const ServerConfig &config);

} // namespace standin

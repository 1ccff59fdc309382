// The scanning servers of a run and the front end's connections to them:
// opening and closing with the client's buffer size and time limits, the
// message that says why a connection could not be opened, and, for a list
// of servers (-t a,b,...), which server is used and which is down.
#pragma once

#include <cstdint>

#include "cli/options.h"
#include "client/connection.h"
#include "client/server_list.h"

// The size of each connection buffer, and the limit of the connect and of
// every wait for the server, in seconds, unless --timeout says otherwise.
constexpr uint32_t kBufferSize = 8192;
constexpr uint32_t kTimeoutSec = 300;

// The servers a run may use: the one address of -p or -t, or the list of
// -t. With one address a server is never marked down and nothing is said
// about it; only the run's messages of today speak of it.
struct ServerSet {
    const char *address = nullptr; // the one server, when there is no list
    ServerList *list = nullptr;    // the listed servers, two or more; not owned
    uint32_t timeout_sec = kTimeoutSec;
};

// The servers that the options name.
ServerSet servers_of(const RunOptions &options);

// How many servers there are (1 for one address), and the address of one.
uint32_t server_count(const ServerSet &servers);
const char *server_address(const ServerSet &servers, uint32_t index);

// The first server at `from` or behind it (wrapping around) that is not
// marked down, or -1 when every one is; one address is never down.
int32_t first_live_server(const ServerSet &servers, uint32_t from);

// Marks a listed server down after `code` said that it could not be used,
// with one line on standard error when it was not down already. Nothing for
// one address.
void mark_server_down(const ServerSet &servers, uint32_t index, ResultCode code);

// Whether a command's failure means that its connection is gone: the server
// closed it, sending to it failed, or it did not answer in time.
bool connection_lost(ResultCode code);

// The fatal message ("ERROR: ...\n") for an open that failed with `code`.
const char *open_failure_message(ResultCode code);

// A new connection record with `flags`, the buffers and the time limits of
// the run; null when memory runs out.
ServerConnection *create_connection(const ServerSet &servers, uint16_t flags);

// Creates a connection with `flags` and opens it, which waits for the
// greeting: on the one address, or on the first listed server that works,
// from `first` on, each server that does not work marked down and said so.
// Returns the connection (its server's index in *opened), or null with
// *code and *failure set: the code and the fatal message of the first
// failure.
ServerConnection *open_server(const ServerSet &servers, uint32_t first, uint16_t flags,
                              uint32_t *opened, ResultCode *code, const char **failure);

// As open_server from the first server, but while no server greets (none
// listens yet, it refuses, is overloaded or does not answer) every server is
// tried again, in list order, every half second, for up to `wait_sec`
// seconds in all, without marking any down; a server that does not allow
// this client, or speaks another protocol version, is not asked again, and
// when no server is left the wait ends at once. The failure is that of the
// first server of the last round. With a wait of 0 it is open_server.
ServerConnection *open_server_waiting(const ServerSet &servers, uint16_t flags, int wait_sec,
                                      uint32_t *opened, const char **failure);

// Closes the connection, whatever is in progress on it, and releases it.
void close_server(ServerConnection *conn);

// One client's conversation with the stand-in server: the greeting, then each
// command line read and answered, under the configured fault and benchmark
// modes, until the client or the server hangs up.
#pragma once

#include <string>

#include "standin/config.h"

namespace standin {

// Converses on a connected socket until the conversation ends; the caller
// closes the socket afterwards.
//
// Commands: SCAN x<letters> <path>, NETSCAN x<letters> <size> <digest>,
// KEYS, NOOP, QUIT (answered, then the server hangs up) and ENV <op><text>.
// The letter 'l' among a scan's letters asks for a cure. Anything else gets a
// final 500; a malformed SCAN, NETSCAN or ENV gets 501. With close_after set
// the server hangs up once it has answered that many commands, without
// reading the next one.
void serve_connection(int fd, const ServerConfig &config);

// Text of the 201 greeting line: the server's version (1), the protocol
// version (4), the number of signatures loaded, the database date, the
// record count and the tag.
std::string greeting_text(const ServerConfig &config);

} // namespace standin

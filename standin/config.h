// The stand-in server's settings: its command line and what the options load
// (signatures, the served cured copy).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin/signatures.h"

namespace standin {

enum class Refusal { None, Overloaded, NotAllowed };

// Most connections served at once unless --max-connections says otherwise;
// a client beyond them is greeted with 401 (overloaded) and let go.
constexpr unsigned kMaxClients = 128;

struct ServerConfig {
    std::string socket_path; // empty: no Unix-domain socket
    bool tcp = false;
    uint16_t tcp_port = 0; // 0: any free port

    // What the greeting announces.
    std::string date = "15062024"; // DDMMYYYY
    uint32_t records = 1000;
    std::string tag = "standin";

    std::vector<std::string> keys; // texts of the 301 lines, normalised
    std::vector<Signature> signatures = builtin_signatures();

    // Fault modes.
    Refusal refuse = Refusal::None;
    unsigned slow_ms = 0; // pause before each reply line
    bool bytewise = false;
    std::optional<uint64_t> close_after; // commands answered before the server hangs up

    // As a member of a pool of servers.
    unsigned max_connections = kMaxClients; // served at once, over both listeners
    unsigned greet_delay_ms = 0;            // from the accept to the greeting

    // Benchmark modes.
    unsigned scan_delay_ms = 0; // pause before answering each scan
    bool instant = false;
    bool serve_cured = false;
    std::string cured_copy;   // the bytes served by --serve-cured
    std::string cured_digest; // and their digest text
};

enum class Parsed { Run, Help, Error };

// Reads the arguments (without the program name) into `config`, then loads the
// signature file and the file to serve. On Error, `error` says why in one line.
Parsed parse_command_line(const std::vector<std::string> &args, ServerConfig &config,
                          std::string &error);

const char *usage_text();

} // namespace standin

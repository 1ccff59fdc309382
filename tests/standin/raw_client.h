// A tiny client for the end-to-end tests: it connects to a server over a Unix
// socket or a loopback TCP port and trades raw command lines, reply lines and
// bytes with it, every wait bounded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standin/wire.h"
#include "standin_process.h"

struct Reply {
    std::vector<std::string> lines; // without CR LF; the final line last
    std::string cured_copy;         // bytes that followed a 312 line
    bool complete = false;          // a final line arrived
    const std::string &final_line() const { return lines.back(); }
};

class RawClient {
  public:
    explicit RawClient(const std::string &socket_path);
    explicit RawClient(uint16_t tcp_port);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return fd_ >= 0; }

    bool send(std::string_view bytes);
    // Ends what the client sends (shutdown for writing); replies still come.
    void end_sending();
    // The next line without its CR LF, or nothing when none came in time or
    // the server hung up.
    std::optional<std::string> line(int timeout_ms = kWaitLimitMs);
    // Lines up to and including a final one (a blank after the code); the
    // bytes announced by a 312 line are taken into cured_copy.
    Reply reply(int timeout_ms = kWaitLimitMs);
    // Sends the line with CR LF and reads its reply.
    Reply command(std::string_view line, int timeout_ms = kWaitLimitMs);
    // True when the server closes the connection within the bound without
    // sending anything more.
    bool hung_up(int timeout_ms = kWaitLimitMs);
    void close();

  private:
    int fd_ = -1;
    wire::LineReader reader_{-1};
};

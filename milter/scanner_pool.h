// Connections to the scanning server, shared by the filter's sessions: each
// scan takes a connection of its own, idle ones are kept for the next
// messages, and a connection that failed is never used again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "client/result_codes.h"
#include "client/scan.h"

struct PoolSettings {
    std::string address;          // as conn_open takes it
    uint32_t reply_timeout = 30;  // seconds, every wait for the server
    uint32_t connect_timeout = 5; // seconds, a TCP connect
    size_t max_idle = 16;         // idle connections kept; more are closed
};

class ScannerPool {
  public:
    explicit ScannerPool(PoolSettings settings);
    ScannerPool(const ScannerPool &) = delete;
    ScannerPool &operator=(const ScannerPool &) = delete;

    // Scans the file at `path` (absolute) with the client's default options
    // and no cure, into `report`, which the caller clears afterwards. An idle
    // connection is checked before it is used; when it breaks during the
    // scan (the server restarted since), the scan is tried once more on a
    // new connection. Returns the code of conn_open or conn_scan; RC_BUSY once
    // the pool is closed.
    ResultCode scan(const char *path, ScanReport *report);

    // Ends every idle connection, refuses later scans and waits up to
    // `wait_sec` seconds for the scans in progress. False if some are left.
    bool close(uint32_t wait_sec);

  private:
    ServerConnection *take(bool &reused, ResultCode &code);
    void give_back(ServerConnection *conn);
    ServerConnection *open(ResultCode &code);

    PoolSettings settings_;
    // The library looks a host name up with a call that is not thread-safe.
    bool serial_open_;
    std::mutex open_mutex_;
    std::mutex mutex_;
    std::condition_variable idle_cv_;
    std::vector<ServerConnection *> idle_;
    unsigned busy_ = 0;
    bool closed_ = false;
};

// Connections to the scanning servers, shared by the filter's sessions: each
// scan goes to the next live server of the list in turn and takes a
// connection of its own, idle ones are kept per server for the next
// messages, and a connection that failed is never used again. A server that
// cannot be used is left out for the revive time while the others take its
// scans.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "client/result_codes.h"
#include "client/scan.h"
#include "client/server_list.h"

struct PoolSettings {
    std::string servers;                          // a list as server_list_parse takes it
    uint32_t scan_timeout = 30;                   // seconds, the whole scan of one message
    uint32_t connect_timeout = 5;                 // seconds, each connect
    uint32_t revive = SERVER_LIST_DEFAULT_REVIVE; // seconds a failed server is left out
    size_t max_idle = 16;                         // idle connections kept per server
};

class ScannerPool {
  public:
    // The list must parse (the options check it); when it does not, or
    // memory runs out, the pool has no server and every scan fails.
    explicit ScannerPool(PoolSettings settings);
    ~ScannerPool();
    ScannerPool(const ScannerPool &) = delete;
    ScannerPool &operator=(const ScannerPool &) = delete;

    uint32_t size() const;
    const char *address(uint32_t index) const;

    // Scans the file at `path` (absolute) with the client's default options
    // and no cure, into `report`, which the caller clears afterwards. The
    // whole scan, connects and greetings included, ends within the scan
    // time-out. With several servers, one that cannot be used is marked down
    // (one log line) and the next is tried; a scan cut off by a lost
    // connection is tried once more on another server. With one server it
    // is tried for every scan, and a scan that breaks on a kept connection
    // (the server restarted since) is tried once more on a new one. Returns
    // the code of conn_open or conn_scan (the first failure's when no server
    // worked), RC_TIMEOUT when the time ran out between tries, RC_BUSY once
    // the pool is closed.
    ResultCode scan(const char *path, ScanReport *report);

    // The same on the server at `index` alone, for the set-up checks: no
    // other server is tried and no server is marked down.
    ResultCode scan_on(uint32_t index, const char *path, ScanReport *report);

    // Ends every idle connection (each server gets QUIT, with a short bound
    // for its answer), refuses later scans and waits up to `wait_sec` seconds
    // for the scans in progress. False if some are left.
    bool close(uint32_t wait_sec);

  private:
    using Clock = std::chrono::steady_clock;

    struct Server {
        std::vector<ServerConnection *> idle;
        bool down = false;        // marked down, and logged so
        Clock::time_point downed; // when it was last marked down
    };

    // A connection taken for one scan, and the server it goes to.
    struct Lease {
        ServerConnection *conn = nullptr;
        uint32_t server = 0;
        bool reused = false;  // a kept connection
        bool scanned = false; // the scan ran on it
    };

    ResultCode attempt(int32_t pinned, const char *path, ScanReport *report, Clock::time_point end,
                       Lease &used);
    Lease take(int32_t pinned, Clock::time_point end, ResultCode &code);
    ServerConnection *open(uint32_t index, uint32_t seconds, ResultCode &code);
    void give_back(const Lease &lease);
    void failed(uint32_t index, ResultCode code);
    void worked(uint32_t index);
    uint32_t soonest_back();
    bool enter();
    void leave();

    PoolSettings settings_;
    ServerList *list_ = nullptr;
    std::mutex mutex_;
    std::condition_variable idle_cv_;
    std::vector<Server> servers_;
    unsigned busy_ = 0;
    bool closed_ = false;
};

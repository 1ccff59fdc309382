#include "milter/scanner_pool.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <utility>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"
#include "milter/log.h"

namespace {

constexpr uint32_t kBufferSize = 8192;
// How long a server has to answer QUIT when the filter ends a connection:
// a server that says nothing must not hold up a stop.
constexpr uint32_t kQuitSec = 1;

// Failures after which the same scan may succeed on another connection.
bool connection_broke(ResultCode code) {
    return code == RC_READ_FAILED || code == RC_WRITE_FAILED;
}

// Whole seconds left until `end`, rounded up; 0 once it has passed.
uint32_t seconds_left(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<uint32_t>((left + 999) / 1000);
}

// Ends the connections with QUIT, all at once, and releases them: each server
// has kQuitSec to answer, however many connections there are.
void quit_all(const std::vector<ServerConnection *> &conns) {
    std::vector<ServerConnection *> waiting;
    for (ServerConnection *conn : conns) {
        conn_set_no_wait(conn, 1);
        conn_set_deadline(conn, kQuitSec);
        if (conn_send_command(conn, "QUIT\r\n", on_simple_reply, 0) == RC_BUSY && conn_busy(conn))
            waiting.push_back(conn);
    }
    std::vector<pollfd> fds;
    while (!waiting.empty()) {
        fds.clear();
        int64_t wait_ms = kQuitSec * 1000;
        for (ServerConnection *conn : waiting) {
            fds.push_back({conn_fd(conn), conn_events(conn), 0});
            const int64_t ms = conn_timeout_ms(conn);
            if (ms >= 0 && ms < wait_ms) wait_ms = ms;
        }
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait_ms));
        if (ready < 0 && errno != EINTR) break;
        size_t kept = 0;
        for (size_t index = 0; index < waiting.size(); ++index) {
            const short revents = ready > 0 ? fds[index].revents : 0;
            if (conn_process(waiting[index], revents) == RC_BUSY) waiting[kept++] = waiting[index];
        }
        waiting.resize(kept);
    }
    for (ServerConnection *conn : conns)
        conn_free(conn);
}

} // namespace

ScannerPool::ScannerPool(PoolSettings settings) : settings_(std::move(settings)) {
    if (server_list_parse(settings_.servers.c_str(), &list_, nullptr) != RC_OK) list_ = nullptr;
    server_list_set_revive(list_, settings_.revive);
    servers_.resize(server_list_size(list_));
}

ScannerPool::~ScannerPool() {
    for (Server &server : servers_)
        for (ServerConnection *conn : server.idle)
            conn_free(conn);
    server_list_free(list_);
}

uint32_t ScannerPool::size() const {
    return static_cast<uint32_t>(servers_.size());
}

const char *ScannerPool::address(uint32_t index) const {
    return server_list_address(list_, index);
}

bool ScannerPool::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    ++busy_;
    return true;
}

void ScannerPool::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --busy_;
    }
    idle_cv_.notify_all();
}

ServerConnection *ScannerPool::open(uint32_t index, uint32_t seconds, ResultCode &code) {
    ServerConnection *conn =
        conn_create(kBufferSize, settings_.scan_timeout, settings_.scan_timeout, 0);
    if (conn == nullptr) {
        code = RC_NO_MEMORY;
        return nullptr;
    }
    // The greeting counts against the scan's time too.
    conn_set_deadline(conn, seconds);
    const uint32_t connect = std::min(settings_.connect_timeout, seconds);
    code = conn_open(address(index), static_cast<int32_t>(connect), conn);
    if (code == RC_OK) return conn;
    conn_free(conn);
    return nullptr;
}

// The server with the oldest down mark, which comes back first.
uint32_t ScannerPool::soonest_back() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t best = 0;
    for (uint32_t index = 1; index < servers_.size(); ++index) {
        const Server &server = servers_[index];
        if (server.down && (!servers_[best].down || server.downed < servers_[best].downed))
            best = index;
    }
    return best;
}

// A connection for one scan: a kept one of the server, or a new one. Without
// a pinned server the list's next live server is tried first and then the
// live ones behind it; with every server down, the one that comes back first
// is tried alone.
ScannerPool::Lease ScannerPool::take(int32_t pinned, Clock::time_point end, ResultCode &code) {
    Lease lease;
    const uint32_t count = size();
    if (count == 0) {
        code = RC_BAD_ARGUMENT;
        return lease;
    }
    int32_t index = pinned;
    if (index < 0) index = server_list_next(list_);
    if (index < 0) index = static_cast<int32_t>(soonest_back());
    std::vector<bool> tried(count, false);
    ResultCode first = RC_OK;
    for (;;) {
        const auto at = static_cast<uint32_t>(index);
        tried[at] = true;
        lease.server = at;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) {
                code = RC_BUSY;
                return lease;
            }
            std::vector<ServerConnection *> &idle = servers_[at].idle;
            while (!idle.empty()) {
                ServerConnection *conn = idle.back();
                idle.pop_back();
                if (conn_alive(conn)) {
                    lease.conn = conn;
                    lease.reused = true;
                    return lease;
                }
                conn_free(conn);
            }
        }
        const uint32_t left = seconds_left(end);
        if (left == 0) {
            code = first != RC_OK ? first : RC_TIMEOUT;
            return lease;
        }
        ResultCode opened = RC_OK;
        lease.conn = open(at, left, opened);
        if (lease.conn != nullptr) {
            worked(at);
            return lease;
        }
        if (first == RC_OK) first = opened;
        code = first;
        if (pinned >= 0) return lease;
        // A server that was given less than its connect time because the
        // scan's time ran out is not to blame for it.
        const bool cut_short = opened == RC_TIMEOUT && seconds_left(end) == 0;
        if (!cut_short && opened != RC_NO_MEMORY) failed(at, opened);
        const int32_t next = server_list_first_live(list_, (at + 1) % count);
        if (next < 0 || tried[static_cast<uint32_t>(next)]) return lease;
        index = next;
    }
}

// Ends a scan that went well: keeps the connection for the next one on the
// same server, or ends it.
void ScannerPool::give_back(const Lease &lease) {
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<ServerConnection *> &idle = servers_[lease.server].idle;
        if (!closed_ && !servers_[lease.server].down && idle.size() < settings_.max_idle) {
            idle.push_back(lease.conn);
            keep = true;
        }
    }
    if (!keep) quit_all({lease.conn});
}

// A server that cannot be used: left out for the revive time, its kept
// connections closed, and one log line while it stays down. A single server
// is never left out: every scan tries it, as there is no other.
void ScannerPool::failed(uint32_t index, ResultCode code) {
    if (size() < 2) return;
    server_list_mark_down(list_, index);
    std::vector<ServerConnection *> idle;
    bool newly = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Server &server = servers_[index];
        newly = !server.down;
        server.down = true;
        server.downed = Clock::now();
        idle.swap(server.idle);
    }
    for (ServerConnection *conn : idle)
        conn_free(conn);
    // The list's syntax was checked at start: a refused address is a name
    // that the resolver does not know.
    const char *why =
        code == RC_BAD_ARGUMENT ? "its host name is not found" : result_code_text(code);
    if (newly)
        log_line(LOG_WARNING, "scanning server %s cannot be used: %s; tried again in %u s",
                 address(index), why, settings_.revive);
}

void ScannerPool::worked(uint32_t index) {
    bool was_down = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was_down = servers_[index].down;
        servers_[index].down = false;
    }
    if (!was_down) return;
    server_list_mark_up(list_, index);
    log_line(LOG_INFO, "scanning server %s is used again", address(index));
}

ResultCode ScannerPool::attempt(int32_t pinned, const char *path, ScanReport *report,
                                Clock::time_point end, Lease &lease) {
    ResultCode code = RC_OK;
    lease = take(pinned, end, code);
    if (lease.conn == nullptr) return code;
    scan_report_clear(report);
    const uint32_t left = seconds_left(end);
    if (left == 0) {
        // The connection is sound; only the time is up.
        give_back(lease);
        return RC_TIMEOUT;
    }
    conn_set_deadline(lease.conn, left);
    code = conn_scan(lease.conn, path, report, SCAN_DEFAULT_FLAGS, nullptr);
    lease.scanned = true;
    if (code == RC_OK)
        give_back(lease);
    else
        conn_free(lease.conn); // after any failure the connection is not trusted again
    lease.conn = nullptr;
    return code;
}

ResultCode ScannerPool::scan(const char *path, ScanReport *report) {
    if (!enter()) return RC_BUSY;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(settings_.scan_timeout);
    ResultCode code = RC_OK;
    for (bool retried = false;; retried = true) {
        Lease lease;
        code = attempt(-1, path, report, end, lease);
        if (code == RC_OK || !lease.scanned || !connection_broke(code) || retried) break;
        if (size() > 1)
            failed(lease.server, code);
        else if (!lease.reused)
            break;
    }
    leave();
    return code;
}

ResultCode ScannerPool::scan_on(uint32_t index, const char *path, ScanReport *report) {
    if (!enter()) return RC_BUSY;
    Lease lease;
    const ResultCode code =
        attempt(static_cast<int32_t>(index), path, report,
                Clock::now() + std::chrono::seconds(settings_.scan_timeout), lease);
    leave();
    return code;
}

bool ScannerPool::close(uint32_t wait_sec) {
    std::vector<ServerConnection *> idle;
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    for (Server &server : servers_) {
        idle.insert(idle.end(), server.idle.begin(), server.idle.end());
        server.idle.clear();
    }
    lock.unlock();
    quit_all(idle);
    lock.lock();
    return idle_cv_.wait_for(lock, std::chrono::seconds(wait_sec), [this] { return busy_ == 0; });
}

#include "milter/scanner_pool.h"

#include <arpa/inet.h>
#include <chrono>
#include <poll.h>
#include <unistd.h>
#include <utility>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"

namespace {

constexpr uint32_t kBufferSize = 8192;

// True for a TCP address whose host is not a dotted IPv4 address.
bool names_a_host(const std::string &address) {
    if (address.empty() || address[0] == '/') return false;
    std::string host = address.substr(0, address.find(':'));
    return inet_addr(host.c_str()) == INADDR_NONE;
}

// Closes the socket of a connection that may be in any state and releases it.
void discard(ServerConnection *conn) {
    if (conn->sock >= 0) ::close(conn->sock);
    conn->sock = -1;
    conn_free(conn);
}

// An idle connection is usable while nothing waits to be read on it: the
// server says nothing unasked, so a readable socket is one it has closed.
bool still_open(const ServerConnection *conn) {
    pollfd check = {conn->sock, POLLIN, 0};
    return ::poll(&check, 1, 0) == 0;
}

// Failures after which the same scan may succeed on a new connection.
bool connection_broke(ResultCode code) {
    return code == RC_READ_FAILED || code == RC_WRITE_FAILED;
}

} // namespace

ScannerPool::ScannerPool(PoolSettings settings)
    : settings_(std::move(settings)), serial_open_(names_a_host(settings_.address)) {}

ServerConnection *ScannerPool::open(ResultCode &code) {
    ServerConnection *conn =
        conn_create(kBufferSize, settings_.reply_timeout, settings_.reply_timeout, 0);
    if (conn == nullptr) {
        code = RC_NO_MEMORY;
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(open_mutex_, std::defer_lock);
    if (serial_open_) lock.lock();
    code =
        conn_open(settings_.address.c_str(), static_cast<int32_t>(settings_.connect_timeout), conn);
    if (code == RC_OK) return conn;
    // A failed open has closed its socket already.
    conn_free(conn);
    return nullptr;
}

ServerConnection *ScannerPool::take(bool &reused, ResultCode &code) {
    for (;;) {
        ServerConnection *conn = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) {
                code = RC_BUSY;
                return nullptr;
            }
            if (idle_.empty()) {
                ++busy_;
                break;
            }
            conn = idle_.back();
            idle_.pop_back();
            if (still_open(conn)) {
                ++busy_;
                reused = true;
                return conn;
            }
        }
        discard(conn);
    }
    reused = false;
    ServerConnection *conn = open(code);
    if (conn == nullptr) give_back(nullptr);
    return conn;
}

// Ends a scan: keeps the connection for the next one, or closes it.
void ScannerPool::give_back(ServerConnection *conn) {
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --busy_;
        if (conn != nullptr && !closed_ && idle_.size() < settings_.max_idle) {
            idle_.push_back(conn);
            keep = true;
        }
    }
    idle_cv_.notify_all();
    if (conn != nullptr && !keep) {
        conn_quit(conn);
        discard(conn);
    }
}

ResultCode ScannerPool::scan(const char *path, ScanReport *report) {
    ResultCode code = RC_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool reused = false;
        ServerConnection *conn = take(reused, code);
        if (conn == nullptr) return code;
        scan_report_clear(report);
        code = conn_scan(conn, path, report, SCAN_DEFAULT_FLAGS, nullptr);
        if (code == RC_OK) {
            give_back(conn);
            return code;
        }
        // After any failure the connection is not trusted again.
        discard(conn);
        give_back(nullptr);
        if (!reused || !connection_broke(code)) return code;
    }
    return code;
}

bool ScannerPool::close(uint32_t wait_sec) {
    std::vector<ServerConnection *> idle;
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    idle.swap(idle_);
    lock.unlock();
    for (ServerConnection *conn : idle) {
        conn_quit(conn);
        discard(conn);
    }
    lock.lock();
    return idle_cv_.wait_for(lock, std::chrono::seconds(wait_sec), [this] { return busy_ == 0; });
}

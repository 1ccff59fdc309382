// A Unix-domain socket that listens but never accepts, its listen queue
// filled by connections of its own: a connect to it finds no room, as with a
// scanning server that has stopped accepting.
#pragma once

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

class FullUnixQueue {
  public:
    explicit FullUnixQueue(std::string path) : path_(std::move(path)) {
        sockaddr_un address{AF_UNIX, {}};
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        const auto *where = reinterpret_cast<const sockaddr *>(&address);
        fds_.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (bind(fds_[0], where, sizeof address) != 0 || listen(fds_[0], 0) != 0) return;
        // The first connect that finds no room fails at once with EAGAIN.
        while (!full_ && fds_.size() < 64) {
            fds_.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            full_ = connect(fds_.back(), where, sizeof address) != 0 && errno == EAGAIN;
        }
    }
    ~FullUnixQueue() {
        for (int fd : fds_)
            close(fd);
        unlink(path_.c_str());
    }
    FullUnixQueue(const FullUnixQueue &) = delete;
    FullUnixQueue &operator=(const FullUnixQueue &) = delete;

    bool full() const { return full_; }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    std::vector<int> fds_; // the listener, then the connections in its queue
    bool full_ = false;
};

#include "standin/server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "standin/protocol.h"
#include "standin/session.h"
#include "standin/wire.h"

namespace standin {

namespace {

// As long a queue as the system allows: a burst of clients that all connect
// before any is served (a parallel scan opens every connection first) waits
// in it to be greeted, or told 401 beyond the limit, instead of being
// refused by the kernel.
constexpr int kBacklog = SOMAXCONN;
constexpr int kAcceptRetryMs = 50;

int signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    int saved = errno;
    char byte = 1;
    (void)!::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void fail(const std::string &what) {
    std::fprintf(stderr, "orvaserver-standin: %s: %s\n", what.c_str(), std::strerror(errno));
}

bool install_signal_handlers() {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fail("pipe");
        return false;
    }
    struct sigaction stop {};
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // Writes to a vanished client fail with EPIPE instead of ending the server.
    return ::sigaction(SIGINT, &stop, nullptr) == 0 && ::sigaction(SIGTERM, &stop, nullptr) == 0 &&
           ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

struct Listener {
    int fd = -1;
    bool tcp = false;
};

// The Unix-domain socket at `path`, and the identity of what was created there,
// so that only our own socket is removed at the end.
struct UnixSocket {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool created = false;

    void remove() {
        struct stat info {};
        if (created && ::lstat(path.c_str(), &info) == 0 && info.st_dev == device &&
            info.st_ino == inode)
            ::unlink(path.c_str());
        created = false;
    }
};

bool fill_unix_address(const std::string &path, sockaddr_un &address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int listen_unix(UnixSocket &socket_at) {
    const std::string &path = socket_at.path;
    sockaddr_un address;
    if (!fill_unix_address(path, address)) {
        std::fprintf(stderr, "orvaserver-standin: socket path longer than %zu characters: %s\n",
                     sizeof address.sun_path - 1, path.c_str());
        return -1;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISSOCK(info.st_mode)) {
        std::fprintf(stderr, "orvaserver-standin: %s exists and is not a socket\n", path.c_str());
        return -1;
    }

    // Bind under a temporary name beside the path and rename it into place
    // once it listens. Where the temporary name would not fit, bind the path
    // itself.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string temporary = folder + ".standin-" + std::to_string(::getpid()) + ".sock";
    sockaddr_un temporary_address;
    bool renaming = fill_unix_address(temporary, temporary_address);
    const std::string &bound = renaming ? temporary : path;

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        fail("socket");
        return -1;
    }
    ::unlink(bound.c_str());
    const sockaddr_un &bind_address = renaming ? temporary_address : address;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&bind_address), sizeof bind_address) != 0) {
        fail("bind " + bound);
        ::close(fd);
        return -1;
    }
    if (::listen(fd, kBacklog) != 0 ||
        (renaming && ::rename(temporary.c_str(), path.c_str()) != 0)) {
        fail(renaming ? "listen or rename to " + path : "listen on " + path);
        ::unlink(bound.c_str());
        ::close(fd);
        return -1;
    }
    if (::lstat(path.c_str(), &info) == 0) {
        socket_at.device = info.st_dev;
        socket_at.inode = info.st_ino;
        socket_at.created = true;
    }
    return fd;
}

int listen_tcp(uint16_t port, uint16_t &bound_port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        fail("socket");
        return -1;
    }
    int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, kBacklog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        fail("listen on 127.0.0.1:" + std::to_string(port));
        ::close(fd);
        return -1;
    }
    bound_port = ntohs(address.sin_port);
    return fd;
}

std::atomic<unsigned> active_clients{0};

void close_connection(int fd) {
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void serve_in_thread(int fd, const ServerConfig &config,
                     std::chrono::steady_clock::time_point accepted) {
    // Stop signals are for the accept loop; a worker never sees them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    // A slow greeting waits in this connection's own thread, asleep.
    if (config.greet_delay_ms > 0)
        std::this_thread::sleep_until(accepted + std::chrono::milliseconds(config.greet_delay_ms));
    serve_connection(fd, config);
    close_connection(fd);
    --active_clients;
}

// Gives a new connection a thread of its own, or 401 beyond the limit.
void start_client(int fd, const Listener &listener, const ServerConfig &config) {
    auto accepted = std::chrono::steady_clock::now();
    if (listener.tcp) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (++active_clients <= config.max_connections) {
        try {
            std::thread(serve_in_thread, fd, std::cref(config), accepted).detach();
            return;
        } catch (const std::system_error &) {
        }
    }
    --active_clients;
    wire::write_all(fd, reply_line(code::kOverloaded, true, "server is overloaded"));
    close_connection(fd);
}

// Takes every connection waiting at the (non-blocking) listener; the
// accepted sockets block.
void accept_pending(const Listener &listener, const ServerConfig &config) {
    for (;;) {
        int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            start_client(fd, listener, config);
        } else if (errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors or memory: let the backlog wait a little
            // rather than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                ::poll(nullptr, 0, kAcceptRetryMs);
            return;
        }
    }
}

} // namespace

int run_server(const ServerConfig &config) {
    if (!install_signal_handlers()) return 1;

    std::vector<Listener> listeners;
    auto close_all = [&] {
        for (const Listener &listener : listeners)
            ::close(listener.fd);
    };

    uint16_t tcp_port = 0;
    if (config.tcp) {
        int fd = listen_tcp(config.tcp_port, tcp_port);
        if (fd < 0) return 1;
        listeners.push_back({fd, true});
    }
    UnixSocket socket_at{config.socket_path};
    if (!config.socket_path.empty()) {
        int fd = listen_unix(socket_at);
        if (fd < 0) {
            close_all();
            return 1;
        }
        listeners.push_back({fd, false});
    }
    if (config.tcp) {
        std::printf("tcp-port %u\n", static_cast<unsigned>(tcp_port));
        std::fflush(stdout);
    }

    std::vector<pollfd> watched;
    watched.push_back({signal_pipe[0], POLLIN, 0});
    for (const Listener &listener : listeners)
        watched.push_back({listener.fd, POLLIN, 0});

    int status = 0;
    for (bool running = true; running;) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll");
            status = 1;
            break;
        }
        if (watched[0].revents != 0) break;
        for (size_t i = 1; i < watched.size(); ++i)
            if ((watched[i].revents & POLLIN) != 0) accept_pending(listeners[i - 1], config);
    }

    socket_at.remove();
    close_all();
    return status;
}

} // namespace standin

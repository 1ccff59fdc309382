// orvamilter: a mail filter for Postfix and Sendmail that has every message
// scanned by the scanning server before the mail server takes it.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <libmilter/mfapi.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "milter/filter.h"
#include "milter/log.h"
#include "milter/options.h"
#include "milter/scanner_pool.h"
#include "milter/spool.h"

namespace {

// Longest path that a scan accepts, and the part of it that the spool file's
// own name takes ("/orvamilter-" and 16 hexadecimal digits).
constexpr size_t kMaxScanPath = 1024;
constexpr size_t kSpoolNameLength = 28;

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    int saved = errno;
    char byte = 1;
    (void)!write(stop_pipe[1], &byte, 1);
    errno = saved;
}

int fail(const char *format, const char *detail) {
    std::fprintf(stderr, "orvamilter: ");
    std::fprintf(stderr, format, detail, std::strerror(errno));
    std::fputc('\n', stderr);
    return 1;
}

// The spool folder as an absolute path without links, so that the scanning
// server finds the files by their path whatever the current directory.
bool resolve_folder(const std::string &folder, std::string &resolved) {
    char buffer[PATH_MAX];
    if (realpath(folder.c_str(), buffer) == nullptr) return false;
    struct stat info {};
    if (stat(buffer, &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    if (std::strlen(buffer) + kSpoolNameLength > kMaxScanPath) {
        errno = ENAMETOOLONG;
        return false;
    }
    resolved = buffer;
    return true;
}

// A group name or number; (gid_t)-1 for none.
bool resolve_group(const std::string &name, gid_t &group) {
    group = static_cast<gid_t>(-1);
    if (name.empty()) return true;
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group *found = nullptr;
    errno = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (found != nullptr) {
        group = found->gr_gid;
        return true;
    }
    char *end = nullptr;
    unsigned long number = std::strtoul(name.c_str(), &end, 10);
    if (name[0] >= '0' && name[0] <= '9' && *end == '\0' && number < UINT32_MAX) {
        group = static_cast<gid_t>(number);
        return true;
    }
    if (errno == 0) errno = ENOENT;
    return false;
}

// Leaves the terminal and the session it was started from.
bool daemonize() {
    for (int round = 0; round < 2; ++round) {
        pid_t child = fork();
        if (child < 0) return false;
        if (child > 0) _exit(0);
        if (round == 0 && setsid() < 0) return false;
    }
    if (chdir("/") != 0) return false;
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return false;
    for (int fd = 0; fd <= 2; ++fd)
        if (dup2(null, fd) < 0) return false;
    close(null);
    return true;
}

// The path of a Unix-domain listening socket ("unix:PATH", "local:PATH" or
// a bare path); empty for any other kind.
std::string socket_path(const std::string &listen) {
    for (const char *prefix : {"unix:", "local:"})
        if (listen.rfind(prefix, 0) == 0) return listen.substr(std::strlen(prefix));
    return listen.rfind('/', 0) == 0 ? listen : std::string();
}

// Runs the library's loop in a thread of its own until it fails (1) or
// SIGTERM, SIGINT or SIGHUP arrives (0). Only this thread leaves those
// signals unblocked, and Linux gives a signal sent to the process to its main
// thread first when that thread takes it, so the stop is seen here. The loop
// is not waited for: the library looks at a stop request only every few
// seconds, between connections, while the filter can end at once.
int run_milter() {
    if (pipe2(stop_pipe, O_CLOEXEC) != 0) return 1;
    sigset_t stops;
    sigemptyset(&stops);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stops, signal);
        sigaction(signal, &action, nullptr);
    }
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &stops, &saved);
    static std::atomic<int> status{1};
    std::thread loop([] {
        status = smfi_main() == MI_SUCCESS ? 0 : 1;
        char byte = 0;
        (void)!write(stop_pipe[1], &byte, 1);
    });
    loop.detach();
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);

    char byte = 0;
    for (;;) {
        ssize_t got = read(stop_pipe[0], &byte, 1);
        if (got == 1) break;
        if (got < 0 && errno == EINTR) continue;
        return 1;
    }
    if (byte == 1) return 0;
    log_line(LOG_ERR, "the mail-filter loop ended");
    return status;
}

bool write_pid_file(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "we");
    if (file == nullptr) return false;
    std::fprintf(file, "%ld\n", static_cast<long>(getpid()));
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv) {
    // Held until the process ends: session threads use them to the last moment.
    static MilterOptions options;
    std::string error;
    switch (parse_options(argc, argv, options, error)) {
    case Parsed::Help:
        std::fputs(usage_text(), stdout);
        return 0;
    case Parsed::Version:
        std::puts("orvamilter " ORVA_VERSION);
        return 0;
    case Parsed::Error:
        std::fprintf(stderr, "orvamilter: %s\nTry 'orvamilter -h' for more.\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }

    static std::string folder;
    if (!resolve_folder(options.spool_dir, folder))
        return fail("spool folder %s: %s", options.spool_dir.c_str());
    gid_t group;
    if (!resolve_group(options.spool_group, group))
        return fail("group %s: %s", options.spool_group.c_str());

    PoolSettings pool_settings;
    pool_settings.address = options.server;
    pool_settings.reply_timeout = options.reply_timeout;
    pool_settings.connect_timeout = options.connect_timeout;
    static ScannerPool pool(pool_settings);

    // A write to a vanished peer fails with EPIPE instead of ending the filter.
    std::signal(SIGPIPE, SIG_IGN);
    log_open(options.log_stderr);
    if (smfi_setconn(options.listen.data()) != MI_SUCCESS ||
        !filter_register(options, folder, group, pool)) {
        errno = EINVAL;
        return fail("cannot use the socket %s: %s", options.listen.c_str());
    }
    // Listening before the process leaves the terminal reports a socket that
    // cannot be made where it can be read.
    if (smfi_opensocket(true) != MI_SUCCESS)
        return fail("cannot listen on %s: %s", options.listen.c_str());
    // The socket is removed at the end while it is still the one made here.
    const std::string listen_path = socket_path(options.listen);
    struct stat listening {};
    if (!listen_path.empty() && lstat(listen_path.c_str(), &listening) != 0) listening.st_ino = 0;
    if (!options.foreground && !daemonize()) return fail("cannot become a daemon%s: %s", "");
    if (!options.pid_file.empty() && !write_pid_file(options.pid_file)) {
        log_line(LOG_ERR, "pid file %s: %s", options.pid_file.c_str(), std::strerror(errno));
        return 1;
    }
    log_line(LOG_INFO, "orvamilter %s listening on %s, scanning with %s, spool folder %s",
             ORVA_VERSION, options.listen.c_str(), options.server.c_str(), folder.c_str());
    int status = run_milter();

    // The scans in progress may end, then every spool file that remains goes.
    if (!pool.close(options.reply_timeout + 1))
        log_line(LOG_WARNING, "stopping with scans still in progress");
    spool_stop();
    struct stat now {};
    if (listening.st_ino != 0 && lstat(listen_path.c_str(), &now) == 0 &&
        now.st_dev == listening.st_dev && now.st_ino == listening.st_ino)
        unlink(listen_path.c_str());
    if (!options.pid_file.empty()) unlink(options.pid_file.c_str());
    log_line(LOG_INFO, "stopped");
    std::fflush(stdout);
    std::fflush(stderr);
    // Ends without running destructors, which would race the session threads.
    _exit(status);
}

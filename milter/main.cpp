// orvamilter: a mail filter for Postfix and Sendmail that has every message
// scanned by the scanning server before the mail server takes it.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <libmilter/mfapi.h>
#include <pthread.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "milter/checks.h"
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

// While a daemon starts, the write end of the pipe that its first process
// reads: every failure and warning goes there, and so does the word that the
// start succeeded. -1 in the foreground.
int report_fd = -1;
bool log_stderr = false;

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

// A finding of the start once the process may have left the terminal: it is
// logged, and the person who started the filter reads it on standard error
// (through the first process for a daemon).
void start_report(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void start_report(int priority, const char *format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    log_line(priority, "%s", text);
    std::string line = priority <= LOG_ERR ? "" : "warning: ";
    line += text;
    line += '\n';
    if (report_fd >= 0)
        (void)!write(report_fd, line.data(), line.size());
    else if (!log_stderr)
        std::fprintf(stderr, "orvamilter: %s", line.c_str());
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

// The user of -u and the group it runs as: the one given after a colon, or
// the user's own.
struct RunAs {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Looks up "user" or "user:group" as -u gives it.
bool resolve_user(const std::string &given, RunAs &user, std::string &error) {
    const size_t colon = given.find(':');
    user.name = given.substr(0, colon);
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd *found = nullptr;
    getpwnam_r(user.name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr) {
        error = "no such user: " + user.name;
        return false;
    }
    user.uid = found->pw_uid;
    user.gid = found->pw_gid;
    if (colon != std::string::npos && !resolve_group(given.substr(colon + 1), user.gid)) {
        error = "no such group: " + given.substr(colon + 1);
        return false;
    }
    return true;
}

// Becomes the user of -u, with the groups it has in the group database.
bool become(const RunAs &user, std::string &error) {
    if (geteuid() == user.uid && getegid() == user.gid) return true;
    if (geteuid() != 0) {
        error = "-u " + user.name + " needs root";
        return false;
    }
    if (initgroups(user.name.c_str(), user.gid) != 0 || setgid(user.gid) != 0 ||
        setuid(user.uid) != 0) {
        error = "cannot become " + user.name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The path of a Unix-domain listening socket ("unix:PATH", "local:PATH" or
// a bare path); empty for any other kind.
std::string socket_path(const std::string &listen) {
    for (const char *prefix : {"unix:", "local:"})
        if (listen.rfind(prefix, 0) == 0) return listen.substr(std::strlen(prefix));
    return listen.rfind('/', 0) == 0 ? listen : std::string();
}

// Whether a program listens on the Unix socket at `path`: then starting
// would take its socket away. A socket that nobody answers is stale and may
// be replaced. False with `error` empty when nothing is in the way.
bool socket_in_use(const std::string &path, std::string &error) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false; // the library says why
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool answers =
        connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    int cause = errno;
    close(probe);
    if (answers) {
        error = "another program listens on " + path + " (is the filter running already?)";
        return true;
    }
    if (cause == ECONNREFUSED) return false;
    error = "cannot tell whether " + path + " is in use: " + std::strerror(cause);
    return true;
}

// Leaves the terminal and the session it was started from. The first
// process stays until the daemon says how its start went, through a pipe:
// it prints what the daemon reported and exits 0 only after the word that
// the filter is ready, so that a start that fails never looks like success.
bool daemonize() {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return false;
    pid_t child = fork();
    if (child < 0) return false;
    if (child > 0) {
        close(channel[1]);
        std::string said;
        char buffer[512];
        for (;;) {
            ssize_t got = read(channel[0], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            said.append(buffer, static_cast<size_t>(got));
        }
        waitpid(child, nullptr, 0);
        const std::string ready = "ready\n";
        bool started = said.size() >= ready.size() &&
                       said.compare(said.size() - ready.size(), ready.size(), ready) == 0;
        if (started) said.resize(said.size() - ready.size());
        std::istringstream lines(said);
        for (std::string line; std::getline(lines, line);)
            std::fprintf(stderr, "orvamilter: %s\n", line.c_str());
        if (!started && said.empty())
            std::fprintf(stderr, "orvamilter: the daemon ended while it started\n");
        _exit(started ? 0 : 1);
    }
    close(channel[0]);
    if (setsid() < 0) return false;
    child = fork();
    if (child < 0) return false;
    if (child > 0) _exit(0);
    report_fd = channel[1];
    if (chdir("/") != 0) return false;
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return false;
    for (int fd = 0; fd <= 2; ++fd)
        if (dup2(null, fd) < 0) return false;
    close(null);
    return true;
}

// Tells the first process that the start went well and lets it go.
void report_ready() {
    if (report_fd < 0) return;
    (void)!write(report_fd, "ready\n", 6);
    close(report_fd);
    report_fd = -1;
}

// The mail-filter library starts a thread of its own that waits for
// SIGTERM, SIGINT and SIGHUP with sigwait and then asks its loop to stop,
// which the loop notices only every few seconds. The filter catches those
// signals itself and stops at once. The library's thread can still take one
// first, right as it starts (a signal already sent, that the main thread has
// not yet had a processor to take), and the stop would then come seconds
// late. So the filter defines sigwait itself, in place of the system's, for
// the library's thread alone (nothing else here calls it): that thread waits
// in it for ever and never takes a signal.
extern "C" int sigwait(const sigset_t *, int *) {
    for (;;)
        pause();
}

// Runs the library's loop in a thread of its own until it fails (1) or
// SIGTERM, SIGINT or SIGHUP arrives (0). The loop's thread, and every thread
// it starts, begins with those signals blocked, while this thread never
// blocks them: Linux gives a signal sent to the process to its main thread
// whenever that thread can take it, so the stop is seen here at once. (Were
// it blocked here even for a moment, the library's own signal thread could
// take the signal, and the library looks at a stop request only every few
// seconds.) The loop is not waited for: the filter can end at once.
int run_milter() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stops, signal);
    static std::atomic<int> status{1};
    pthread_attr_t attributes;
    pthread_t loop;
    bool started = pthread_attr_init(&attributes) == 0;
    if (started) {
        started = pthread_attr_setsigmask_np(&attributes, &stops) == 0 &&
                  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                  pthread_create(
                      &loop, &attributes,
                      [](void *) -> void * {
                          status = smfi_main() == MI_SUCCESS ? 0 : 1;
                          char byte = 0;
                          (void)!write(stop_pipe[1], &byte, 1);
                          return nullptr;
                      },
                      nullptr) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        log_line(LOG_ERR, "cannot start the mail-filter loop");
        return 1;
    }

    char byte = 0;
    for (;;) {
        ssize_t got = read(stop_pipe[0], &byte, 1);
        if (got == 1) break;
        if (got < 0 && errno == EINTR) continue;
        return 1;
    }
    if (byte == 1) return 0;
    // The library ends its loop well after a stop signal that its own
    // thread took; that is a stop like any other.
    if (status == 0) return 0;
    log_line(LOG_ERR, "the mail-filter loop ended");
    return status;
}

// A stop asked for while the filter starts is kept in the pipe and acted on
// as soon as the loop runs, so that it never finds the socket without its
// owner.
bool catch_stops() {
    if (pipe2(stop_pipe, O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    // Not held while the handler runs, so that a second stop signal too
    // comes to this thread rather than to the library's.
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        if (sigaction(signal, &action, nullptr) != 0) return false;
    return true;
}

// The pid file is written without following a link planted at its name.
bool write_pid_file(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int saved = errno;
    if (close(fd) != 0 || !written) {
        if (written) saved = errno;
        unlink(path.c_str());
        errno = saved == 0 ? EIO : saved;
        return false;
    }
    return true;
}

// Prints the configuration check's findings; 0 when nothing failed.
int report_checks(const std::vector<CheckResult> &results) {
    int status = 0;
    for (const CheckResult &result : results) {
        const char *word = "ok";
        if (result.level == CheckLevel::Warning) word = "warning";
        if (result.level == CheckLevel::Failed) {
            word = "FAILED";
            status = 1;
        }
        std::printf("%s: %s\n", word, result.text.c_str());
    }
    return status;
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
    gid_t socket_group;
    if (!resolve_group(options.socket_group, socket_group))
        return fail("group %s: %s", options.socket_group.c_str());
    RunAs user;
    if (!options.run_as.empty() && !resolve_user(options.run_as, user, error)) {
        std::fprintf(stderr, "orvamilter: -u: %s\n", error.c_str());
        return 1;
    }

    PoolSettings pool_settings;
    pool_settings.servers = options.server;
    pool_settings.scan_timeout = options.scan_timeout;
    pool_settings.connect_timeout = options.connect_timeout;
    pool_settings.revive = options.revive;
    static ScannerPool pool(pool_settings);
    if (pool.size() == 0) {
        errno = ENOMEM;
        return fail("cannot keep the scanning servers %s: %s", options.server.c_str());
    }
    CheckSettings checks{folder, group, options.spool_group, true};

    // A write to a vanished peer fails with EPIPE instead of ending the
    // filter, and a spool write beyond the file-size limit fails with EFBIG.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    if (options.check_only) {
        if (!options.run_as.empty() && !become(user, error)) {
            std::printf("FAILED: %s\n", error.c_str());
            return 1;
        }
        // The connections end with the process, without waiting for a
        // server that may not answer QUIT.
        int status = report_checks(check_setup(checks, pool));
        std::fflush(stdout);
        _exit(status);
    }

    // A daemon works from "/": a relative pid file is taken from here.
    if (!options.pid_file.empty() && options.pid_file[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) == nullptr) return fail("pid file %s: %s", "");
        options.pid_file = std::string(here) + "/" + options.pid_file;
    }
    log_stderr = options.log_stderr;
    log_open(options.log_stderr);
    if (!catch_stops()) return fail("cannot catch signals%s: %s", "");
    const std::string listen_path = socket_path(options.listen);
    if (!listen_path.empty() && socket_in_use(listen_path, error)) {
        std::fprintf(stderr, "orvamilter: %s\n", error.c_str());
        return 1;
    }
    if (smfi_setconn(options.listen.data()) != MI_SUCCESS ||
        !filter_register(options, folder, group, pool)) {
        errno = EINVAL;
        return fail("cannot use the socket %s: %s", options.listen.c_str());
    }
    // Listening before the process leaves the terminal reports a socket that
    // cannot be made where it can be read. The socket gets its mode as it is
    // made (the umask), so that it is never more open than asked.
    mode_t saved_umask = 0;
    if (options.socket_mode >= 0)
        saved_umask = umask(static_cast<mode_t>(~options.socket_mode & 0777));
    bool listening_now = smfi_opensocket(true) == MI_SUCCESS;
    if (options.socket_mode >= 0) umask(saved_umask);
    if (!listening_now) return fail("cannot listen on %s: %s", options.listen.c_str());
    // The socket is removed at the end while it is still the one made here.
    struct stat listening {};
    if (!listen_path.empty() && lstat(listen_path.c_str(), &listening) != 0) listening.st_ino = 0;
    auto remove_socket = [&] {
        struct stat now {};
        if (listening.st_ino != 0 && lstat(listen_path.c_str(), &now) == 0 &&
            now.st_dev == listening.st_dev && now.st_ino == listening.st_ino)
            unlink(listen_path.c_str());
    };
    if ((options.socket_mode >= 0 &&
         chmod(listen_path.c_str(), static_cast<mode_t>(options.socket_mode)) != 0) ||
        (socket_group != static_cast<gid_t>(-1) &&
         chown(listen_path.c_str(), static_cast<uid_t>(-1), socket_group) != 0)) {
        int cause = errno;
        remove_socket();
        errno = cause;
        return fail("cannot set the mode or group of the socket %s: %s", listen_path.c_str());
    }

    if (!options.foreground && !daemonize()) {
        remove_socket();
        return fail("cannot become a daemon%s: %s", "");
    }
    // From here on every failure is reported through start_report, and the
    // start ends without leaving the socket or the pid file behind.
    bool wrote_pid = false;
    auto abandon = [&] {
        remove_socket();
        if (wrote_pid) unlink(options.pid_file.c_str());
        if (report_fd >= 0) close(report_fd);
        _exit(1);
    };
    if (!options.pid_file.empty()) {
        if (!write_pid_file(options.pid_file)) {
            start_report(LOG_ERR, "cannot write the pid file %s: %s", options.pid_file.c_str(),
                         std::strerror(errno));
            abandon();
        }
        wrote_pid = true;
    }
    if (!options.run_as.empty() && !become(user, error)) {
        start_report(LOG_ERR, "%s", error.c_str());
        abandon();
    }
    checks.server_needed = false;
    bool setup_failed = false;
    for (const CheckResult &result : check_setup(checks, pool)) {
        if (result.level == CheckLevel::Passed) {
            log_line(LOG_INFO, "%s", result.text.c_str());
            continue;
        }
        start_report(result.level == CheckLevel::Failed ? LOG_ERR : LOG_WARNING, "%s",
                     result.text.c_str());
        setup_failed = setup_failed || result.level == CheckLevel::Failed;
    }
    if (setup_failed) abandon();

    log_line(LOG_INFO, "orvamilter %s listening on %s, scanning with %s, spool folder %s",
             ORVA_VERSION, options.listen.c_str(), options.server.c_str(), folder.c_str());
    report_ready();
    int status = run_milter();

    // The scans in progress may end, then every spool file that remains goes.
    // Each scan ends within -t (give or take a second of rounding).
    if (!pool.close(options.scan_timeout + 2))
        log_line(LOG_WARNING, "stopping with scans still in progress");
    spool_stop();
    remove_socket();
    if (wrote_pid) unlink(options.pid_file.c_str());
    log_line(LOG_INFO, "stopped");
    std::fflush(stdout);
    std::fflush(stderr);
    // Ends without running destructors, which would race the session threads.
    _exit(status);
}

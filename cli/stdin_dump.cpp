// Copying standard input into the dump file.
#include "cli/stdin_dump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/system.h"
#include "cli/termination.h"
#include "client/connection.h"

namespace {

constexpr size_t kDumpPathSize = kCleanupPathSize;
constexpr size_t kStdinChunk = 8192;

// Empty until standard input has been captured once.
char dump_path[kDumpPathSize];

void report_dump_failure(const char *path, int error) {
    std::fprintf(stderr, "Could not write file %s: %s\n", path, std::strerror(error));
}

// Opens a new, empty dump file, mode 0600 whatever the umask: it holds what
// the user piped in, in a folder every local user can read. The name is
// predictable and the directory shared, so nothing found at the name is
// followed or truncated: only a regular file of our own (a stale dump of an
// earlier process with this id, or this run's dump) is removed first, and
// the create is exclusive. The name is recorded for the termination handler
// together with the creation.
int create_dump_file(const char *path) {
    TerminationHold hold;
    forget_dump_file();
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()) unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    remember_dump_file(path);
    if (fchmod(fd, 0600) != 0) {
        int error = errno;
        close(fd);
        unlink(path);
        forget_dump_file();
        errno = error;
        return -1;
    }
    return fd;
}

void remove_dump_file(const char *path) {
    TerminationHold hold;
    unlink(path);
    forget_dump_file();
}

} // namespace

bool capture_stdin() {
    char path[kDumpPathSize];
    std::snprintf(path, sizeof path, "/tmp/orvaclient-stdin-dump-%u",
                  static_cast<unsigned>(getpid()));

    int fd = create_dump_file(path);
    if (fd < 0) {
        report_dump_failure(path, errno);
        return false;
    }

    static char chunk[kStdinChunk];
    for (;;) {
        ssize_t got = sock_read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) break; // end of input, or a read error
        // A write beyond the file-size limit fails with EFBIG here, as
        // SIGXFSZ is ignored.
        int error = write_whole(fd, chunk, static_cast<size_t>(got));
        if (error != 0) {
            report_dump_failure(path, error);
            close(fd);
            remove_dump_file(path);
            return false;
        }
    }
    if (close(fd) != 0) {
        report_dump_failure(path, errno);
        remove_dump_file(path);
        return false;
    }
    std::memcpy(dump_path, path, sizeof path);
    return true;
}

const char *stdin_dump_path() {
    return dump_path;
}

void remove_stdin_dump() {
    if (dump_path[0] != '\0' && access(dump_path, R_OK) == 0) remove_dump_file(dump_path);
}

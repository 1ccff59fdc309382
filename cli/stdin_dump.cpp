// Copying standard input into the dump file.
#include "cli/stdin_dump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/connection.h"
#include "client/internal.h"

namespace {

constexpr size_t kDumpPathSize = 512;
constexpr size_t kStdinChunk = 8192;

// Empty until standard input has been captured once.
char dump_path[kDumpPathSize];

void report_dump_failure(const char *path, int error) {
    std::fprintf(stderr, "Could not write file %s: %s\n", path, std::strerror(error));
}

// Opens a new, empty dump file. The name is predictable and the directory
// shared, so nothing found at the name is followed or truncated: only a
// regular file of our own (a stale dump of an earlier process with this id,
// or this run's dump) is removed first, and the create is exclusive.
int create_dump_file(const char *path) {
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()) unlink(path);
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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
        if (write_all(fd, chunk, static_cast<size_t>(got)) != 0) {
            report_dump_failure(path, errno);
            close(fd);
            unlink(path);
            return false;
        }
    }
    if (close(fd) != 0) {
        report_dump_failure(path, errno);
        unlink(path);
        return false;
    }
    std::memcpy(dump_path, path, sizeof path);
    return true;
}

const char *stdin_dump_path() {
    return dump_path;
}

void remove_stdin_dump() {
    if (dump_path[0] != '\0' && access(dump_path, R_OK) == 0) unlink(dump_path);
}

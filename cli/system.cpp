#include "cli/system.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

int64_t monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int write_whole(int fd, const char *bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? ENOSPC : errno;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

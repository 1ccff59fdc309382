// The quarantine folder of --move and --copy.
#include "cli/quarantine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/stdin_dump.h"
#include "cli/system.h"
#include "cli/termination.h"

namespace {

// Names tried in the folder: the file's own, then with .1 up to this.
constexpr unsigned kMaxSuffix = 9999;
constexpr size_t kNameSize = 256 + sizeof ".9999";
constexpr size_t kChunk = 64 * 1024;

struct Identity {
    uint64_t device;
    uint64_t inode;
    bool used;
};

} // namespace

struct Quarantine {
    int fd;
    bool copies;
    char *shown; // the folder as given, without trailing slashes
    uint64_t device;
    uint64_t inode;
    Identity *done; // the files moved or copied so far: an open-addressing set
    size_t done_count;
    size_t done_capacity;
    char *buffer; // two chunks: the copy, and the comparison
};

namespace {

size_t slot_of(const Quarantine *q, uint64_t device, uint64_t inode) {
    uint64_t hash = (inode * 0x9e3779b97f4a7c15u) ^ device;
    return static_cast<size_t>(hash ^ (hash >> 29)) & (q->done_capacity - 1);
}

bool done_before(const Quarantine *q, const ScanJob &job) {
    if (q->done_capacity == 0) return false;
    for (size_t i = slot_of(q, job.device, job.inode); q->done[i].used;
         i = (i + 1) & (q->done_capacity - 1)) {
        if (q->done[i].device == job.device && q->done[i].inode == job.inode) return true;
    }
    return false;
}

void insert(Quarantine *q, uint64_t device, uint64_t inode) {
    size_t i = slot_of(q, device, inode);
    while (q->done[i].used)
        i = (i + 1) & (q->done_capacity - 1);
    q->done[i] = {device, inode, true};
    ++q->done_count;
}

// Remembers a file as done; false when memory runs out.
bool remember_done(Quarantine *q, const ScanJob &job) {
    if (2 * (q->done_count + 1) > q->done_capacity) {
        size_t capacity = q->done_capacity > 0 ? 2 * q->done_capacity : 64;
        auto *grown = static_cast<Identity *>(std::calloc(capacity, sizeof(Identity)));
        if (grown == nullptr) return false;
        Identity *old = q->done;
        size_t old_capacity = q->done_capacity;
        q->done = grown;
        q->done_capacity = capacity;
        q->done_count = 0;
        for (size_t i = 0; i < old_capacity; ++i)
            if (old[i].used) insert(q, old[i].device, old[i].inode);
        std::free(old);
    }
    insert(q, job.device, job.inode);
    return true;
}

bool same_file(const struct stat &info, const ScanJob &job) {
    return S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_dev) == job.device &&
           static_cast<uint64_t>(info.st_ino) == job.inode;
}

// The nth name tried for `base`: the name itself, then name.n.
void candidate(const char *base, unsigned n, char *name) {
    if (n == 0) {
        std::snprintf(name, kNameSize, "%s", base);
    } else {
        std::snprintf(name, kNameSize, "%s.%u", base, n);
    }
}

// Renames the file into the folder under the first free name, never over an
// existing one. 0, or the error (EXDEV across file systems).
int move_by_rename(Quarantine *q, const ScanJob &job, const char *base, char *name) {
    for (unsigned n = 0; n <= kMaxSuffix; ++n) {
        candidate(base, n, name);
        if (renameat2(AT_FDCWD, job.path, q->fd, name, RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        // The name may have been swapped for another file since it was
        // examined: such a file goes back where it was.
        struct stat info;
        if (fstatat(q->fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && same_file(info, job)) return 0;
        renameat2(q->fd, name, AT_FDCWD, job.path, RENAME_NOREPLACE);
        return kQuarantineChanged;
    }
    return kQuarantineNoName;
}

// Reads up to `length` bytes at `offset`; the count, or -1 with errno.
ssize_t read_at(int fd, char *bytes, size_t length, off_t offset) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = pread(fd, bytes + got, length - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Copies `size` bytes of `from` into `to`, flushes them to disk and reads
// both back to compare them. 0, or the error.
int copy_and_compare(Quarantine *q, int from, int to, off_t size) {
    char *chunk = q->buffer;
    char *other = q->buffer + kChunk;
    for (off_t offset = 0; offset < size;) {
        size_t want = size - offset < static_cast<off_t>(kChunk)
                          ? static_cast<size_t>(size - offset)
                          : kChunk;
        ssize_t got = read_at(from, chunk, want, offset);
        if (got < 0) return errno;
        if (static_cast<size_t>(got) != want) return kQuarantineChanged;
        // A write beyond the file-size limit fails with EFBIG: SIGXFSZ is
        // ignored.
        int error = write_whole(to, chunk, want);
        if (error != 0) return error;
        offset += got;
    }
    if (fsync(to) != 0) return errno;
    for (off_t offset = 0; offset < size;) {
        size_t want = size - offset < static_cast<off_t>(kChunk)
                          ? static_cast<size_t>(size - offset)
                          : kChunk;
        ssize_t a = read_at(from, chunk, want, offset);
        ssize_t b = read_at(to, other, want, offset);
        if (a < 0 || b < 0) return errno;
        if (static_cast<size_t>(a) != want || a != b || std::memcmp(chunk, other, want) != 0)
            return kQuarantineDiffers;
        offset += a;
    }
    struct stat info;
    if (fstat(to, &info) != 0) return errno;
    if (info.st_size != size) return kQuarantineDiffers;
    return 0;
}

bool unchanged(const struct stat &before, const struct stat &after) {
    return after.st_size == before.st_size && after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
           after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
           after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

// Copies the file into the folder under the first free name and, with
// `remove_original`, removes the original once the copy is known to be whole
// and on disk. 0, or the error; the original and the folder are then as they
// were.
int copy_into(Quarantine *q, const ScanJob &job, const char *base, char *name,
              bool remove_original) {
    int from = open(job.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (from < 0) return errno == ELOOP ? kQuarantineIsLink : errno;
    struct stat before;
    if (fstat(from, &before) != 0 || !same_file(before, job)) {
        close(from);
        return kQuarantineChanged;
    }

    int to = -1;
    int error = kQuarantineNoName;
    {
        // The copy's name is known to the termination handler from the
        // moment it exists.
        TerminationHold hold;
        for (unsigned n = 0; n <= kMaxSuffix && to < 0; ++n) {
            candidate(base, n, name);
            // Read and write: the copy is read back to be compared.
            to = openat(q->fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (to >= 0) {
                remember_partial_copy(q->fd, name);
            } else if (errno != EEXIST) {
                error = errno;
                break;
            }
        }
    }
    if (to < 0) {
        close(from);
        return error;
    }

    error = copy_and_compare(q, from, to, before.st_size);
    struct stat after;
    if (error == 0 && (fstat(from, &after) != 0 || !unchanged(before, after)))
        error = kQuarantineChanged;
    // The new name is on disk before the old one goes.
    if (error == 0 && fsync(q->fd) != 0 && errno != EINVAL) error = errno;
    {
        // Removing the original and forgetting the copy's name go together:
        // a signal in between would lose both.
        TerminationHold hold;
        if (error == 0 && remove_original) {
            struct stat now;
            if (lstat(job.path, &now) != 0 || !same_file(now, job)) {
                error = kQuarantineChanged;
            } else if (unlink(job.path) != 0) {
                error = errno;
            }
        }
        if (error != 0) unlinkat(q->fd, name, 0);
        forget_partial_copy();
    }
    close(to);
    close(from);
    return error;
}

} // namespace

Quarantine *quarantine_open(const char *dir, bool copies) {
    size_t length = std::strlen(dir);
    // A trailing slash would make open follow a link at the name.
    while (length > 1 && dir[length - 1] == '/')
        --length;
    auto *q = static_cast<Quarantine *>(std::calloc(1, sizeof(Quarantine)));
    char *path = static_cast<char *>(std::malloc(length + 1));
    char *buffer = static_cast<char *>(std::malloc(2 * kChunk));
    if (q == nullptr || path == nullptr || buffer == nullptr) {
        std::free(q);
        std::free(path);
        std::free(buffer);
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(path, dir, length);
    path[length] = '\0';
    q->fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (q->fd < 0 || fstat(q->fd, &info) != 0) {
        int error = errno;
        if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) error = ELOOP;
        if (q->fd >= 0) close(q->fd);
        std::free(q);
        std::free(path);
        std::free(buffer);
        errno = error;
        return nullptr;
    }
    // "/" is shown as "" so that its files read "/name".
    if (std::strcmp(path, "/") == 0) path[0] = '\0';
    q->copies = copies;
    q->shown = path;
    q->device = static_cast<uint64_t>(info.st_dev);
    q->inode = static_cast<uint64_t>(info.st_ino);
    q->buffer = buffer;
    return q;
}

void quarantine_close(Quarantine *quarantine) {
    if (quarantine == nullptr) return;
    close(quarantine->fd);
    std::free(quarantine->shown);
    std::free(quarantine->done);
    std::free(quarantine->buffer);
    std::free(quarantine);
}

void quarantine_identity(const Quarantine *quarantine, uint64_t *device, uint64_t *inode) {
    *device = quarantine->device;
    *inode = quarantine->inode;
}

void quarantine_file(Quarantine *q, ScanJob *job) {
    if (job->path == nullptr || done_before(q, *job)) return;
    struct stat info;
    if (lstat(job->path, &info) != 0) {
        job->quarantine_error = errno;
        return;
    }
    if (S_ISLNK(info.st_mode)) {
        job->quarantine_error = kQuarantineIsLink;
        return;
    }
    if (!same_file(info, *job)) {
        job->quarantine_error = kQuarantineChanged;
        return;
    }
    const char *slash = std::strrchr(job->path, '/');
    const char *base = slash != nullptr ? slash + 1 : job->path;
    size_t shown_length = std::strlen(q->shown);
    // The name it will be shown by, allocated before anything is moved.
    auto *destination = static_cast<char *>(std::malloc(shown_length + 1 + kNameSize));
    if (destination == nullptr) {
        job->quarantine_error = kQuarantineNoMemory;
        return;
    }
    std::memcpy(destination, q->shown, shown_length);
    destination[shown_length] = '/';
    char *name = destination + shown_length + 1;
    int error;
    if (q->copies) {
        error = copy_into(q, *job, base, name, false);
    } else {
        error = move_by_rename(q, *job, base, name);
        // Across file systems, or where the file system cannot rename
        // without replacing: copy, then remove.
        if (error == EXDEV || error == EINVAL || error == ENOSYS)
            error = copy_into(q, *job, base, name, true);
        // The dump of standard input is gone from its name now.
        if (error == 0 && std::strcmp(job->path, stdin_dump_path()) == 0) {
            TerminationHold hold;
            forget_dump_file();
        }
    }
    if (error != 0) {
        std::free(destination);
        job->quarantine_error = error;
        return;
    }
    job->destination = destination;
    // Without the memory to remember it, a file named again is examined
    // again: a moved one is gone from its path by then.
    remember_done(q, *job);
}

void quarantine_after_scan(Quarantine *quarantine, ScanJob *job, ResultCode code,
                           const ScanReport &report) {
    if (quarantine == nullptr || RC_FAILED(code)) return;
    if (report.verdict == VERDICT_INFECTED || report.verdict == VERDICT_CUREFAILED)
        quarantine_file(quarantine, job);
}

const char *quarantine_failure_text(int error) {
    switch (error) {
    case kQuarantineChanged:
        return "the file changed after its scan; it stays where it is";
    case kQuarantineIsLink:
        return "a symbolic link is not moved; its target stays where it is";
    case kQuarantineDiffers:
        return "the copy differs from the file; the file stays where it is";
    case kQuarantineNoName:
        return "no free name in the quarantine folder";
    case kQuarantineNoMemory:
        return "out of memory; the file stays where it is";
    default:
        return std::strerror(error);
    }
}

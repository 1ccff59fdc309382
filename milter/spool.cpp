#include "milter/spool.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kNameAttempts = 100;
// Files kept for later messages.
constexpr size_t kMaxKept = 16;
// A kept file of up to this size has its bytes overwritten with zeros; a
// larger one is cut to nothing. Emptying a file by truncation costs more than
// zeros in the page cache (ext4 then allocates and frees its blocks at once).
constexpr off_t kZeroedSize = 256 * 1024;

struct Kept {
    int fd;
    std::string path;
    std::string folder;
    gid_t group;
    off_t size; // bytes, all of them zero
};

// The paths of the spool files that exist, and the empty ones kept. Never
// destroyed: session threads may still remove their files while the process
// ends.
struct Registry {
    std::mutex mutex;
    std::set<std::string> paths;
    std::vector<Kept> kept;
    bool stopped = false;
};

Registry &registry() {
    static Registry *known = new Registry;
    return *known;
}

} // namespace

int SpoolFile::create(const std::string &folder, gid_t group) {
    remove();
    {
        Registry &known = registry();
        std::lock_guard<std::mutex> lock(known.mutex);
        if (known.stopped) return ESHUTDOWN;
        for (size_t index = known.kept.size(); index > 0; --index) {
            Kept &file = known.kept[index - 1];
            if (file.folder != folder || file.group != group) continue;
            fd_ = file.fd;
            path_ = std::move(file.path);
            folder_ = folder;
            group_ = group;
            size_ = 0;
            stale_ = file.size;
            known.kept.erase(known.kept.begin() + static_cast<long>(index - 1));
            return 0;
        }
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        unsigned char random[8];
        if (getentropy(random, sizeof random) != 0) return errno;
        char name[40];
        std::snprintf(name, sizeof name, "/orvamilter-%02x%02x%02x%02x%02x%02x%02x%02x", random[0],
                      random[1], random[2], random[3], random[4], random[5], random[6], random[7]);
        std::string path = folder + name;

        Registry &known = registry();
        std::lock_guard<std::mutex> lock(known.mutex);
        if (known.stopped) return ESHUTDOWN;
        // O_EXCL with O_CREAT never follows a link planted at the name;
        // O_NOFOLLOW says so once more. Nobody else may read the file until
        // its group and mode are set below.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        known.paths.insert(path);
        fd_ = fd;
        path_ = path;
        folder_ = folder;
        group_ = group;
        size_ = 0;
        stale_ = 0;
        break;
    }
    if (fd_ < 0) return EEXIST;
    // The scanning server reads the file by its path through the group; the
    // mode is set here, not left to the umask.
    if ((group != static_cast<gid_t>(-1) && ::fchown(fd_, static_cast<uid_t>(-1), group) != 0) ||
        ::fchmod(fd_, 0640) != 0) {
        int error = errno;
        remove();
        return error;
    }
    return 0;
}

int SpoolFile::write(const char *bytes, size_t count) {
    if (fd_ < 0) return EBADF;
    while (count > 0) {
        ssize_t written = ::write(fd_, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : EIO;
        bytes += written;
        count -= static_cast<size_t>(written);
        size_ += written;
    }
    return 0;
}

int SpoolFile::finish() {
    if (fd_ < 0) return EBADF;
    // Every byte went out with write(2): the scanning server, which opens the
    // file by its path, reads them all while the descriptor stays open. Zeros
    // of an earlier message beyond this one's end are cut off.
    if (stale_ > size_ && ::ftruncate(fd_, size_) != 0) return errno;
    stale_ = 0;
    return 0;
}

void SpoolFile::recycle() {
    if (fd_ < 0 || path_.empty()) return remove();
    off_t size = size_ > stale_ ? size_ : stale_;
    bool emptied = ::lseek(fd_, 0, SEEK_SET) == 0;
    if (emptied && size > kZeroedSize) {
        emptied = ::ftruncate(fd_, 0) == 0;
        size = 0;
    }
    static const char zeros[16384] = {};
    for (off_t at = 0; emptied && at < size;) {
        const off_t left = size - at;
        const size_t piece =
            left < static_cast<off_t>(sizeof zeros) ? static_cast<size_t>(left) : sizeof zeros;
        ssize_t written = ::write(fd_, zeros, piece);
        if (written < 0 && errno == EINTR) continue;
        emptied = written > 0;
        at += written;
    }
    if (emptied) emptied = ::lseek(fd_, 0, SEEK_SET) == 0;
    Registry &known = registry();
    if (emptied) {
        std::lock_guard<std::mutex> lock(known.mutex);
        if (!known.stopped && known.kept.size() < kMaxKept && known.paths.count(path_) != 0) {
            known.kept.push_back({fd_, std::move(path_), folder_, group_, size});
            fd_ = -1;
            path_.clear();
            return;
        }
    }
    remove();
}

void SpoolFile::remove() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (path_.empty()) return;
    Registry &known = registry();
    {
        std::lock_guard<std::mutex> lock(known.mutex);
        // After spool_stop the path is gone already, perhaps reused by now.
        if (known.paths.erase(path_) != 0) ::unlink(path_.c_str());
    }
    path_.clear();
}

void spool_stop() {
    Registry &known = registry();
    std::lock_guard<std::mutex> lock(known.mutex);
    known.stopped = true;
    for (const std::string &path : known.paths)
        ::unlink(path.c_str());
    known.paths.clear();
    for (const Kept &file : known.kept)
        ::close(file.fd);
    known.kept.clear();
}

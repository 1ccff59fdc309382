// File upload after a 310 line and the cured copy after a 312 line.
#include "client/transfer.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <linux/falloc.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/internal.h"
#include "digest/md5_text.h"

namespace {

constexpr size_t kTempNameSize = 4096;
// Attempts at a fresh temporary name before giving up; each one draws a new
// random number, so only a directory that refuses every create gets here.
constexpr int kTempAttempts = 64;
constexpr size_t kCopyChunk = 64 * 1024;
// Size of the buffer a long body is read through: big enough to take what
// a socket holds in one read, small beside the client's memory.
constexpr uint32_t kBodyBufferSize = 256 * 1024;
// Most bytes one sendfile is asked for; the socket takes what it can hold.
constexpr size_t kSendfilePiece = 16 * 1024 * 1024;
// Values of upload_mode.
constexpr int32_t kUploadUndecided = 0;
constexpr int32_t kUploadByKernel = 1;
constexpr int32_t kUploadBuffered = 2;

// The bytes of the cured body still due. The wide count is the true one
// while cured_remaining shows its saturated value; a different value there
// was stored by a caller that knows only the 32-bit field.
uint64_t body_left(const ServerConnection *conn) {
    uint64_t wide = conn->cured_remaining_wide;
    uint32_t narrow = wide > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wide);
    return narrow == conn->cured_remaining ? wide : conn->cured_remaining;
}

void set_body_left(ServerConnection *conn, uint64_t bytes) {
    conn->cured_remaining_wide = bytes;
    conn->cured_remaining = bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

// Reads the size and the digest of a 312 line ("%ld %32s"). Sizes up to the
// largest signed 64-bit value are taken whole (larger ones saturate there);
// a negative size is taken as its unsigned 32-bit value, as a 32-bit long
// reads it (values below its range saturate at its lowest value first).
bool parse_copy_line(const char *text, uint64_t *size, char digest[MD5_HEX_LENGTH + 1]) {
    char *end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (end == text) return false;
    if (std::sscanf(end, "%32s", digest) != 1) return false;
    if (value < 0) {
        if (value < INT32_MIN) value = INT32_MIN;
        *size = static_cast<uint32_t>(static_cast<int32_t>(value));
    } else {
        *size = static_cast<uint64_t>(value);
    }
    return true;
}

void release_body_buffer(ServerConnection *conn) {
    std::free(conn->body_buf);
    conn->body_buf = nullptr;
    conn->body_buf_size = 0;
}

// The catchable signals whose default action ends the process. While the
// scanned file is being rewritten they are held in the calling thread, so
// that one that comes meanwhile takes effect only once the file is whole
// again: the program's own handler, or the default action, then applies as
// it would have. The library installs no handler.
class HeldTerminationSignals {
  public:
    HeldTerminationSignals() {
        sigset_t ending;
        sigemptyset(&ending);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            sigaddset(&ending, signal);
        held_ = pthread_sigmask(SIG_BLOCK, &ending, &previous_) == 0;
    }
    ~HeldTerminationSignals() {
        if (held_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    HeldTerminationSignals(const HeldTerminationSignals &) = delete;
    HeldTerminationSignals &operator=(const HeldTerminationSignals &) = delete;

  private:
    sigset_t previous_;
    bool held_ = false;
};

// A number for a temporary name that no other local user can foresee:
// from the kernel's random source, never from the process's rand() state,
// which is left as the program keeps it.
uint32_t unforeseeable_number() {
    uint32_t value = 0;
    ssize_t got;
    do {
        got = getrandom(&value, sizeof value, GRND_NONBLOCK);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof value)) return value;

    int fd = open("/dev/urandom", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        got = pread(fd, &value, sizeof value, 0);
        close(fd);
        if (got == static_cast<ssize_t>(sizeof value)) return value;
    }
    // Neither source answers (an old kernel in a bare chroot): the clock's
    // nanoseconds, mixed, are still not the predictable sequence of rand().
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t mixed = static_cast<uint64_t>(now.tv_nsec) ^
                     (static_cast<uint64_t>(now.tv_sec) << 30) ^
                     reinterpret_cast<uintptr_t>(&value);
    mixed = (mixed ^ (mixed >> 31)) * 0x9e3779b97f4a7c15u;
    return static_cast<uint32_t>(mixed ^ (mixed >> 29));
}

// Whether a file of `size` bytes may be written under the process's file
// size limit; beyond it the kernel would stop the write with SIGXFSZ.
bool within_size_limit(uint64_t size) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return size <= static_cast<uint64_t>(limit.rlim_cur);
}

// The temporary file of a cured copy is created under a fresh name that is
// removed at once: only the open descriptor holds it, so nothing of it is
// left behind however the process ends. The termination signals are held
// between the two calls; only SIGKILL could come between them.
FILE *create_nameless_temp_file(char **path) {
    HeldTerminationSignals held;
    FILE *stream = create_temp_file(path);
    if (stream != nullptr) unlink(*path);
    return stream;
}

void remove_temp_file(ServerConnection *conn) {
    release_body_buffer(conn);
    // The file has had no name since it was created: closing it removes it.
    if (conn->cured_stream != nullptr) std::fclose(conn->cured_stream);
    std::free(conn->cured_temp_path);
    conn->cured_stream = nullptr;
    conn->cured_temp_path = nullptr;
}

// Appends body bytes to the temporary file. A write that fails drops the
// file at once: the rest of the body is still read and digested, and its end
// reports that no temporary file holds the copy.
void keep_body_bytes(ServerConnection *conn, const char *bytes, uint32_t length) {
    md5_update(&conn->cured_md5, bytes, length);
    if (conn->cured_stream == nullptr || length == 0) return;
    if (write_all(fileno(conn->cured_stream), bytes, length) != 0) remove_temp_file(conn);
}

// The kernel path of the upload keeps the socket non-blocking, so that
// each call sends what the socket can take at once and never waits longer
// than a write of the buffered path would; these switch that on and off.
bool set_nonblocking(int fd, bool on) {
    int status = fcntl(fd, F_GETFL);
    if (status < 0) return false;
    int wanted = on ? status | O_NONBLOCK : status & ~O_NONBLOCK;
    return wanted == status || fcntl(fd, F_SETFL, wanted) == 0;
}

// The upload is over, whether it went well or not: the file is closed and
// the socket blocks again.
void close_upload(ServerConnection *conn) {
    if (conn->upload_mode == kUploadByKernel && conn->sock >= 0) set_nonblocking(conn->sock, false);
    conn->upload_mode = kUploadUndecided;
    close_scan_stream(conn);
}

// Ends a command whose upload cannot go on.
ResultCode end_upload(ServerConnection *conn, ResultCode code) {
    close_upload(conn);
    conn->state = nullptr;
    conn->result = code;
    return code;
}

// The upload stops short of the announced size: the server would take
// whatever is sent next as the rest of the file, so the connection, which
// can no longer be brought back in step, is closed.
ResultCode abandon_upload(ServerConnection *conn) {
    if (conn->sock >= 0) close(conn->sock);
    conn->sock = -1;
    return end_upload(conn, RC_COPY_READ_FAILED);
}

// Errors with which sendfile says that it cannot serve this file or socket;
// the upload then goes through the send buffer.
bool kernel_cannot_send(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ESPIPE ||
           error == EOVERFLOW || error == EBADF;
}

// One sendfile of the next bytes owed, straight from the page cache. It has
// no MSG_NOSIGNAL: a peer that has closed would raise SIGPIPE. The signal is
// held back in this thread during the call, and one that the call raised is
// taken back before the mask is restored, so the process never sees it.
ssize_t send_file_piece(ServerConnection *conn) {
    sigset_t pipe_only;
    sigset_t previous;
    sigset_t pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
    bool was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;

    auto offset = static_cast<off_t>(conn->upload_size - conn->upload_remaining);
    size_t count = conn->upload_remaining < kSendfilePiece
                       ? static_cast<size_t>(conn->upload_remaining)
                       : kSendfilePiece;
    ssize_t sent;
    do {
        sent = sendfile(conn->sock, fileno(conn->scan_stream), &offset, count);
    } while (sent < 0 && errno == EINTR);
    int error = errno;

    // The signal may come with a partial count too, when the peer went away
    // part of the way through.
    if (!was_pending) {
        struct timespec no_wait = {0, 0};
        sigtimedwait(&pipe_only, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return sent;
}

// The upload goes on through the send buffer, from where the kernel left it.
bool fall_back_to_buffer(ServerConnection *conn) {
    if (conn->sock >= 0) set_nonblocking(conn->sock, false);
    conn->upload_mode = kUploadBuffered;
    auto offset = static_cast<off_t>(conn->upload_size - conn->upload_remaining);
    return fseeko(conn->scan_stream, offset, SEEK_SET) == 0;
}

// The last announced byte is written: the upload is over in this same call,
// so the loop listens for the reply before the server, which has all the
// bytes it announced, may send it. Bytes that the file has gained since it
// was announced are never sent.
ResultCode finish_upload(ServerConnection *conn) {
    close_upload(conn);
    conn->sent_all = 1;
    conn->state = read_lines;
    return RC_OK;
}

// pwrite of all `length` bytes at `offset`, continued after a short write.
bool write_all_at(int fd, const char *bytes, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = pwrite(fd, bytes, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// Copies bytes [begin, end) of `from` to the same offsets of `to` through a
// buffer. With `from` and `to` the same file, each block is written with
// the bytes it holds already.
bool copy_through_buffer(int from, int to, off_t begin, off_t end) {
    char chunk[kCopyChunk];
    for (off_t at = begin; at < end;) {
        auto want = static_cast<size_t>(end - at);
        if (want > sizeof chunk) want = sizeof chunk;
        ssize_t got = pread(from, chunk, want, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (!write_all_at(to, chunk, static_cast<size_t>(got), at)) return false;
        at += got;
    }
    return true;
}

// Copies bytes [begin, end) of `from` to the same offsets of `to`. The
// kernel copies without passing the bytes through this process where it can;
// elsewhere they go through a buffer.
bool copy_range(int from, int to, off_t begin, off_t end) {
    off_t in_offset = begin;
    off_t out_offset = begin;
    while (in_offset < end) {
        auto want = static_cast<size_t>(end - in_offset);
        ssize_t n = copy_file_range(from, &in_offset, to, &out_offset, want, 0);
        if (n > 0) continue;
        if (n == 0) return false; // the source is shorter than it was
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EBADF)
            return false;
        break;
    }
    return copy_through_buffer(from, to, in_offset, end);
}

// Writes bytes [0, end) of `fd` with what they hold already, so that each of
// their blocks, those of a hole included, is allocated. No byte changes, so
// a write that fails part of the way leaves the contents as they were.
bool allocate_by_rewriting(int fd, off_t end) {
    return copy_through_buffer(fd, fd, 0, end);
}

// Reserves the blocks of a copy of `size` bytes without changing the file's
// size or contents. 1 when reserved, 0 when the file system cannot reserve
// space, -1 when there is no room (blocks that a partial reservation took
// beyond the end are given back).
int reserve_space(int fd, off_t size, off_t old_size) {
    if (size == 0) return 1;
    int status;
    do {
        status = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
    } while (status != 0 && errno == EINTR);
    if (status == 0) return 1;
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
    if (size > old_size) ftruncate(fd, old_size);
    return -1;
}

// Where space cannot be reserved, the file takes its room before any of its
// bytes is overwritten: the part of the copy beyond the old end is written
// first, then every block of the old contents that the copy covers is
// rewritten with its own bytes (a hole gets its blocks), and all of it is
// flushed, where a file system over the network reports a full disk. On
// failure the file gets its old size back, the original intact: true, or
// false when even that failed.
bool make_room(int from, int to, off_t size, off_t old_size, bool *ready) {
    *ready = false;
    off_t common = size < old_size ? size : old_size;
    if (size > old_size && !copy_range(from, to, old_size, size))
        return ftruncate(to, old_size) == 0;
    if (!allocate_by_rewriting(to, common) ||
        (fdatasync(to) != 0 && errno != EINVAL && errno != EROFS))
        return size <= old_size || ftruncate(to, old_size) == 0;
    *ready = true;
    return true;
}

// Writes the verified copy over the scanned file, which must still be the
// file that was scanned (when its identity is known) and a regular file.
// Nothing is changed unless the whole copy fits: the space is reserved, or
// taken as make_room does, first; the old contents are then overwritten in
// place and the old tail cut off, so the file keeps its inode, owner and
// permissions. From the first change until the file is whole and closed the
// termination signals are held. `*wrote` (when given) is set to 1 as the
// file is first changed.
ResultCode store_over(FILE *source, const char *destination, const ServerConnection *conn,
                      int32_t *wrote) {
    if (source == nullptr || destination == nullptr) return RC_CHECKSUM_MISMATCH;
    if (std::fflush(source) != 0) return RC_CHECKSUM_MISMATCH;
    int from = fileno(source);
    struct stat source_info;
    if (from < 0 || fstat(from, &source_info) != 0) return RC_CHECKSUM_MISMATCH;
    off_t size = source_info.st_size;

    // O_NONBLOCK keeps a FIFO planted at the name from blocking the open.
    // Reading is asked for too, for a file system that cannot reserve space;
    // a file that may only be written is written where it can reserve.
    constexpr int kOpenFlags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    int to = open(destination, O_RDWR | kOpenFlags);
    if (to < 0 && errno == EACCES) to = open(destination, O_WRONLY | kOpenFlags);
    if (to < 0) return RC_CHECKSUM_MISMATCH;
    struct stat info;
    bool same_file = fstat(to, &info) == 0 && S_ISREG(info.st_mode);
    if (same_file && conn != nullptr && conn->scan_identity_known != 0)
        same_file = static_cast<uint64_t>(info.st_dev) == conn->scan_dev &&
                    static_cast<uint64_t>(info.st_ino) == conn->scan_ino;
    if (!same_file || !within_size_limit(static_cast<uint64_t>(size))) {
        close(to);
        return RC_CHECKSUM_MISMATCH;
    }
    off_t old_size = info.st_size;

    ResultCode code = RC_CHECKSUM_MISMATCH;
    {
        HeldTerminationSignals held;
        int reserved = reserve_space(to, size, old_size);
        bool ready = reserved == 1;
        if (reserved == 0) {
            if (wrote != nullptr) *wrote = 1;
            if (!make_room(from, to, size, old_size, &ready)) code = RC_COPY_READ_FAILED;
        }
        if (ready) {
            if (wrote != nullptr) *wrote = 1;
            // Where room was made, the part beyond the old end is in place.
            off_t end = reserved == 1 || size < old_size ? size : old_size;
            bool copied = copy_range(from, to, 0, end) && ftruncate(to, size) == 0;
            code = copied ? RC_OK : RC_COPY_READ_FAILED;
        }
        if (close(to) != 0 && code == RC_OK) code = RC_COPY_READ_FAILED;
    }
    return code;
}

// Verifies the finished body against the announced digest and stores it.
ResultCode finish_body(ServerConnection *conn) {
    md5_final(&conn->cured_md5);
    char digest[MD5_HEX_LENGTH + 1];
    md5_digest_text(conn->cured_md5.digest, digest);

    ResultCode code;
    if (conn->cured_stream == nullptr) {
        code = RC_NO_TEMP_FILE;
    } else if (std::strcmp(digest, conn->cured_digest) != 0) {
        code = RC_CHECKSUM_MISMATCH;
    } else {
        code = store_over(conn->cured_stream, conn->scan_path, conn, &conn->cured_written);
    }
    remove_temp_file(conn);
    if (RC_FAILED(code)) conn->cured_result = code;
    return code;
}

// The connection closed or failed inside a body: the command ends as a
// failed read does, and the partial copy goes.
ResultCode lose_body(ServerConnection *conn) {
    remove_temp_file(conn);
    conn->state = nullptr;
    conn->on_reply = nullptr;
    conn->result = RC_READ_FAILED;
    return RC_READ_FAILED;
}

} // namespace

extern "C" {

ResultCode upload_file(ServerConnection *conn) {
    if (conn->scan_stream == nullptr) return end_upload(conn, RC_COPY_READ_FAILED);

    // The kernel sends the file where it can, with the socket non-blocking
    // until the upload is over; otherwise it goes through the send buffer.
    // A file that fits the send buffer goes through it in one write: for so
    // few bytes, switching the socket and holding SIGPIPE back would cost
    // more system calls than the copy saves.
    if (conn->upload_mode == kUploadUndecided)
        conn->upload_mode = conn->upload_size > conn->send_size && set_nonblocking(conn->sock, true)
                                ? kUploadByKernel
                                : kUploadBuffered;
    if (conn->upload_mode == kUploadByKernel) {
        if (conn->upload_remaining == 0) return finish_upload(conn);
        ssize_t sent = send_file_piece(conn);
        if (sent > 0) {
            conn->upload_remaining -= static_cast<uint64_t>(sent);
            return conn->upload_remaining == 0 ? finish_upload(conn) : RC_OK;
        }
        // The file ends before the announced size.
        if (sent == 0) return abandon_upload(conn);
        // The socket took nothing this time; the next step tries again.
        if (errno == EAGAIN || errno == EWOULDBLOCK) return RC_OK;
        if (!kernel_cannot_send(errno)) return end_upload(conn, RC_WRITE_FAILED);
        if (!fall_back_to_buffer(conn)) return abandon_upload(conn);
    }

    int32_t sent = send_queued(conn);
    if (sent < 0) return end_upload(conn, RC_WRITE_FAILED);
    if (sent == 0) return RC_OK;
    if (conn->upload_remaining == 0) return finish_upload(conn);

    size_t want = conn->upload_remaining < conn->send_size
                      ? static_cast<size_t>(conn->upload_remaining)
                      : conn->send_size;
    size_t got = std::fread(conn->send_buf, 1, want, conn->scan_stream);
    // A file that ends before the announced size, or cannot be read up to
    // it, leaves the server waiting for bytes that never come.
    if (got == 0 || std::ferror(conn->scan_stream)) return abandon_upload(conn);
    conn->upload_remaining -= got;
    conn->send_len = static_cast<uint32_t>(got);
    return RC_OK;
}

void begin_upload(ServerConnection *conn) {
    conn->sent_all = 0;
    conn->state = upload_file;
    conn->result = RC_BUSY;
    conn->upload_remaining = conn->upload_size;
    conn->upload_mode = kUploadUndecided;
    std::rewind(conn->scan_stream);
}

void begin_cured_file(ServerConnection *conn, const char *text) {
    uint64_t size = 0;
    char digest[MD5_HEX_LENGTH + 1] = {0};
    if (!parse_copy_line(text, &size, digest)) return;

    // A 312 line can only come while no other body is being received; a
    // leftover file from a broken transfer is dropped first.
    remove_temp_file(conn);
    struct stat info;
    if (conn->scan_identity_known == 0 && conn->scan_path != nullptr &&
        stat(conn->scan_path, &info) == 0) {
        conn->scan_dev = static_cast<uint64_t>(info.st_dev);
        conn->scan_ino = static_cast<uint64_t>(info.st_ino);
        conn->scan_identity_known = 1;
    }
    // A copy that the process may not write whole is refused before any
    // byte of it is written, as the kernel would stop the write with
    // SIGXFSZ: without a temporary file the body is still read and digested,
    // and its end reports that no temporary file could hold it.
    if (within_size_limit(size))
        conn->cured_stream = create_nameless_temp_file(&conn->cured_temp_path);
    md5_init(&conn->cured_md5);
    std::memcpy(conn->cured_digest, digest, sizeof conn->cured_digest);
    set_body_left(conn, size);
    // The line dispatcher hands the bytes behind this line to the body.
    conn->body_follows = 1;
}

ResultCode store_cured_chunk(ServerConnection *conn) {
    uint64_t left = body_left(conn);
    if (left > conn->recv_len) {
        keep_body_bytes(conn, conn->recv_buf, conn->recv_len);
        conn->state = receive_cured_file;
        set_body_left(conn, left - conn->recv_len);
        conn->recv_len = 0;
        return RC_OK;
    }

    auto last = static_cast<uint32_t>(left);
    keep_body_bytes(conn, conn->recv_buf, last);
    set_body_left(conn, 0);
    drop_received(conn, last);
    conn->body_ended = 1;
    conn->state = read_lines;
    return finish_body(conn);
}

ResultCode receive_cured_file(ServerConnection *conn) {
    // While more of the body is due than the receive buffer holds, it is
    // read through the larger buffer, and never beyond its end, so the lines
    // that follow it still arrive in the receive buffer.
    uint64_t left = body_left(conn);
    if (left > conn->recv_size) {
        if (conn->body_buf == nullptr) {
            conn->body_buf = static_cast<char *>(std::malloc(kBodyBufferSize));
            conn->body_buf_size = conn->body_buf != nullptr ? kBodyBufferSize : 0;
        }
        if (conn->body_buf != nullptr) {
            uint32_t want =
                left < conn->body_buf_size ? static_cast<uint32_t>(left) : conn->body_buf_size;
            ssize_t got = sock_read(conn->sock, conn->body_buf, want);
            if (got <= 0) return lose_body(conn);
            keep_body_bytes(conn, conn->body_buf, static_cast<uint32_t>(got));
            set_body_left(conn, left - static_cast<uint64_t>(got));
            if (left > static_cast<uint64_t>(got)) return conn->result = RC_OK;
            // The body ended with this read; nothing of what follows it has
            // been read yet.
            conn->recv_len = 0;
            conn->result = store_cured_chunk(conn);
            return conn->result;
        }
    }

    ssize_t got = sock_read(conn->sock, conn->recv_buf, conn->recv_size);
    if (got <= 0) return lose_body(conn);
    conn->recv_len = static_cast<uint32_t>(got);
    conn->result = store_cured_chunk(conn);
    return conn->result;
}

FILE *create_temp_file(char **path) {
    if (path == nullptr) return nullptr;
    const char *directory = "/tmp";
    const char *candidates[] = {std::getenv("TMP"), std::getenv("TEMP")};
    for (const char *candidate : candidates) {
        if (candidate != nullptr && access(candidate, R_OK | W_OK) == 0) {
            directory = candidate;
            break;
        }
    }

    char name[kTempNameSize];
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        int length = std::snprintf(name, sizeof name, "%s/zq%x%04x.tmp", directory,
                                   static_cast<unsigned>(getpid()), unforeseeable_number());
        // A name cut short would land somewhere else than asked for.
        if (length < 0 || static_cast<size_t>(length) >= sizeof name) return nullptr;
        // O_EXCL with O_NOFOLLOW: a name that exists, a planted symbolic
        // link included, is never opened; another number is drawn instead.
        int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) continue;
        FILE *stream = fdopen(fd, "w+b");
        auto *copy = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
        if (stream == nullptr || copy == nullptr) {
            if (stream != nullptr)
                std::fclose(stream);
            else
                close(fd);
            unlink(name);
            std::free(copy);
            return nullptr;
        }
        std::memcpy(copy, name, static_cast<size_t>(length) + 1);
        *path = copy;
        return stream;
    }
    return nullptr;
}

ResultCode copy_file_to(FILE *source, const char *destination) {
    return store_over(source, destination, nullptr, nullptr);
}

void discard_cured_file(ServerConnection *conn) {
    if (conn != nullptr) remove_temp_file(conn);
}

} // extern "C"

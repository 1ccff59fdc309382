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
#include <linux/falloc.h>
#include <pthread.h>
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

void remove_temp_file(ServerConnection *conn) {
    release_body_buffer(conn);
    if (conn->cured_stream != nullptr) std::fclose(conn->cured_stream);
    if (conn->cured_temp_path != nullptr) unlink(conn->cured_temp_path);
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

// Whether a file of `size` bytes may be written under the process's file
// size limit; the kernel would otherwise cut the copy short with SIGXFSZ.
bool within_size_limit(off_t size) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return static_cast<rlim_t>(size) <= limit.rlim_cur;
}

// Copies `size` bytes from offset 0 of `from` to offset 0 of `to`. The
// kernel copies without passing the bytes through this process where it can;
// elsewhere they go through a buffer.
bool copy_contents(int from, int to, off_t size) {
    off_t in_offset = 0;
    off_t out_offset = 0;
    while (in_offset < size) {
        auto want = static_cast<size_t>(size - in_offset);
        ssize_t n = copy_file_range(from, &in_offset, to, &out_offset, want, 0);
        if (n > 0) continue;
        if (n == 0) return false; // the source is shorter than it was
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EBADF)
            return false;
        break;
    }
    if (in_offset < size && lseek(to, out_offset, SEEK_SET) != out_offset) return false;
    char chunk[kCopyChunk];
    while (in_offset < size) {
        auto want = static_cast<size_t>(size - in_offset);
        if (want > sizeof chunk) want = sizeof chunk;
        ssize_t got = pread(from, chunk, want, in_offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (write_all(to, chunk, static_cast<size_t>(got)) != 0) return false;
        in_offset += got;
    }
    return true;
}

// Writes the verified copy over the scanned file, which must still be the
// file that was scanned (when its identity is known) and a regular file.
// Nothing is changed until the whole copy is sure to fit: the space is
// reserved first, the old contents are then overwritten in place and the
// old tail cut off, so the file keeps its inode, owner and permissions.
ResultCode store_over(FILE *source, const char *destination, const ServerConnection *conn) {
    if (source == nullptr || destination == nullptr) return RC_CHECKSUM_MISMATCH;
    if (std::fflush(source) != 0) return RC_CHECKSUM_MISMATCH;
    int from = fileno(source);
    struct stat source_info;
    if (from < 0 || fstat(from, &source_info) != 0) return RC_CHECKSUM_MISMATCH;
    off_t size = source_info.st_size;

    // O_NONBLOCK keeps a FIFO planted at the name from blocking the open.
    int to = open(destination, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (to < 0) return RC_CHECKSUM_MISMATCH;
    struct stat info;
    bool same_file = fstat(to, &info) == 0 && S_ISREG(info.st_mode);
    if (same_file && conn != nullptr && conn->scan_identity_known != 0)
        same_file = static_cast<uint64_t>(info.st_dev) == conn->scan_dev &&
                    static_cast<uint64_t>(info.st_ino) == conn->scan_ino;
    if (!same_file || !within_size_limit(size)) {
        close(to);
        return RC_CHECKSUM_MISMATCH;
    }
    // Reserve the blocks of the whole copy without changing the file's size:
    // a full disk or quota shows here, while the old contents are intact.
    // Where the file system cannot reserve space, the copy goes ahead and its
    // writes are checked instead.
    if (size > 0 && fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS && errno != EINVAL) {
        close(to);
        return RC_CHECKSUM_MISMATCH;
    }

    bool copied = copy_contents(from, to, size) && ftruncate(to, size) == 0;
    if (close(to) != 0) copied = false;
    return copied ? RC_OK : RC_COPY_READ_FAILED;
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
        code = store_over(conn->cured_stream, conn->scan_path, conn);
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
    conn->cured_stream = create_temp_file(&conn->cured_temp_path);
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
                                   static_cast<unsigned>(getpid()), static_cast<unsigned>(rand()));
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
    return store_over(source, destination, nullptr);
}

void discard_cured_file(ServerConnection *conn) {
    if (conn != nullptr) remove_temp_file(conn);
}

} // extern "C"

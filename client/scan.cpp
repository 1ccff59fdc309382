// The scan command and its reply handler.
#include "client/scan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/internal.h"
#include "client/transfer.h"

namespace {

constexpr size_t kPathMax = 1024;
// scan_identity_known while an identity from conn_scan_identity waits for
// the next scan.
constexpr int32_t kIdentityGiven = 2;
constexpr char kScanPrefix[] = "SCAN x";
constexpr char kNetScanPrefix[] = "NETSCAN x";
// The scanned file's stream buffer for NETSCAN: the digest pass reads a
// file larger than kLargeFile in pieces of this size instead of 8 KiB. A
// smaller file keeps the stream's own buffer: a few reads cost less than
// mapping and unmapping a large buffer for every file.
constexpr size_t kScanStreamBuffer = 256 * 1024;
constexpr off_t kLargeFile = 64 * 1024;

struct FlagRow {
    uint32_t mask;
    char clear_letter; // 0: no letter when the bit is clear
    char set_letter;
};

// Walked in this order; the letters go on the wire in the same order.
constexpr FlagRow kScanFlagTable[] = {
    {0x2, 'm', 'M'},    {0x40, 'q', 'Q'},    {0x80, 'p', 'P'},  {0x100, 'r', 'R'},
    {0x200, 's', 'S'},  {0x400, 't', 'T'},   {0x800, 'u', 'U'}, {0x1000, 'w', 'W'},
    {0x2000, 0, 'a'},   {0x4000, 0, 'b'},    {0x8000, 0, 'c'},  {0x10000, 0, 'd'},
    {0x20000, 0, 'e'},  {0x40000, 0, 'f'},   {0x80000, 0, 'g'}, {0x100000, 0, 'h'},
    {0x200000, 0, 'i'}, {SCAN_CURE, 0, 'l'}, {0, 0, 0},
};

constexpr const char *kVerdictNames[VERDICT_COUNT] = {
    "OK",        "INFECTED",  "CURED",     "CUREFAILED", "WARNING",
    "SUSPICION", "PROTECTED", "CORRUPTED", "DELETED",    "ERROR",
};

// The verdict that a final reply code sets, or -1 for a code without one.
int verdict_of_code(uint32_t code) {
    switch (code) {
    case 220:
        return VERDICT_OK;
    case 230:
        return VERDICT_INFECTED;
    case 221:
        return VERDICT_CURED;
    case 231:
        return VERDICT_CUREFAILED;
    case 233:
        return VERDICT_WARNING;
    case 232:
        return VERDICT_SUSPICION;
    case 240:
        return VERDICT_PROTECTED;
    case 234:
        return VERDICT_CORRUPTED;
    case 241:
        return VERDICT_ERROR;
    default:
        return -1;
    }
}

char *copy_text(const char *text) {
    size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

void release_scan_path(ServerConnection *conn) {
    std::free(conn->scan_path);
    conn->scan_path = nullptr;
}

void remember_identity(ServerConnection *conn, const struct stat &info) {
    conn->scan_dev = static_cast<uint64_t>(info.st_dev);
    conn->scan_ino = static_cast<uint64_t>(info.st_ino);
    conn->scan_identity_known = 1;
}

// A per-object line 322, 323, 327 or 328: its counter and its list.
void count_object(ServerConnection *conn, uint32_t code, const char *text) {
    ScanReport *report = conn->report;
    if (report == nullptr) return;
    uint32_t *counter = nullptr;
    char **list = nullptr;
    switch (code) {
    case 322:
        counter = &report->infected_count;
        list = &report->infected_list;
        break;
    case 323:
        counter = &report->cured_count;
        list = &report->cured_list;
        break;
    case 327:
        counter = &report->warning_count;
        list = &report->warning_list;
        break;
    case 328:
        counter = &report->suspicion_count;
        list = &report->suspicion_list;
        break;
    default:
        return;
    }
    ++*counter;
    if (conn->collect_names == 1) conn->result = list_append_line(list, text);
}

// Opens the file to be uploaded for reading. O_NONBLOCK keeps a FIFO
// planted at the name from blocking the open; only a regular file (or a
// block device) is read. When the caller has given the identity of the file
// it examined, a different file found at the name now is not scanned in its
// place. Null when the file cannot be opened or is not the one to scan.
FILE *open_scanned_file(ServerConnection *conn, const char *path, off_t *size) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    bool usable = fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
    if (usable && conn->scan_identity_known != 0)
        usable = static_cast<uint64_t>(info.st_dev) == conn->scan_dev &&
                 static_cast<uint64_t>(info.st_ino) == conn->scan_ino;
    int flags = usable ? fcntl(fd, F_GETFL) : -1;
    FILE *stream = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    if (conn->scan_identity_known == 0) remember_identity(conn, info);
    *size = info.st_size;
    return stream;
}

// Builds the NETSCAN line: opens the file, digests it and takes its size.
// Returns null with `*code` set when no line is to be sent; an empty file
// ends the scan at once with verdict OK.
char *build_netscan_line(ServerConnection *conn, const char *path, const char *letters,
                         ResultCode *code) {
    off_t file_size = 0;
    conn->scan_stream = open_scanned_file(conn, path, &file_size);
    if (conn->scan_stream == nullptr) {
        *code = conn->result = RC_BAD_ARGUMENT;
        return nullptr;
    }
    // Without the larger buffer the stream keeps its own small one.
    if (file_size > kLargeFile)
        conn->scan_stream_buf = static_cast<char *>(std::malloc(kScanStreamBuffer));
    if (conn->scan_stream_buf != nullptr &&
        setvbuf(conn->scan_stream, conn->scan_stream_buf, _IOFBF, kScanStreamBuffer) != 0) {
        std::free(conn->scan_stream_buf);
        conn->scan_stream_buf = nullptr;
    }

    char digest[MD5_HEX_LENGTH + 2];
    ResultCode digested = md5_file_hex(conn->scan_stream, digest, sizeof digest);
    // 64-bit offsets, so that a file beyond 2 GiB is announced with its true
    // size on a 32-bit system too; the decimal text is the same.
    long long size = static_cast<long long>(ftello(conn->scan_stream));
    // A stream that failed while it was read (a directory, a failing disk)
    // or has no position was not digested whole: announced, the server
    // would scan a part of it, or nothing, and could call it clean.
    if (digested != RC_OK || std::ferror(conn->scan_stream) || size < 0) {
        close_scan_stream(conn);
        *code = conn->result = RC_BAD_ARGUMENT;
        return nullptr;
    }
    if (size < 1) {
        close_scan_stream(conn);
        conn->report->verdict = VERDICT_OK;
        *code = conn->result = RC_OK;
        return nullptr;
    }

    conn->upload_size = static_cast<uint64_t>(size);
    char tail[64];
    auto tail_length =
        static_cast<size_t>(std::snprintf(tail, sizeof tail, " %lld %s\r\n", size, digest));
    size_t prefix_length = sizeof kNetScanPrefix - 1;
    size_t letters_length = std::strlen(letters);
    size_t length = prefix_length + letters_length + tail_length;
    auto *line = static_cast<char *>(std::malloc(length + 1));
    if (line == nullptr) {
        close_scan_stream(conn);
        *code = conn->result = RC_NO_MEMORY;
        return nullptr;
    }
    // Joined piece by piece: the lengths are known, and a formatted join
    // draws a false truncation warning from the 32-bit compiler.
    std::memcpy(line, kNetScanPrefix, prefix_length);
    std::memcpy(line + prefix_length, letters, letters_length);
    std::memcpy(line + prefix_length + letters_length, tail, tail_length + 1);
    return line;
}

char *build_scan_line(ServerConnection *conn, const char *path, const char *letters,
                      ResultCode *code) {
    size_t length = (sizeof kScanPrefix - 1) + std::strlen(letters) + 1 + std::strlen(path) + 2;
    auto *line = static_cast<char *>(std::malloc(length + 1));
    if (line == nullptr) {
        *code = conn->result = RC_NO_MEMORY;
        return nullptr;
    }
    std::snprintf(line, length + 1, "%s%s %s\r\n", kScanPrefix, letters, path);
    // The identity of what the server is about to scan, for a cured copy.
    // It is taken now whether or not a cure was asked for: a server may
    // return a copy unasked, and by then the name may lead somewhere else.
    struct stat info;
    if (conn->scan_identity_known == 0 && stat(path, &info) == 0) remember_identity(conn, info);
    return line;
}

} // namespace

extern "C" {

void close_scan_stream(ServerConnection *conn) {
    if (conn->scan_stream != nullptr) std::fclose(conn->scan_stream);
    conn->scan_stream = nullptr;
    // The stream's buffer goes only once the stream is closed.
    std::free(conn->scan_stream_buf);
    conn->scan_stream_buf = nullptr;
}

const char *verdict_name(Verdict verdict) {
    return verdict < VERDICT_COUNT ? kVerdictNames[verdict] : nullptr;
}

uint32_t scan_flag_letters(ScanFlags flags, char *letters) {
    uint32_t count = 0;
    for (const FlagRow *row = kScanFlagTable; row->mask != 0; ++row) {
        char letter = (flags & row->mask) != 0 ? row->set_letter : row->clear_letter;
        if (letter != 0) letters[count++] = letter;
    }
    letters[count] = '\0';
    return count;
}

ResultCode conn_scan_identity(ServerConnection *conn, uint64_t device, uint64_t inode) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    if (conn->state != nullptr) return RC_BUSY;
    conn->scan_dev = device;
    conn->scan_ino = inode;
    conn->scan_identity_known = kIdentityGiven;
    return RC_OK;
}

ResultCode conn_scan(ServerConnection *conn, const char *path, ScanReport *report, ScanFlags flags,
                     ProgressCallback progress) {
    if (conn == nullptr || path == nullptr) return RC_BAD_ARGUMENT;
    if (conn->state != nullptr) return RC_BUSY;
    conn->cured_written = 0;
    // An identity given by the caller serves this call only, whatever its
    // outcome.
    bool identity_given = conn->scan_identity_known == kIdentityGiven;
    if (identity_given) conn->scan_identity_known = 0;
    if (std::strlen(path) > kPathMax) return RC_BAD_ARGUMENT;
    if (std::strstr(path, "\r\n") != nullptr) return RC_BAD_ARGUMENT;
    if (report == nullptr) return RC_BAD_ARGUMENT;

    std::memset(report, 0, sizeof *report);
    conn->report = report;
    conn->collect_names = (flags & SCAN_NO_NAMES) != 0 ? 0 : 1;
    if (progress != nullptr) conn->progress = progress;

    // What an earlier scan that never saw its final line left behind.
    close_scan_stream(conn);
    release_scan_path(conn);
    discard_cured_file(conn);
    conn->scan_identity_known = identity_given ? 1 : 0;
    conn->cured_result = RC_OK;

    char letters[SCAN_LETTERS_MAX + 1];
    scan_flag_letters(flags, letters);

    ResultCode code = RC_OK;
    char *line = (conn->flags & CONN_TCP) != 0 ? build_netscan_line(conn, path, letters, &code)
                                               : build_scan_line(conn, path, letters, &code);
    if (line == nullptr) return code;

    // A line that the send buffer cannot take would be refused and stay
    // with us; refuse it here instead, before anything else is allocated.
    if (std::strlen(line) > conn->send_size) {
        std::free(line);
        close_scan_stream(conn);
        return RC_COMMAND_TOO_LONG;
    }

    conn->scan_path = copy_text(path);
    if (conn->scan_path == nullptr) {
        std::free(line);
        close_scan_stream(conn);
        conn->result = RC_NO_MEMORY;
        return RC_NO_MEMORY;
    }
    return conn_send_command(conn, line, on_scan_reply, 1);
}

void on_scan_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final) {
    if (is_final == 0) {
        if (code == 312) {
            begin_cured_file(conn, text);
        } else if (code >= 321 && code <= 330) {
            if (conn->progress != nullptr) conn->progress(static_cast<int32_t>(code - 321), text);
            count_object(conn, code, text);
        }
        return;
    }

    conn->result = RC_OK;
    conn->state = nullptr;
    if (code == 310) {
        // The server wants the file's bytes. Only an open stream of this
        // scan can be sent: over a Unix socket, or once the upload is over,
        // a 310 is a protocol error.
        if (conn->scan_stream != nullptr) {
            begin_upload(conn);
            return;
        }
        release_scan_path(conn);
        conn->result = RC_PROTOCOL_ERROR;
        return;
    }

    close_scan_stream(conn);
    release_scan_path(conn);
    int verdict = verdict_of_code(code);
    if (verdict >= 0) {
        if (conn->report != nullptr) conn->report->verdict = static_cast<Verdict>(verdict);
        // A cured copy that could not be stored must not pass for a cure.
        if (RC_FAILED(conn->cured_result)) conn->result = conn->cured_result;
    } else if (code == 525) {
        conn->result = RC_SCAN_525;
    } else if (code == 532) {
        conn->result = RC_SCAN_532;
    } else {
        conn->result = RC_PROTOCOL_ERROR;
    }
}

int32_t conn_scan_wrote_file(const ServerConnection *conn) {
    return conn != nullptr && conn->cured_written != 0 ? 1 : 0;
}

ResultCode scan_report_clear(ScanReport *report) {
    if (report == nullptr) return RC_OK;
    std::free(report->infected_list);
    std::free(report->cured_list);
    std::free(report->warning_list);
    std::free(report->suspicion_list);
    std::memset(report, 0, sizeof *report);
    return RC_OK;
}

ResultCode list_append_line(char **list, const char *text) {
    if (list == nullptr || text == nullptr) return RC_BAD_ARGUMENT;
    size_t old_length = *list != nullptr ? std::strlen(*list) : 0;
    size_t text_length = std::strlen(text);
    auto *grown = static_cast<char *>(std::malloc(old_length + text_length + 2));
    if (grown == nullptr) return RC_NO_MEMORY;
    if (old_length > 0) std::memcpy(grown, *list, old_length);
    std::memcpy(grown + old_length, text, text_length);
    grown[old_length + text_length] = '\n';
    grown[old_length + text_length + 1] = '\0';
    std::free(*list);
    *list = grown;
    return RC_OK;
}

} // extern "C"

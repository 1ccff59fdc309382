// The scan loop of the front end and its report lines.
#include "cli/scan_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/commands.h"
#include "client/scan.h"

namespace {

constexpr size_t kPathBufferSize = 8192;
constexpr size_t kDumpPathSize = 512;
constexpr size_t kStdinChunk = 8192;
constexpr int kNotScanned = 7;

constexpr int kVerdictExitStatus[VERDICT_COUNT] = {0, 4, 5, 4, 2, 3, 6, 8, 8, 8};

// Empty until standard input has been captured once.
char stdin_dump_path[kDumpPathSize];

bool write_all(int fd, const char *bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

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

// Makes the absolute path of an operand in `path`; prints the operand's
// error line and returns false when that is not possible.
bool resolve_operand(const char *operand, char *path, bool quiet) {
    size_t operand_length = std::strlen(operand);
    if (operand[0] == '/') {
        if (operand_length < kPathBufferSize) {
            std::memcpy(path, operand, operand_length + 1);
            return true;
        }
    } else if (getcwd(path, kPathBufferSize) != nullptr) {
        size_t directory_length = std::strlen(path);
        // The directory, "/", the operand and the NUL must all fit.
        if (directory_length + 1 + operand_length < kPathBufferSize) {
            path[directory_length] = '/';
            std::memcpy(path + directory_length + 1, operand, operand_length + 1);
            return true;
        }
    }
    if (!quiet) std::printf("%s ERROR\n", operand);
    return false;
}

void print_list(const char *label, const char *list) {
    if (list == nullptr) return;
    char *words = list_first_words(list);
    std::printf("%s %s\n", label, words != nullptr ? words : "");
    std::free(words);
}

// One operand, from its name to its status.
int scan_operand(ServerConnection *conn, const char *operand, uint32_t scan_flags, bool quiet,
                 ScanReport *report) {
    static char path[kPathBufferSize];

    if (std::strcmp(operand, "-") == 0) {
        if (!capture_stdin()) {
            if (!quiet) std::fputs("STDIN ERROR\n", stdout);
            return kNotScanned;
        }
        std::memcpy(path, stdin_dump_path, std::strlen(stdin_dump_path) + 1);
    } else if (!resolve_operand(operand, path, quiet)) {
        return kNotScanned;
    }

    struct stat info;
    if (stat(path, &info) != 0 || access(path, R_OK) != 0) {
        if (!quiet) std::printf("%s ERROR %s\n", path, std::strerror(errno));
        return kNotScanned;
    }
    if (!S_ISREG(info.st_mode)) {
        if (!quiet) std::printf("%s ERROR not a regular file\n", path);
        return kNotScanned;
    }

    // The file has just been examined; the scan need not examine it again.
    conn_scan_identity(conn, static_cast<uint64_t>(info.st_dev),
                       static_cast<uint64_t>(info.st_ino));
    int status;
    if (RC_FAILED(conn_scan(conn, path, report, scan_flags, nullptr))) {
        if (!quiet) std::printf("%s ERROR\n", operand);
        status = kNotScanned;
    } else {
        if (!quiet) {
            std::printf("%s %s\n", operand, verdict_name(report->verdict));
            print_list("LINFECTED", report->infected_list);
            print_list("LCURED", report->cured_list);
            print_list("LWARNING", report->warning_list);
            print_list("LSUSPICION", report->suspicion_list);
        }
        status = verdict_exit_status(report->verdict);
    }
    scan_report_clear(report);
    return status;
}

} // namespace

int verdict_exit_status(uint32_t verdict) {
    return verdict < VERDICT_COUNT ? kVerdictExitStatus[verdict] : kNotScanned;
}

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
        if (!write_all(fd, chunk, static_cast<size_t>(got))) {
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
    std::memcpy(stdin_dump_path, path, sizeof path);
    return true;
}

char *list_first_words(const char *list) {
    if (list == nullptr) list = "";
    size_t list_length = std::strlen(list);
    // The result is never longer than the list itself.
    auto *result = static_cast<char *>(std::malloc(list_length + 1));
    if (result == nullptr) return nullptr;
    size_t length = 0;

    const char *piece = list;
    const char *list_end = list + list_length;
    while (piece < list_end) {
        const auto *newline = static_cast<const char *>(
            std::memchr(piece, '\n', static_cast<size_t>(list_end - piece)));
        const char *piece_end = newline != nullptr ? newline : list_end;
        // Only a space ends the first word; a piece without one adds nothing,
        // and an empty piece is no line at all.
        const auto *space = static_cast<const char *>(
            std::memchr(piece, ' ', static_cast<size_t>(piece_end - piece)));
        if (space != nullptr) {
            if (length > 0) result[length++] = '\t';
            std::memcpy(result + length, piece, static_cast<size_t>(space - piece));
            length += static_cast<size_t>(space - piece);
        }
        piece = piece_end + 1;
    }
    result[length] = '\0';
    return result;
}

void run_scan_loop(ServerConnection *conn, uint32_t scan_flags, bool quiet, int argc, char **argv,
                   int first) {
    ScanReport report;
    std::memset(&report, 0, sizeof report);

    int status = 0;
    for (int i = first; i < argc; ++i)
        status = scan_operand(conn, argv[i], scan_flags, quiet, &report);

    conn_quit(conn);
    if (stdin_dump_path[0] != '\0' && access(stdin_dump_path, R_OK) == 0) unlink(stdin_dump_path);
    std::exit(status);
}

// The report lines of a scanned file.
#include "cli/report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kVerdictExitStatus[VERDICT_COUNT] = {0, 4, 5, 4, 2, 3, 6, 8, 8, 8};

// Severity of each exit status of a file, 0 to 8; higher is more severe.
constexpr int kSeverity[9] = {0, 0, 2, 3, 7, 1, 4, 6, 5};

void print_list(const char *label, const char *list) {
    if (list == nullptr) return;
    char *words = list_first_words(list);
    std::printf("%s %s\n", label, words != nullptr ? words : "");
    std::free(words);
}

} // namespace

int verdict_exit_status(uint32_t verdict) {
    return verdict < VERDICT_COUNT ? kVerdictExitStatus[verdict] : kNotScanned;
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

namespace {

// Reports a scan request whose name is printed by print_name.
int report_scan_of(const char *name, bool escaped, ResultCode code, const ScanReport *report,
                   bool quiet) {
    if (RC_FAILED(code)) {
        if (!quiet) {
            print_name(name, escaped);
            std::fputs(" ERROR\n", stdout);
        }
        return kNotScanned;
    }
    if (!quiet) {
        print_name(name, escaped);
        std::printf(" %s\n", verdict_name(report->verdict));
        print_list("LINFECTED", report->infected_list);
        print_list("LCURED", report->cured_list);
        print_list("LWARNING", report->warning_list);
        print_list("LSUSPICION", report->suspicion_list);
    }
    return verdict_exit_status(report->verdict);
}

// The line of a job that was not scanned.
void print_failure(const ScanJob &job) {
    if (job.failure == JobFailure::Stdin) {
        std::fputs("STDIN ERROR\n", stdout);
        return;
    }
    if (job.failure_shows_path) {
        std::fputs(job.path, stdout);
    } else {
        print_name(job.name, job.in_tree);
    }
    switch (job.failure) {
    case JobFailure::System:
        std::printf(" ERROR %s\n", std::strerror(job.error));
        break;
    case JobFailure::NotRegular:
        std::fputs(" ERROR not a regular file\n", stdout);
        break;
    default:
        std::fputs(" ERROR\n", stdout);
        break;
    }
}

} // namespace

int report_scan(const char *name, ResultCode code, const ScanReport *report, bool quiet) {
    return report_scan_of(name, false, code, report, quiet);
}

void print_name(const char *name, bool escaped) {
    if (!escaped) {
        std::fputs(name, stdout);
        return;
    }
    for (const char *at = name; *at != '\0';) {
        // The bytes up to the next one to escape go out as they are.
        size_t plain = 0;
        for (auto byte = static_cast<unsigned char>(at[plain]);
             byte != '\0' && byte >= 0x20 && byte != 0x7f && byte != '\\';
             byte = static_cast<unsigned char>(at[plain]))
            ++plain;
        std::fwrite(at, 1, plain, stdout);
        at += plain;
        if (*at == '\0') break;
        auto byte = static_cast<unsigned char>(*at++);
        switch (byte) {
        case '\n':
            std::fputs("\\n", stdout);
            break;
        case '\r':
            std::fputs("\\r", stdout);
            break;
        case '\t':
            std::fputs("\\t", stdout);
            break;
        case '\\':
            std::fputs("\\\\", stdout);
            break;
        default:
            std::printf("\\x%02x", byte);
            break;
        }
    }
}

int report_job(const ScanJob &job, ResultCode code, ScanReport *report, bool quiet) {
    int status = kNoStatus;
    if (job.failure == JobFailure::None) {
        status = report_scan_of(job.name, job.in_tree, code, report, quiet);
    } else if (job.failure != JobFailure::PassedOver) {
        if (!quiet) print_failure(job);
        status = kNotScanned;
    }
    scan_report_clear(report);
    return status;
}

int finish_output(int status) {
    int flushed = std::fflush(stdout);
    int error = errno;
    if (flushed == 0 && std::ferror(stdout) == 0) return status;
    std::fprintf(stderr, "ERROR: Could not write the results to standard output: %s\n",
                 std::strerror(flushed != 0 ? error : EIO));
    return kOutputFailed;
}

int fold_status(int run_status, int file_status, bool whole_run) {
    if (file_status == kNoStatus) return run_status;
    if (!whole_run) return file_status;
    return kSeverity[file_status] > kSeverity[run_status] ? file_status : run_status;
}

// The report lines of a scanned file.
#include "cli/report.h"

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

int report_scan(const char *name, ResultCode code, const ScanReport *report, bool quiet) {
    if (RC_FAILED(code)) {
        if (!quiet) std::printf("%s ERROR\n", name);
        return kNotScanned;
    }
    if (!quiet) {
        std::printf("%s %s\n", name, verdict_name(report->verdict));
        print_list("LINFECTED", report->infected_list);
        print_list("LCURED", report->cured_list);
        print_list("LWARNING", report->warning_list);
        print_list("LSUSPICION", report->suspicion_list);
    }
    return verdict_exit_status(report->verdict);
}

int report_job(const ScanJob &job, ResultCode code, ScanReport *report, bool quiet) {
    int status = kNotScanned;
    if (job.line != nullptr) {
        if (!quiet) std::fputs(job.line, stdout);
    } else {
        status = report_scan(job.name, code, report, quiet);
    }
    scan_report_clear(report);
    return status;
}

int fold_status(int run_status, int file_status, bool whole_run) {
    if (!whole_run) return file_status;
    return kSeverity[file_status] > kSeverity[run_status] ? file_status : run_status;
}

// The report lines of a scanned file.
#include "cli/report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/quarantine.h"

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

// The line that follows the result of a file that was to be moved or copied.
void print_quarantine(const ScanJob &job, bool copies) {
    if (job.destination == nullptr && job.quarantine_error == 0) return;
    print_name(job.name, job.in_tree);
    if (job.destination != nullptr) {
        std::fputs(copies ? " COPIED " : " MOVED ", stdout);
        print_name(job.destination, job.in_tree);
        std::putchar('\n');
    } else {
        std::printf(" ERROR %s\n", quarantine_failure_text(job.quarantine_error));
    }
}

// A JSON string of `text`'s bytes. Valid UTF-8 is written as it is (control
// characters, the quote and the backslash escaped); each byte that is not
// part of valid UTF-8 is written as the escape \udcXX of the lone surrogate
// U+DC00 + the byte, which no valid UTF-8 gives, so that every name is kept
// whole and no two names read the same.
void json_string(const char *text) {
    std::putchar('"');
    const auto *at = reinterpret_cast<const unsigned char *>(text);
    while (*at != 0) {
        unsigned char byte = *at;
        size_t length = 0;
        if (byte < 0x80) {
            length = 1;
        } else if (byte >= 0xc2 && byte <= 0xdf) {
            length = 2;
        } else if (byte >= 0xe0 && byte <= 0xef) {
            length = 3;
        } else if (byte >= 0xf0 && byte <= 0xf4) {
            length = 4;
        }
        // The second byte's range rules out overlong forms, surrogates and
        // code points beyond U+10FFFF.
        unsigned char low = 0x80, high = 0xbf;
        if (byte == 0xe0) low = 0xa0;
        if (byte == 0xed) high = 0x9f;
        if (byte == 0xf0) low = 0x90;
        if (byte == 0xf4) high = 0x8f;
        for (size_t i = 1; i < length; ++i) {
            if (at[i] < (i == 1 ? low : 0x80) || at[i] > (i == 1 ? high : 0xbf)) {
                length = 0;
                break;
            }
        }
        if (length == 0) {
            std::printf("\\udc%02x", byte);
            ++at;
            continue;
        }
        if (length > 1) {
            std::fwrite(at, 1, length, stdout);
        } else if (byte == '"' || byte == '\\') {
            std::putchar('\\');
            std::putchar(byte);
        } else if (byte == '\n') {
            std::fputs("\\n", stdout);
        } else if (byte == '\r') {
            std::fputs("\\r", stdout);
        } else if (byte == '\t') {
            std::fputs("\\t", stdout);
        } else if (byte < 0x20 || byte == 0x7f) {
            std::printf("\\u%04x", byte);
        } else {
            std::putchar(byte);
        }
        at += length;
    }
    std::putchar('"');
}

// ,"label":[...] with the first word of each line of the list, as the name
// lines print them; an empty word is left out.
void json_words(const char *label, const char *list) {
    std::printf(",\"%s\":[", label);
    bool first = true;
    for (const char *line = list; line != nullptr && *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        size_t length = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
        const auto *space = static_cast<const char *>(std::memchr(line, ' ', length));
        if (space != nullptr && space > line) {
            if (!first) std::putchar(',');
            first = false;
            char *word = strndup(line, static_cast<size_t>(space - line));
            json_string(word != nullptr ? word : "");
            std::free(word);
        }
        line += length + (end != nullptr ? 1 : 0);
    }
    std::putchar(']');
}

const char *failure_text(const ScanJob &job, ResultCode code) {
    switch (job.failure) {
    case JobFailure::None:
        return result_code_text(code);
    case JobFailure::Stdin:
        return "standard input could not be copied";
    case JobFailure::NotRegular:
        return "not a regular file";
    default:
        return std::strerror(job.error);
    }
}

void print_json(const ScanJob &job, ResultCode code, const ScanReport *report, int status,
                bool copies) {
    bool scanned = job.failure == JobFailure::None && !RC_FAILED(code);
    std::fputs("{\"file\":", stdout);
    json_string(job.name);
    std::printf(",\"verdict\":\"%s\",\"status\":%d",
                scanned ? verdict_name(report->verdict) : "ERROR", status);
    json_words("infected", scanned ? report->infected_list : nullptr);
    json_words("cured", scanned ? report->cured_list : nullptr);
    json_words("warning", scanned ? report->warning_list : nullptr);
    json_words("suspicion", scanned ? report->suspicion_list : nullptr);
    if (!scanned) {
        std::fputs(",\"error\":", stdout);
        json_string(failure_text(job, code));
    }
    if (job.destination != nullptr) {
        std::fputs(copies ? ",\"copied\":" : ",\"moved\":", stdout);
        json_string(job.destination);
    } else if (job.quarantine_error != 0) {
        std::fputs(copies ? ",\"copy_error\":" : ",\"move_error\":", stdout);
        json_string(quarantine_failure_text(job.quarantine_error));
    }
    std::fputs("}\n", stdout);
}

void count(RunStats *stats, const ScanJob &job, bool scanned, uint32_t verdict) {
    if (job.destination != nullptr) ++stats->quarantined;
    if (!scanned) {
        ++stats->not_scanned;
        return;
    }
    ++stats->scanned;
    switch (verdict) {
    case VERDICT_OK:
        ++stats->clean;
        break;
    case VERDICT_INFECTED:
    case VERDICT_CUREFAILED:
        ++stats->infected;
        break;
    case VERDICT_CURED:
        ++stats->cured;
        break;
    case VERDICT_WARNING:
        ++stats->warnings;
        break;
    case VERDICT_SUSPICION:
        ++stats->suspicions;
        break;
    default:
        ++stats->other;
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

int report_job(const ScanJob &job, ResultCode code, ScanReport *report, RunOutput *output) {
    if (job.failure == JobFailure::PassedOver) {
        scan_report_clear(report);
        return kNoStatus;
    }
    bool scanned = job.failure == JobFailure::None && !RC_FAILED(code);
    int status = scanned ? verdict_exit_status(report->verdict) : kNotScanned;
    count(&output->stats, job, scanned, report->verdict);
    bool clean = scanned && report->verdict == VERDICT_OK;
    if (!output->quiet && !(output->infected_only && clean)) {
        progress_before_output(output->progress);
        if (output->json) {
            print_json(job, code, report, status, output->copies);
        } else if (job.failure == JobFailure::None) {
            report_scan_of(job.name, job.in_tree, code, report, false);
            print_quarantine(job, output->copies);
        } else {
            print_failure(job);
        }
    }
    progress_done(output->progress, output->stats);
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

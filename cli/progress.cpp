// The summary and the progress line of a scan run.
#include "cli/progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int64_t kRedrawMs = 100;
constexpr size_t kLineSize = 1024;

} // namespace

struct Progress {
    int64_t start_ms;
    int64_t drawn_ms;
    bool shown;
    bool output_shares_terminal;
    char current[kLineSize]; // the current file, control bytes replaced
};

namespace {

// Columns of the terminal, less one so that the line never wraps.
size_t line_width() {
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return static_cast<size_t>(size.ws_col) - 1;
    return 79;
}

void draw(Progress *progress, const RunStats &stats, int64_t now) {
    uint64_t done = stats.scanned + stats.not_scanned;
    uint64_t found = stats.scanned - stats.clean;
    double seconds = static_cast<double>(now - progress->start_ms) / 1000.0;
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    char line[kLineSize + 128];
    int length = std::snprintf(line, sizeof line, "%llu files, %llu found, %.1f files/s: %s",
                               static_cast<unsigned long long>(done),
                               static_cast<unsigned long long>(found), rate, progress->current);
    if (length < 0) return;
    // Cut at the width, counting UTF-8 characters, never inside one.
    size_t width = line_width();
    size_t columns = 0;
    size_t cut = 0;
    for (; line[cut] != '\0'; ++cut) {
        if ((static_cast<unsigned char>(line[cut]) & 0xc0) == 0x80) continue;
        if (columns++ == width) break;
    }
    line[cut] = '\0';
    std::fprintf(stderr, "\r%s\033[K", line);
    progress->shown = true;
    progress->drawn_ms = now;
}

void clear(Progress *progress) {
    if (!progress->shown) return;
    std::fputs("\r\033[K", stderr);
    progress->shown = false;
}

} // namespace

void print_summary(const RunStats &stats, int64_t start_ms, const char *quarantine_label) {
    double seconds = static_cast<double>(monotonic_ms() - start_ms) / 1000.0;
    auto count = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    std::fprintf(stderr,
                 "Scanned: %llu\nClean: %llu\nInfected: %llu\nCured: %llu\nWarnings: %llu\n"
                 "Suspicions: %llu\nOther verdicts: %llu\nNot scanned: %llu\n",
                 count(stats.scanned), count(stats.clean), count(stats.infected),
                 count(stats.cured), count(stats.warnings), count(stats.suspicions),
                 count(stats.other), count(stats.not_scanned));
    if (quarantine_label != nullptr)
        std::fprintf(stderr, "%s: %llu\n", quarantine_label, count(stats.quarantined));
    std::fprintf(stderr, "Time: %.3f s\n", seconds);
}

Progress *progress_create(int64_t start_ms) {
    if (isatty(STDERR_FILENO) == 0) return nullptr;
    auto *progress = static_cast<Progress *>(std::calloc(1, sizeof(Progress)));
    if (progress == nullptr) return nullptr;
    progress->start_ms = start_ms;
    progress->drawn_ms = start_ms - kRedrawMs;
    progress->output_shares_terminal = isatty(STDOUT_FILENO) != 0;
    return progress;
}

void progress_started(Progress *progress, const char *name, const RunStats &stats) {
    if (progress == nullptr) return;
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < sizeof progress->current; ++i) {
        auto byte = static_cast<unsigned char>(name[i]);
        progress->current[i] = byte < 0x20 || byte == 0x7f ? '?' : name[i];
    }
    progress->current[i] = '\0';
    progress_done(progress, stats);
}

void progress_done(Progress *progress, const RunStats &stats) {
    if (progress == nullptr) return;
    int64_t now = monotonic_ms();
    if (now - progress->drawn_ms >= kRedrawMs) draw(progress, stats, now);
}

void progress_before_output(Progress *progress) {
    if (progress == nullptr || !progress->output_shares_terminal) return;
    clear(progress);
}

void progress_end(Progress *progress) {
    if (progress == nullptr) return;
    clear(progress);
    std::free(progress);
}

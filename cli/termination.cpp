// The termination signals' handler and the names it removes.
#include "cli/termination.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// Written only while the signals are held, so the handler never sees a name
// half written; `armed` says whether the name is to be removed.
struct CleanupName {
    volatile sig_atomic_t armed;
    int dir_fd;
    char name[kCleanupPathSize];
};

CleanupName dump_file;
CleanupName partial_copy;

void remove_name(const CleanupName &entry) {
    if (entry.armed != 0) unlinkat(entry.dir_fd, entry.name, 0);
}

// Async-signal-safe: unlinkat, sigaction and raise only. The signal is
// raised again with its default action, so the run ends as it would have
// without the handler and its exit status names the signal.
void on_termination(int signal_number) {
    remove_name(dump_file);
    remove_name(partial_copy);
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    // Delivered once the handler returns and the signal is no longer blocked.
    raise(signal_number);
}

void termination_set(sigset_t *set) {
    sigemptyset(set);
    for (int signal_number : kTerminationSignals)
        sigaddset(set, signal_number);
}

void remember(CleanupName *entry, int dir_fd, const char *name) {
    entry->armed = 0;
    entry->dir_fd = dir_fd;
    size_t length = std::strlen(name);
    if (length >= sizeof entry->name) return; // never armed with a cut name
    std::memcpy(entry->name, name, length + 1);
    entry->armed = 1;
}

} // namespace

void install_termination_handling() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGXFSZ, &action, nullptr);

    action.sa_handler = on_termination;
    // Every termination signal is held while the handler runs, so that two
    // in a row do not both clean up half-way.
    termination_set(&action.sa_mask);
    for (int signal_number : kTerminationSignals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

void remember_dump_file(const char *path) {
    remember(&dump_file, AT_FDCWD, path);
}

void forget_dump_file() {
    dump_file.armed = 0;
}

void remember_partial_copy(int dir_fd, const char *name) {
    remember(&partial_copy, dir_fd, name);
}

void forget_partial_copy() {
    partial_copy.armed = 0;
}

TerminationHold::TerminationHold() {
    sigset_t held;
    termination_set(&held);
    sigprocmask(SIG_BLOCK, &held, &previous_);
}

TerminationHold::~TerminationHold() {
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

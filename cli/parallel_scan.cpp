// The poll loop of the parallel scan mode.
#include "cli/parallel_scan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

#include "cli/quarantine.h"
#include "cli/report.h"
#include "cli/server.h"
#include "client/commands.h"

namespace {

// Jobs held from the next one to print to the last one read: a slow file
// holds back the printing of at most this many others.
constexpr size_t kWindow = 512;
// A file whose scan was cut off by a failing connection is tried this often.
constexpr int kAttempts = 2;
constexpr int64_t kWaitLimitMs = static_cast<int64_t>(kTimeoutSec) * 1000;

enum class JobState { Waiting, Running, Done };

struct Slot {
    ScanJob job;
    ScanReport report;
    JobState state;
    bool reads_stdin; // a "-" job, captured or not
    // Examined earlier than its scan may start (read ahead to count the
    // files, held back, or cut off): examined again before it starts.
    bool stale;
    int attempts;
    ResultCode code; // the scan's outcome once Done
};

struct Link {
    ServerConnection *conn;
    Slot *slot;          // the job being scanned; null while idle
    int64_t deadline_ms; // when the wait for the server runs out
    unsigned number;     // 1-based, for messages
};

struct Run {
    const RunOptions *options;
    RunOutput *output;
    Quarantine *quarantine;
    FileSource *source;
    bool source_done;
    bool out_of_memory;
    Slot *slots; // ring of kWindow slots, in the order of the run
    size_t head;
    size_t count;
    Link links[kMaxConnections];
    unsigned link_count;
    unsigned asked; // connections asked for, for messages
    int status;
};

int64_t now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Slot *slot_at(Run *run, size_t index) {
    return &run->slots[(run->head + index) % kWindow];
}

void finish(Slot *slot, ResultCode code) {
    slot->code = code;
    slot->state = JobState::Done;
}

// Reads the next job into the window, examined as of now: Done when it is
// not to be scanned, else Waiting. Null when the source is over, the window
// is full or memory ran out.
Slot *pull(Run *run) {
    if (run->source_done || run->out_of_memory || run->count == kWindow) return nullptr;
    Slot *slot = slot_at(run, run->count);
    *slot = Slot{};
    NextJob next = file_source_next(run->source, &slot->job);
    if (next == NextJob::End) {
        run->source_done = true;
        return nullptr;
    }
    ++run->count;
    if (next == NextJob::NoMemory) {
        run->out_of_memory = true;
        slot->state = JobState::Done;
        return nullptr;
    }
    slot->reads_stdin = slot->job.from_stdin;
    slot->state = slot->job.failure != JobFailure::None ? JobState::Done : JobState::Waiting;
    return slot;
}

// Reads jobs until `scans_wanted` of them need a connection or the source is
// over; they are examined again when their scans start. Returns how many
// need a connection.
size_t count_scans(Run *run, size_t scans_wanted) {
    size_t scans = 0;
    while (scans < scans_wanted) {
        Slot *slot = pull(run);
        if (slot == nullptr) break;
        if (slot->state == JobState::Waiting) {
            slot->stale = true;
            ++scans;
        }
    }
    return scans;
}

void print_finished(Run *run) {
    while (run->count > 0 && slot_at(run, 0)->state == JobState::Done) {
        Slot *slot = slot_at(run, 0);
        int status = report_job(slot->job, slot->code, &slot->report, run->output);
        run->status = fold_status(run->status, status, run->options->whole_run);
        release_job(&slot->job);
        run->head = (run->head + 1) % kWindow;
        --run->count;
    }
}

// Captures standard input for a "-" job whose turn has come.
bool prepare(Run *run, Slot *slot) {
    if (!prepare_stdin_job(&slot->job)) {
        run->out_of_memory = true;
        return false;
    }
    slot->stale = false;
    if (slot->job.failure != JobFailure::None) slot->state = JobState::Done;
    return true;
}

// Examines a held-back job again, as its scan may start now.
void refresh(Slot *slot) {
    if (!slot->stale) return;
    reexamine_job(&slot->job);
    if (slot->job.failure != JobFailure::None) slot->state = JobState::Done;
}

// Whether another connection is scanning the same file (device and inode):
// a file named twice is never cured by two connections at once.
bool identity_busy(Run *run, const Slot *slot) {
    for (unsigned i = 0; i < run->link_count; ++i) {
        const Slot *other = run->links[i].slot;
        if (other != nullptr && other->job.device == slot->job.device &&
            other->job.inode == slot->job.inode)
            return true;
    }
    return false;
}

// Whether a waiting job may start now, once it has been examined (or, for
// "-", captured) as of now. Standard input is captured in the order of the
// operands, and a "-" only once every earlier one is finished: each capture
// replaces the same dump file.
bool may_start(Run *run, Slot *slot, bool stdin_pending) {
    if (slot->job.from_stdin) {
        if (stdin_pending || !prepare(run, slot)) return false;
    } else {
        refresh(slot);
    }
    if (slot->state != JobState::Waiting) return false;
    if (identity_busy(run, slot)) {
        slot->stale = true;
        return false;
    }
    return true;
}

// The next job to start: the first held-back job that may start now, else
// the next jobs of the source, read only now, so that each file is examined
// when its scan starts. At most as many jobs are held back as there are
// connections.
Slot *next_to_scan(Run *run) {
    bool stdin_pending = false;
    size_t waiting = 0;
    for (size_t i = 0; i < run->count && !run->out_of_memory; ++i) {
        Slot *slot = slot_at(run, i);
        if (slot->state == JobState::Waiting) {
            if (may_start(run, slot, stdin_pending)) return slot;
            if (slot->state == JobState::Waiting) ++waiting;
        }
        if (slot->reads_stdin && slot->state != JobState::Done) stdin_pending = true;
    }
    while (waiting < run->link_count) {
        Slot *slot = pull(run);
        if (slot == nullptr) return nullptr;
        if (slot->state != JobState::Waiting) continue;
        if (may_start(run, slot, stdin_pending)) return slot;
        if (slot->state == JobState::Waiting) ++waiting;
        if (slot->reads_stdin && slot->state != JobState::Done) stdin_pending = true;
    }
    return nullptr;
}

// A scan has ended with `code`: the file goes to the quarantine folder now,
// before any later scan of the same file may start, as with one connection.
void scanned(Run *run, Slot *slot, ResultCode code) {
    quarantine_after_scan(run->quarantine, &slot->job, code, slot->report);
    finish(slot, code);
}

void start(Run *run, Link *link, Slot *slot) {
    ServerConnection *conn = link->conn;
    progress_started(run->output->progress, slot->job.name, run->output->stats);
    conn_scan_identity(conn, slot->job.device, slot->job.inode);
    ResultCode code =
        conn_scan(conn, slot->job.path, &slot->report, run->options->scan_flags, nullptr);
    // Refused before anything was queued (a path too long to send), or
    // settled without the server (an empty file over TCP).
    if (conn->state == nullptr) {
        scanned(run, slot, code);
        return;
    }
    slot->state = JobState::Running;
    link->slot = slot;
    link->deadline_ms = now_ms() + kWaitLimitMs;
}

// Gives up a connection that failed: its job goes back to wait for another
// one, unless it has been cut off before. The link is released at once.
void drop_link(Run *run, unsigned index, ResultCode code) {
    Link *link = &run->links[index];
    std::fprintf(stderr, "Connection %u of %u %s%s\n", link->number, run->asked,
                 code == RC_TIMEOUT ? "timed out" : "lost",
                 run->link_count > 1 ? "; its files go to the other connections." : ".");
    Slot *slot = link->slot;
    if (slot != nullptr) {
        scan_report_clear(&slot->report);
        if (++slot->attempts >= kAttempts) {
            finish(slot, code);
        } else {
            slot->state = JobState::Waiting;
            slot->stale = true;
        }
    }
    close_server(link->conn);
    run->links[index] = run->links[--run->link_count];
}

// With no connection left, every job fails as a scan on a lost connection
// does, once examined as of now.
void fail_waiting(Run *run) {
    while (pull(run) != nullptr) {
    }
    for (size_t i = 0; i < run->count && !run->out_of_memory; ++i) {
        Slot *slot = slot_at(run, i);
        if (slot->state != JobState::Waiting) continue;
        if (slot->job.from_stdin) {
            if (!prepare(run, slot)) return;
        } else {
            refresh(slot);
        }
        if (slot->state == JobState::Waiting) finish(slot, RC_READ_FAILED);
    }
}

// One step of a connection whose socket is ready.
void step(Run *run, unsigned index, short revents) {
    Link *link = &run->links[index];
    ServerConnection *conn = link->conn;
    bool readable = (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    // As in the library's own loop: the server must not speak while bytes
    // remain to be sent.
    if (readable && conn->sent_all == 0) {
        drop_link(run, index, RC_WRITE_FAILED);
        return;
    }
    conn_step(conn);
    link->deadline_ms = now_ms() + kWaitLimitMs;
    if (conn->state != nullptr) return;
    ResultCode code = conn->result;
    if (code == RC_READ_FAILED || code == RC_WRITE_FAILED) {
        drop_link(run, index, code);
        return;
    }
    scanned(run, link->slot, code);
    link->slot = nullptr;
    // An upload that stopped short closes the connection, which can no
    // longer be brought back in step: its next file must go elsewhere.
    if (conn->sock < 0) drop_link(run, index, RC_READ_FAILED);
}

// Waits until a busy connection's socket is ready in the direction its
// command needs, or the first wait runs out, and steps what is ready.
void wait_and_step(Run *run) {
    struct pollfd fds[kMaxConnections];
    unsigned numbers[kMaxConnections];
    nfds_t count = 0;
    int64_t now = now_ms();
    int64_t wait = kWaitLimitMs;
    for (unsigned i = 0; i < run->link_count; ++i) {
        const Link &link = run->links[i];
        if (link.slot == nullptr) continue;
        short events = POLLIN;
        if (link.conn->sent_all == 0) events |= POLLOUT;
        fds[count] = {link.conn->sock, events, 0};
        numbers[count++] = link.number;
        if (link.deadline_ms - now < wait) wait = link.deadline_ms - now;
    }
    if (count == 0) return;
    if (wait < 0) wait = 0;
    int ready = poll(fds, count, static_cast<int>(wait));
    if (ready < 0 && errno == EINTR) return;

    now = now_ms();
    // Links are found by number: dropping one moves another into its place.
    for (nfds_t i = 0; i < count; ++i) {
        unsigned index = 0;
        while (index < run->link_count && run->links[index].number != numbers[i])
            ++index;
        if (index == run->link_count) continue;
        if (ready < 0) {
            drop_link(run, index, RC_READ_FAILED);
        } else if (fds[i].revents != 0) {
            step(run, index, fds[i].revents);
        } else if (now >= run->links[index].deadline_ms) {
            drop_link(run, index, RC_TIMEOUT);
        }
    }
}

// Opens the connections one after another, each waiting for its greeting.
// False (after the first failure's message) when none could be opened.
bool open_links(Run *run, unsigned wanted) {
    const char *first_failure = nullptr;
    const char *failures[kMaxConnections] = {};
    for (unsigned number = 1; number <= wanted; ++number) {
        const char *failure = nullptr;
        ServerConnection *conn =
            open_server_waiting(run->options->address(), CONN_NO_WAIT,
                                number == 1 ? run->options->wait_sec : 0, &failure);
        if (conn == nullptr) {
            failures[number - 1] = failure;
            if (first_failure == nullptr) first_failure = failure;
            continue;
        }
        run->links[run->link_count++] = {conn, nullptr, 0, number};
    }
    run->asked = wanted;
    if (run->link_count == 0) {
        std::fputs(first_failure, stderr);
        return false;
    }
    constexpr size_t kPrefix = sizeof "ERROR: " - 1;
    for (unsigned number = 1; number <= wanted; ++number) {
        const char *failure = failures[number - 1];
        if (failure == nullptr) continue;
        // The fatal message without its "ERROR: " and its newline.
        std::fprintf(stderr, "Connection %u of %u could not be opened: %.*s\n", number, wanted,
                     static_cast<int>(std::strlen(failure) - kPrefix - 1), failure + kPrefix);
    }
    return true;
}

void close_links(Run *run, bool quit) {
    for (unsigned i = 0; i < run->link_count; ++i) {
        ServerConnection *conn = run->links[i].conn;
        if (quit) {
            // QUIT waits for its answer, as with a single connection.
            conn->flags = static_cast<uint16_t>(conn->flags & ~CONN_NO_WAIT);
            conn_quit(conn);
        }
        close_server(conn);
    }
    run->link_count = 0;
}

void release_window(Run *run) {
    for (size_t i = 0; i < run->count; ++i) {
        Slot *slot = slot_at(run, i);
        scan_report_clear(&slot->report);
        release_job(&slot->job);
    }
    run->count = 0;
}

// Gives every idle connection a job, while there are jobs that may start.
// False when memory ran out.
bool dispatch(Run *run) {
    for (unsigned i = 0; i < run->link_count; ++i) {
        while (run->links[i].slot == nullptr) {
            Slot *slot = next_to_scan(run);
            if (run->out_of_memory) return false;
            if (slot == nullptr) return true;
            start(run, &run->links[i], slot);
        }
    }
    return true;
}

int scan_all(Run *run) {
    size_t scans = count_scans(run, static_cast<size_t>(run->options->connections));
    if (run->out_of_memory) return -1;
    // Never more connections than files, but at least one, so that a run
    // without a file to scan fails as it does with one connection when no
    // server answers.
    unsigned wanted = static_cast<unsigned>(run->options->connections);
    if (run->source_done && scans < wanted) wanted = scans > 0 ? static_cast<unsigned>(scans) : 1;
    if (!open_links(run, wanted)) return 1;
    run->output->connected = true;

    for (;;) {
        if (run->link_count == 0) fail_waiting(run);
        if (run->out_of_memory) return -1;
        print_finished(run);
        if (run->count == 0 && run->source_done) break;
        if (run->link_count == 0) continue;
        if (!dispatch(run)) return -1;
        print_finished(run);
        wait_and_step(run);
    }
    close_links(run, true);
    return run->status;
}

} // namespace

int scan_in_parallel(FileSource *source, const ScanContext &context) {
    Run run{};
    run.options = context.options;
    run.output = context.output;
    run.quarantine = context.quarantine;
    run.source = source;
    run.slots = static_cast<Slot *>(std::calloc(kWindow, sizeof(Slot)));
    int status = run.slots != nullptr ? scan_all(&run) : -1;
    if (status < 0) {
        std::fputs("ERROR: Could not allocate memory!\n", stderr);
        status = 1;
    }
    close_links(&run, false);
    if (run.slots != nullptr) release_window(&run);
    std::free(run.slots);
    return status;
}

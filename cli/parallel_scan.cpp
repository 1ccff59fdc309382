// The poll loop of the parallel scan mode.
#include "cli/parallel_scan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>

#include "cli/quarantine.h"
#include "cli/report.h"
#include "cli/server.h"
#include "client/commands.h"
#include "client/connect.h"

namespace {

// Jobs held from the next one to print to the last one read: a slow file
// holds back the printing of at most this many others.
constexpr size_t kWindow = 512;
// A file whose scan was cut off by a failing connection is tried this often.
constexpr int kAttempts = 2;
constexpr size_t kErrorPrefix = sizeof "ERROR: " - 1;

enum class JobState { Waiting, Running, Done };
// A link opens, then scans while Ready; a dead one is removed by sweep.
enum class LinkState { Opening, Ready, Dead };
// The longest single wait of the loop; the library says when a wait ends.
constexpr int64_t kMaxPollMs = 60000;

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
    Slot *slot;      // the job being scanned; null while idle
    unsigned number; // 1-based, for messages
    uint32_t server; // the index of its server
    uint32_t home;   // the server it opens on first: its turn in the list
    LinkState state;
    // Its server has been marked down: it takes no further file, and is
    // replaced once its scan has ended.
    bool retired;
    uint32_t tries;        // servers tried by the open under way
    unsigned replacements; // since the last scan that ended on it
    const char *failure;   // the fatal message of its first failed open
};

struct Run {
    const RunOptions *options;
    const ServerSet *servers;
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
    if (!conn_busy(conn)) {
        scanned(run, slot, code);
        return;
    }
    slot->state = JobState::Running;
    link->slot = slot;
}

void open_ended(Run *run, Link *link, ResultCode code);

// Starts to open a link's connection on `server`, without waiting.
void start_open(Run *run, Link *link, uint32_t server) {
    link->server = server;
    link->state = LinkState::Opening;
    ++link->tries;
    ResultCode code = conn_open_start(server_address(*run->servers, server),
                                      static_cast<int32_t>(run->servers->timeout_sec), link->conn);
    if (code != RC_BUSY) open_ended(run, link, code);
}

// A link's open has ended with `code`. A listed server that did not open it
// is marked down, and the next one that is not down is tried, each server
// once; a link that no server opens is dead.
void open_ended(Run *run, Link *link, ResultCode code) {
    if (code == RC_OK) {
        link->state = LinkState::Ready;
        return;
    }
    link->state = LinkState::Dead;
    if (link->failure == nullptr) link->failure = open_failure_message(code);
    const ServerSet &servers = *run->servers;
    mark_server_down(servers, link->server, code);
    if (link->tries >= server_count(servers)) return;
    int32_t next = first_live_server(servers, link->server + 1);
    if (next >= 0) start_open(run, link, static_cast<uint32_t>(next));
}

// Opens a link's connection again on the first server from `from` on that is
// not down: with a list only, and not more often in a row than there are
// servers, unless a scan ends on it in between. Else the link is dead.
void replace_link(Run *run, Link *link, uint32_t from) {
    const ServerSet &servers = *run->servers;
    conn_close(link->conn);
    link->slot = nullptr;
    link->retired = false;
    link->state = LinkState::Dead;
    if (servers.list == nullptr || link->replacements >= server_count(servers)) return;
    int32_t next = first_live_server(servers, from);
    if (next < 0) return;
    ++link->replacements;
    link->tries = 0;
    start_open(run, link, static_cast<uint32_t>(next));
}

// The links on a server that has been marked down take no further file: an
// idle one is replaced at once, a busy one once its scan has ended.
void retire_links_of(Run *run, uint32_t server) {
    for (unsigned i = 0; i < run->link_count; ++i) {
        Link *link = &run->links[i];
        if (link->state != LinkState::Ready || link->server != server) continue;
        if (link->slot == nullptr) {
            replace_link(run, link, server + 1);
        } else {
            link->retired = true;
        }
    }
}

unsigned live_links(const Run *run) {
    unsigned live = 0;
    for (unsigned i = 0; i < run->link_count; ++i)
        live += run->links[i].state != LinkState::Dead ? 1 : 0;
    return live;
}

// Gives up a connection that failed: its job goes back to wait for another
// one, unless it has been cut off before or a cured copy has been written
// over its file. With a list, a server that failed is marked down, its
// other links retired, and the link opened again on another server;
// otherwise the link is dead.
void drop_link(Run *run, unsigned index, ResultCode code, bool server_failed) {
    Link *link = &run->links[index];
    if (server_failed) mark_server_down(*run->servers, link->server, code);
    std::fprintf(stderr, "Connection %u of %u %s%s\n", link->number, run->asked,
                 code == RC_TIMEOUT ? "timed out" : "lost",
                 live_links(run) > 1 ? "; its files go to the other connections." : ".");
    Slot *slot = link->slot;
    if (slot != nullptr) {
        scan_report_clear(&slot->report);
        // A file that a cure has been written over is no longer the file
        // that was scanned: its result is that of the failed scan.
        if (conn_scan_wrote_file(link->conn) != 0 || ++slot->attempts >= kAttempts) {
            finish(slot, code);
        } else {
            slot->state = JobState::Waiting;
            slot->stale = true;
        }
        link->slot = nullptr;
    }
    if (server_failed && run->servers->list != nullptr) {
        link->state = LinkState::Dead; // not among the links to retire
        retire_links_of(run, link->server);
    }
    replace_link(run, link, server_failed ? link->server + 1 : link->server);
}

// Removes the dead links, keeping the order of the others.
void sweep(Run *run) {
    unsigned kept = 0;
    for (unsigned i = 0; i < run->link_count; ++i) {
        if (run->links[i].state == LinkState::Dead) {
            close_server(run->links[i].conn);
        } else {
            run->links[kept++] = run->links[i];
        }
    }
    run->link_count = kept;
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

// A scan has ended with `code` on a link.
void scan_ended(Run *run, unsigned index, ResultCode code) {
    Link *link = &run->links[index];
    if (connection_lost(code)) {
        drop_link(run, index, code, true);
        return;
    }
    scanned(run, link->slot, code);
    link->slot = nullptr;
    link->replacements = 0;
    // An upload that stopped short closes the connection, which can no
    // longer be brought back in step: its next file must go elsewhere.
    if (conn_fd(link->conn) < 0) {
        drop_link(run, index, RC_READ_FAILED, false);
    } else if (link->retired) {
        replace_link(run, link, link->server + 1);
    } else if (link->server != link->home &&
               first_live_server(*run->servers, link->home) == static_cast<int32_t>(link->home)) {
        // Its own server is no longer down: the connection goes back to it,
        // so that the scans are spread again as they were meant to be.
        conn_close(link->conn);
        link->tries = 0;
        start_open(run, link, link->home);
    }
}

// Waits until a connection with a command or an open in progress is ready
// for what it waits for, or the first of their waits runs out, and lets
// each move on: the library keeps the rules and the time limits. Links are
// only marked dead here, never removed, so that indices stay.
void wait_and_process(Run *run) {
    struct pollfd fds[kMaxConnections];
    unsigned indices[kMaxConnections];
    nfds_t count = 0;
    int64_t wait = -1;
    for (unsigned i = 0; i < run->link_count; ++i) {
        ServerConnection *conn = run->links[i].conn;
        if (run->links[i].state == LinkState::Dead || !conn_busy(conn)) continue;
        fds[count] = {conn_fd(conn), conn_events(conn), 0};
        indices[count++] = i;
        int64_t ms = conn_timeout_ms(conn);
        if (wait < 0 || ms < wait) wait = ms;
    }
    if (count == 0) return;
    if (wait > kMaxPollMs) wait = kMaxPollMs;
    int ready = poll(fds, count, static_cast<int>(wait));
    if (ready < 0 && errno == EINTR) return;

    for (nfds_t i = 0; i < count; ++i) {
        Link *link = &run->links[indices[i]];
        // A link may have been opened anew meanwhile (retired), on another
        // descriptor: what poll said is not about it.
        if (link->state == LinkState::Dead || !conn_busy(link->conn)) continue;
        bool same = conn_fd(link->conn) == fds[i].fd;
        ResultCode code;
        if (ready < 0) {
            code = link->state == LinkState::Opening ? RC_CONNECT_FAILED : RC_READ_FAILED;
            conn_close(link->conn);
        } else {
            code = conn_process(link->conn, ready > 0 && same ? fds[i].revents : 0);
            if (code == RC_BUSY) continue;
        }
        if (link->state == LinkState::Opening) {
            open_ended(run, link, code);
        } else {
            scan_ended(run, indices[i], code);
        }
    }
}

// Opens the connections side by side, connection k on server k mod the
// number of servers (the next one that is not down); with --wait the first
// one waits for a server before the others start. Every open has ended
// before the first scan starts. False (after the first failure's message)
// when none could be opened.
bool open_links(Run *run, unsigned wanted) {
    const ServerSet &servers = *run->servers;
    uint32_t server_total = server_count(servers);
    run->asked = wanted;
    for (unsigned number = 1; number <= wanted; ++number) {
        Link *link = &run->links[run->link_count++];
        *link = Link{};
        link->number = number;
        if (number == 1 && run->options->wait_sec > 0) {
            link->conn = open_server_waiting(servers, CONN_NO_WAIT, run->options->wait_sec,
                                             &link->server, &link->failure);
            link->home = link->server;
            link->state = link->conn != nullptr ? LinkState::Ready : LinkState::Dead;
            continue;
        }
        link->conn = create_connection(servers, CONN_NO_WAIT);
        if (link->conn == nullptr) {
            link->state = LinkState::Dead;
            link->failure = open_failure_message(RC_NO_MEMORY);
            continue;
        }
        link->home = (number - 1) % server_total;
        int32_t live = first_live_server(servers, link->home);
        start_open(run, link, live >= 0 ? static_cast<uint32_t>(live) : link->home);
    }
    for (;;) {
        bool opening = false;
        for (unsigned i = 0; i < run->link_count; ++i)
            opening = opening || run->links[i].state == LinkState::Opening;
        if (!opening) break;
        wait_and_process(run);
    }

    const char *first_failure = nullptr;
    bool any = false;
    for (unsigned i = 0; i < run->link_count; ++i) {
        const Link &link = run->links[i];
        if (link.state != LinkState::Dead) {
            any = true;
        } else if (first_failure == nullptr) {
            first_failure = link.failure;
        }
    }
    if (!any) {
        std::fputs(first_failure, stderr);
        return false;
    }
    for (unsigned i = 0; i < run->link_count; ++i) {
        const Link &link = run->links[i];
        if (link.state != LinkState::Dead) continue;
        // The fatal message without its "ERROR: " and its newline.
        std::fprintf(stderr, "Connection %u of %u could not be opened: %.*s\n", link.number, wanted,
                     static_cast<int>(std::strlen(link.failure) - kErrorPrefix - 1),
                     link.failure + kErrorPrefix);
    }
    sweep(run);
    return true;
}

void close_links(Run *run, bool quit) {
    for (unsigned i = 0; i < run->link_count; ++i) {
        ServerConnection *conn = run->links[i].conn;
        if (quit && run->links[i].state == LinkState::Ready) {
            // QUIT waits for its answer, as with a single connection.
            conn_set_no_wait(conn, 0);
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
// With a list, a connection that the server has closed meanwhile is dropped
// before it is given one. False when memory ran out.
bool dispatch(Run *run) {
    bool listed = run->servers->list != nullptr;
    for (unsigned i = 0; i < run->link_count; ++i) {
        const Link &link = run->links[i];
        while (link.state == LinkState::Ready && !link.retired && link.slot == nullptr) {
            if (listed && conn_alive(link.conn) == 0) {
                drop_link(run, i, RC_READ_FAILED, true);
                break;
            }
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
        sweep(run);
        if (run->link_count == 0) fail_waiting(run);
        if (run->out_of_memory) return -1;
        print_finished(run);
        if (run->count == 0 && run->source_done) break;
        if (run->link_count == 0) continue;
        if (!dispatch(run)) return -1;
        print_finished(run);
        wait_and_process(run);
    }
    close_links(run, true);
    return run->status;
}

} // namespace

int scan_in_parallel(FileSource *source, const ScanContext &context) {
    Run run{};
    run.options = context.options;
    run.servers = context.servers;
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

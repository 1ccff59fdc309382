// Fuzz target: arbitrary server bytes, cut into arbitrary pieces, through the
// event loop, the line dispatcher and every reply handler: the greeting, a
// scan over either transport with its per-object lines, the upload after
// 310 and cured bodies after 312, KEYS, NOOP and ENV, and commands that
// follow one another on the same connection. The server's end is a socket
// pair fed from the input.
//
// Input: byte 0 chooses the first command (bits 0-2), the driver (bit 3:
// piece by piece with conn_step, or everything at once through conn_run)
// and how many commands follow it (bits 4-5); byte 1 chooses the buffer
// size; then each piece is a length byte (1 to 64 bytes follow) and its
// bytes. Nothing may crash, leak or overrun, the connection's invariants
// hold after every step, and no temporary file outlives its command.
//
// Built with libFuzzer (clang, -fsanitize=fuzzer) this is the fuzzer; built
// with replay_main.cpp it replays a corpus as an ordinary test.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../support/temp_dir.h"
#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"
#include "client/scan.h"
#include "client/transfer.h"

namespace {

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

constexpr char kOriginal[] = "the file as it was scanned\n";
constexpr int kMaxSteps = 20000;

// A private directory for the scanned file and one for temporary files,
// made once per process and removed at its end.
struct Scratch {
    TempDir root;
    std::string temp = root / "tmp";
    std::string scanned = root / "scanned";
    Scratch() {
        FUZZ_CHECK(mkdir(temp.c_str(), 0700) == 0);
        setenv("TMP", temp.c_str(), 1);
        unsetenv("TEMP");
    }
};

const Scratch &scratch() {
    static const Scratch made;
    return made;
}

bool temp_dir_is_empty() {
    return TempDir::list(scratch().temp).empty();
}

void write_scanned_file() {
    int fd = open(scratch().scanned.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, kOriginal, sizeof kOriginal - 1) == sizeof kOriginal - 1);
    close(fd);
}

bool known_code(ResultCode code) {
    switch (code) {
    case RC_OK:
    case RC_ENV_REFUSED:
    case RC_SCAN_525:
    case RC_COMMAND_TOO_LONG:
    case RC_BAD_ARGUMENT:
    case RC_NO_MEMORY:
    case RC_BUSY:
    case RC_CONNECT_FAILED:
    case RC_TIMEOUT:
    case RC_READ_FAILED:
    case RC_WRITE_FAILED:
    case RC_PROTOCOL_ERROR:
    case RC_VERSION_MISMATCH:
    case RC_SERVER_OVERLOADED:
    case RC_COPY_READ_FAILED:
    case RC_CHECKSUM_MISMATCH:
    case RC_NO_TEMP_FILE:
    case RC_SCAN_532:
    case RC_CLIENT_NOT_ALLOWED:
    case RC_ENV_202:
        return true;
    default:
        return false;
    }
}

void check_progress(int32_t event, const char *text) {
    FUZZ_CHECK(event >= 0 && event <= 9);
    FUZZ_CHECK(text != nullptr);
    (void)std::strlen(text); // the text must be terminated within its buffer
}

enum Command {
    kGreeting,
    kKeys,
    kNoop,
    kEnv,
    kScanUnix,
    kScanUnixNoNames,
    kScanTcp,
    kScanTcpNoNames,
    kCommandCount
};

struct Run {
    ServerConnection *conn;
    ScanReport report;
    int server; // the server's end of the socket pair
};

// Starts `command`; the connection was idle.
void start(Run &run, int command) {
    ServerConnection *conn = run.conn;
    scan_report_clear(&run.report);
    ResultCode code = RC_OK;
    conn->flags &= static_cast<uint16_t>(~CONN_TCP);
    switch (command) {
    case kGreeting:
        // What conn_open does once connected.
        conn->on_reply = on_greeting;
        conn->sent_all = 1;
        conn->state = read_lines;
        return;
    case kKeys:
        code = conn_keys(conn);
        break;
    case kNoop:
        code = conn_noop(conn);
        break;
    case kEnv:
        code = conn_env(conn, '=', "NAME=value\r\n");
        break;
    default: {
        if (command == kScanTcp || command == kScanTcpNoNames) conn->flags |= CONN_TCP;
        ScanFlags flags = SCAN_DEFAULT_FLAGS | SCAN_CURE;
        if (command == kScanUnixNoNames || command == kScanTcpNoNames) flags |= SCAN_NO_NAMES;
        code = conn_scan(conn, scratch().scanned.c_str(), &run.report, flags,
                         (flags & SCAN_NO_NAMES) != 0 ? check_progress : nullptr);
        break;
    }
    }
    // Queued on a connection that does not wait; a line longer than the
    // buffer is refused; over TCP a file that an earlier cure emptied is
    // clean without a word to the server.
    FUZZ_CHECK(
        code == RC_BUSY || code == RC_COMMAND_TOO_LONG ||
        (code == RC_OK && (conn->flags & CONN_TCP) != 0 && run.report.verdict == VERDICT_OK));
    FUZZ_CHECK((code == RC_BUSY) == (conn->state != nullptr));
}

// What must hold between any two steps.
void check_invariants(const Run &run) {
    const ServerConnection *conn = run.conn;
    FUZZ_CHECK(conn->send_len <= conn->send_size);
    FUZZ_CHECK(conn->recv_len <= conn->recv_size);
    if (conn->state == read_lines) {
        FUZZ_CHECK(conn->recv_len < conn->recv_size);
        FUZZ_CHECK(conn->recv_buf[conn->recv_len] == '\0');
    }
    FUZZ_CHECK(known_code(conn->result));
    FUZZ_CHECK(conn->body_ended == 0);
    FUZZ_CHECK(conn->body_follows == 0);
    // Only an upload in progress leaves the socket non-blocking.
    if (conn->state != upload_file && conn->sock >= 0)
        FUZZ_CHECK((fcntl(conn->sock, F_GETFL) & O_NONBLOCK) == 0);
    for (const KeyRecord *key = conn->key_list; key != nullptr; key = key->next)
        FUZZ_CHECK(key->kind >= KEY_KIND_L && key->kind <= KEY_KIND_OTHER);
    const ScanReport &report = run.report;
    FUZZ_CHECK(report.verdict < VERDICT_COUNT);
    if (conn->collect_names == 1) {
        // Nothing fails to allocate here, so every counted line is listed.
        FUZZ_CHECK((report.infected_list != nullptr) == (report.infected_count != 0));
        FUZZ_CHECK((report.cured_list != nullptr) == (report.cured_count != 0));
        FUZZ_CHECK((report.warning_list != nullptr) == (report.warning_count != 0));
        FUZZ_CHECK((report.suspicion_list != nullptr) == (report.suspicion_count != 0));
    }
    // A temporary file lives only while its body is being received.
    if (conn->state != receive_cured_file) FUZZ_CHECK(temp_dir_is_empty());
}

// Hands a piece of the input to the client. Every piece, however small,
// takes room in the socket, so a client that has stopped reading fills it:
// false then, and the rest of the input is dropped. So it is when the client
// has closed the connection (an upload that stopped short).
bool feed(int fd, const uint8_t *bytes, size_t length) {
    if (length == 0) return true;
    ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    FUZZ_CHECK(sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EPIPE ||
               errno == ECONNRESET);
    return sent == static_cast<ssize_t>(length);
}

bool readable(int fd) {
    pollfd one = {fd, POLLIN, 0};
    return poll(&one, 1, 0) > 0;
}

// Takes what the client wrote, so that its writes never block.
void drain(int fd) {
    char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

// One step of the command in progress, when it cannot block: a write, or a
// read with bytes (or the end of the input) waiting.
bool step(Run &run) {
    ServerConnection *conn = run.conn;
    if (conn->state == nullptr) return false;
    bool writing = conn->state == send_pending || conn->state == upload_file;
    if (!writing && !readable(conn->sock)) return false;
    ResultCode code = conn_step(conn);
    FUZZ_CHECK(known_code(code));
    drain(run.server);
    check_invariants(run);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    scratch();
    write_scanned_file();
    int command = data[0] & 7;
    bool all_at_once = (data[0] & 8) != 0;
    int commands_left = (data[0] >> 4) & 3;
    uint32_t buffer_size = data[1] >= 250 ? 8192u : 6u + data[1];
    data += 2;
    size -= 2;

    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    Run run{conn_create(buffer_size, 1, 1, CONN_NO_WAIT), {}, pair[1]};
    FUZZ_CHECK(run.conn != nullptr);
    run.conn->sock = pair[0];

    start(run, command);
    if (all_at_once) {
        // The command line goes out first: the loop fails a command whose
        // server speaks while it is still being sent.
        while (run.conn->state == send_pending)
            step(run);
        while (size > 0) {
            size_t piece = 1 + data[0] % 64;
            if (piece > size - 1) piece = size - 1;
            if (!feed(run.server, data + 1, piece)) break;
            data += 1 + piece;
            size -= 1 + piece;
        }
        shutdown(run.server, SHUT_WR);
        // The end of the input is always readable, so no wait lasts.
        ResultCode code = conn_run(run.conn);
        FUZZ_CHECK(known_code(code));
        drain(run.server);
        check_invariants(run);
    } else {
        int steps = 0;
        while (size > 0 && steps < kMaxSteps) {
            // An idle client with nothing more to ask reads no further.
            if (run.conn->state == nullptr && commands_left == 0) break;
            size_t piece = 1 + data[0] % 64;
            if (piece > size - 1) piece = size - 1;
            if (!feed(run.server, data + 1, piece)) break;
            data += 1 + piece;
            size -= 1 + piece;
            for (;;) {
                if (run.conn->state == nullptr) {
                    if (commands_left == 0) break;
                    --commands_left;
                    start(run, (command + 1 + commands_left) % kCommandCount);
                }
                if (!step(run) || ++steps >= kMaxSteps) break;
            }
        }
        // The input ends: whatever is still in progress reads the end.
        shutdown(run.server, SHUT_WR);
        while (run.conn->state != nullptr && steps++ < kMaxSteps)
            step(run);
        FUZZ_CHECK(run.conn->state == nullptr);
    }

    scan_report_clear(&run.report);
    free_key_list(run.conn);
    // An upload that stopped short closes the connection itself.
    bool still_open = run.conn->sock == pair[0];
    conn_free(run.conn);
    if (still_open) close(pair[0]);
    close(pair[1]);
    FUZZ_CHECK(temp_dir_is_empty());
    return 0;
}

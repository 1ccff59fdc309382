// Helpers shared by the fault tests: digests and contents of test files, a
// harness that fails each allocation of an operation in turn, a file size
// limit in a child process, and a timer that interrupts the test thread.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "digest/md5.h"
#include "digest/md5_text.h"
#include "support/faults.h"

namespace fault_helpers {

inline std::string md5_hex(const std::string &bytes) {
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()));
    md5_final(&ctx);
    char text[MD5_HEX_LENGTH + 1];
    md5_digest_text(ctx.digest, text);
    return text;
}

// A 312 line announcing a cured copy of `size` bytes with `digest`.
inline std::string copy_line(uint64_t size, const std::string &digest) {
    return "312-" + std::to_string(size) + " " + digest + "\r\n";
}

// A 312 line for `body`, with its own digest, and the body behind it.
inline std::string cured_copy(const std::string &body) {
    return copy_line(body.size(), md5_hex(body)) + body;
}

// Bytes of every value, CR and LF included, in a repeatable order.
inline std::string patterned(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// The same without a CR LF anywhere, for files whose bytes travel in front
// of lines that a fake server counts.
inline std::string patterned_without_line_ends(size_t size, unsigned seed) {
    std::string bytes = patterned(size, seed);
    for (char &c : bytes)
        if (c == '\r') c = 'r';
    return bytes;
}

inline ino_t inode_of(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// One run of an operation with one kind of call failing. The operation
// calls arm() right before the library calls under test and disarm() right
// after them; `nth` is the call made to fail (0 in the counting run), and
// with `and_later` every call after it fails too. Allocations are tracked
// from arm() on, so that the operation can check, once it has released what
// it was given, that nothing is left.
struct Trial {
    faults::Call call = faults::Call::Allocation;
    int error = 0;
    long nth = 0;
    bool and_later = false;
    long calls = 0;
    bool failed = false;

    void arm() const {
        faults::reset();
        faults::track_allocations();
        faults::fail_call(call, nth, error, and_later);
    }
    void disarm() {
        calls = faults::calls(call);
        failed = faults::fired(call);
        faults::fail_call(call, 0, 0);
    }
    bool failing() const { return nth > 0; }
    // Whether the kth call of the kind (counted from arm()) failed.
    bool fails(long k) const { return failing() && (k == nth || (and_later && k > nth)); }
};

inline std::ostream &operator<<(std::ostream &out, const Trial &trial) {
    return out << "call " << trial.nth << (trial.and_later ? " and every later one" : "")
               << " failing";
}

// Runs `op` once to count its calls of the kind, then once for each of them
// failing alone and, with `and_later`, once for it failing with every later
// one. Returns the count.
template <typename Op> long each_call_failing(faults::Call call, int error, bool and_later, Op op) {
    Trial counting{call, error};
    op(counting);
    faults::reset();
    for (long nth = 1; nth <= counting.calls; ++nth) {
        for (bool later : {false, true}) {
            if (later && !and_later) continue;
            Trial trial{call, error, nth, later};
            SCOPED_TRACE(::testing::Message() << trial);
            op(trial);
            EXPECT_TRUE(trial.failed) << "the operation made fewer calls than counted";
            faults::reset();
        }
    }
    return counting.calls;
}

template <typename Op> long each_allocation_failing(Op op) {
    return each_call_failing(faults::Call::Allocation, 0, true, op);
}

// Runs `body` in a child process of the test thread alone, which ends with
// body's result and no destructors run. Returns the child's exit status (100
// + the signal if it died). A child also keeps signals away from the test
// process: where the tests run as emulated 32-bit code, a process that has
// caught a signal can no longer join its threads (the fake servers').
template <typename Body> int in_child(Body body) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Runs `body` in a child process whose files may grow to `bytes` bytes, with
// SIGXFSZ at its default disposition: a write beyond the limit would end the
// process (status 100 + SIGXFSZ), so the library must refuse such a copy
// before it writes. Returns as in_child.
template <typename Body> int with_file_size_limit(rlim_t bytes, Body body) {
    return in_child([&] {
        std::signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit = {bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
        return body();
    });
}

// SIGALRM every `microseconds` while it exists, caught without SA_RESTART,
// so that every blocking call of the test thread may be interrupted; each
// signal is counted. An interrupted wait starts again with its full limit,
// so a storm would keep a client waiting on a silent server for ever: it
// stops by itself after `seconds`.
class AlarmStorm {
  public:
    explicit AlarmStorm(long microseconds, long seconds = 10) {
        signals() = 0;
        limit() = seconds * 1000000 / microseconds;
        struct sigaction action {};
        action.sa_handler = on_alarm;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_);
        itimerval timer{};
        timer.it_interval.tv_usec = microseconds;
        timer.it_value.tv_usec = microseconds;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~AlarmStorm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }
    AlarmStorm(const AlarmStorm &) = delete;
    AlarmStorm &operator=(const AlarmStorm &) = delete;

    long received() const { return signals(); }

  private:
    static volatile sig_atomic_t &signals() {
        static volatile sig_atomic_t count = 0;
        return count;
    }
    static long &limit() {
        static long most = 0;
        return most;
    }
    static void on_alarm(int) {
        signals() = signals() + 1;
        if (signals() >= limit()) {
            itimerval off{};
            setitimer(ITIMER_REAL, &off, nullptr);
        }
    }

    struct sigaction previous_ {};
};

} // namespace fault_helpers

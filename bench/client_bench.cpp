// Whole-process benchmarks of orvaclient, run against the stand-in server in
// modes that never make it the bottleneck. Runs are interleaved, the order
// changing every round, and only medians and ratios are reported, each with
// its target:
//   single    one file per run (median of many runs): time ratio to the floor
//             client (a plain C client doing the same protocol work)
//   batch     one run over many small files: time per file ratio to the
//             floor; in the same rounds -j 1 against the run without -j, and
//             -j 4 against -j 1, their outputs compared byte for byte
//   parallel  small files against a server that takes 2 ms per scan without
//             holding a CPU: files per second of -j 8 against -j 1, outputs
//             compared byte for byte
//   cure      a cured body received, verified and written over the file, for
//             a large and a medium body: throughput ratio, peak memory
//   upload    a large file scanned over TCP (digest, NETSCAN, upload after
//             310) against the floor client's TCP mode: throughput ratio,
//             share of the in-memory MD5 throughput sampled between the runs,
//             peak memory at two sizes
//   rss       peak resident memory of a one-file scan
//   servers   -j 16 against a server that greets each connection after 1 s:
//             the time to the first result line (read from a terminal, where
//             each line is written at once), against the greeting delay;
//             small files against stand-ins that serve at most 2 connections
//             each and take 2 ms per scan: files per second of -j 8 over four
//             of them (a -t list) against -j 8 over one, outputs compared
// Peak memory is measured in separate runs through bench/rss_probe.c, so
// that none of the harness's own pages are counted.
//
// Usage: client_bench ORVACLIENT FLOOR_CLIENT STANDIN [--quick]

#include "digest/md5.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Command = std::vector<std::string>;
using Hook = std::function<void()>;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<char *> argv_of(const Command &args) {
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Whether the programs' standard error is thrown away (for runs whose
// expected messages would only clutter the tables).
bool quiet_errors = false;

// Runs a program with its standard output written to `out` (thrown away when
// empty); returns its wall time.
double run(const Command &args, const std::vector<std::string> &env = {},
           const std::string &out = "") {
    std::vector<char *> argv = argv_of(args);
    auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        int output = out.empty() ? null : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(output, 1);
        if (quiet_errors) dup2(null, 2);
        for (const std::string &setting : env)
            putenv(const_cast<char *>(setting.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127 || WEXITSTATUS(status) == 1) {
        std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
        std::exit(1);
    }
    return seconds;
}

std::string rss_probe;

// Peak resident memory (KiB) of one run, measured through the probe.
double peak_rss_kib(Command args, const std::vector<std::string> &env = {}) {
    args.insert(args.begin(), rss_probe);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) std::exit(1);
    std::vector<char *> argv = argv_of(args);
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(pipe_fds[1], 2);
        for (const std::string &setting : env)
            putenv(const_cast<char *>(setting.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    char text[64] = {0};
    ssize_t got = read(pipe_fds[0], text, sizeof text - 1);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got <= 0) {
        std::fprintf(stderr, "rss_probe failed for %s\n", args[1].c_str());
        std::exit(1);
    }
    return std::atof(text);
}

// Median peak memory in MiB of `runs` runs of each contender.
std::pair<double, double> peak_rss_pair(int runs, const Command &ours, const Command &floor,
                                        const std::vector<std::string> &env = {},
                                        const Hook &before_each = nullptr) {
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i) {
        if (before_each) before_each();
        a.push_back(peak_rss_kib(ours, env) / 1024);
        if (before_each) before_each();
        b.push_back(peak_rss_kib(floor, env) / 1024);
    }
    return {median(a), median(b)};
}

// The stand-in server with `extra` options, on a Unix socket (unless
// `socket` is empty), on a TCP port of its choosing when `tcp` is set, or
// both; stopped when this goes out of scope.
class Server {
  public:
    Server(const std::string &binary, const std::string &socket, Command extra, bool tcp = false) {
        Command args = {binary};
        if (!socket.empty()) args.insert(args.end(), {"--socket", socket});
        if (tcp) args.insert(args.end(), {"--tcp", "0"});
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv = argv_of(args);
        int pipe_fds[2];
        if (tcp && pipe(pipe_fds) != 0) std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            if (tcp) dup2(pipe_fds[1], 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // The port is printed, and the socket's name appears, once the
        // server accepts connections.
        if (tcp) {
            close(pipe_fds[1]);
            port_ = read_port(pipe_fds[0]);
            close(pipe_fds[0]);
        }
        for (int i = 0; i < 3000 && !socket.empty() && access(socket.c_str(), F_OK) != 0; ++i)
            usleep(10000);
        if ((!socket.empty() && access(socket.c_str(), F_OK) != 0) || (tcp && port_ == 0)) {
            std::fprintf(stderr, "the stand-in server did not start\n");
            std::exit(1);
        }
    }
    ~Server() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    unsigned port() const { return port_; }

  private:
    // Reads the "tcp-port N" line, waiting at most 30 s; 0 if none came.
    static unsigned read_port(int fd) {
        std::string text;
        char piece[64];
        while (text.find('\n') == std::string::npos) {
            pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, 30000) <= 0) return 0;
            ssize_t got = read(fd, piece, sizeof piece);
            if (got <= 0) return 0;
            text.append(piece, static_cast<size_t>(got));
        }
        unsigned port = 0;
        return std::sscanf(text.c_str(), "tcp-port %u", &port) == 1 ? port : 0;
    }

    pid_t pid_ = -1;
    unsigned port_ = 0;
};

// Runs every contender once a round, one after the other, each round
// starting one contender later, so that over a multiple of their count each
// holds every place equally often. Returns each contender's wall times; the
// standard output of contender i's last run goes to outputs[i] when given.
std::vector<std::vector<double>> interleave_all(int runs, const std::vector<Command> &contenders,
                                                const std::vector<std::string> &env = {},
                                                const Hook &before_each = nullptr,
                                                const std::vector<std::string> &outputs = {}) {
    size_t n = contenders.size();
    std::vector<std::vector<double>> times(n);
    for (int i = 0; i < runs; ++i) {
        for (size_t turn = 0; turn < n; ++turn) {
            size_t who = (static_cast<size_t>(i) + turn) % n;
            if (before_each) before_each();
            times[who].push_back(
                run(contenders[who], env, who < outputs.size() ? outputs[who] : ""));
        }
    }
    return times;
}

struct Pair {
    std::vector<double> ours, floor;
};

// Alternates the two contenders, swapping who goes first every round.
Pair interleave(int runs, const Command &ours, const Command &floor,
                const std::vector<std::string> &env = {}, const Hook &before_each = nullptr) {
    std::vector<std::vector<double>> times = interleave_all(runs, {ours, floor}, env, before_each);
    return {times[0], times[1]};
}

struct Row {
    std::string name;
    std::string ours;
    std::string floor;
    std::string ratio;
    std::string target;
    bool met;
    bool heading;
};
std::vector<Row> rows;
// Lines printed under the table.
std::vector<std::string> notes;

void add(const std::string &name, const std::string &ours, const std::string &floor,
         const std::string &ratio, const std::string &target, bool met) {
    rows.push_back({name, ours, floor, ratio, target, met, false});
}

// Starts a group of rows whose two columns hold `ours` and `reference`.
void heading(const std::string &name, const std::string &ours, const std::string &reference) {
    rows.push_back({name, ours, reference, "ratio", "target", true, true});
}

std::string format(const char *fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

// A file's bytes; empty if it cannot be read.
std::string contents(const std::string &path) {
    std::string text;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char piece[8192];
    for (size_t got; (got = std::fread(piece, 1, sizeof piece, f)) > 0;)
        text.append(piece, got);
    std::fclose(f);
    return text;
}

// Whether two files hold the same bytes and `lines` lines.
bool same_output(const std::string &a, const std::string &b, int lines) {
    std::string text = contents(a);
    return text == contents(b) && std::count(text.begin(), text.end(), '\n') == lines;
}

std::string body_file;
std::string scanned_file;
// Each cure run starts from the same infected file.
void reset_scanned() {
    FILE *f = std::fopen(scanned_file.c_str(), "wb");
    std::fputs("infected file, to be replaced by the cured copy\n", f);
    std::fclose(f);
}

// Bytes per second of one in-memory digest of `data`.
double md5_rate(const std::vector<unsigned char> &data) {
    auto start = Clock::now();
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data.data(), static_cast<uint32_t>(data.size()));
    md5_final(&ctx);
    return static_cast<double>(data.size()) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

double md5_throughput(size_t bytes) {
    std::vector<unsigned char> data(bytes, 0x5a);
    std::vector<double> rates;
    for (int i = 0; i < 5; ++i)
        rates.push_back(md5_rate(data));
    return median(rates);
}

void write_body(const std::string &path, size_t bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    std::vector<char> chunk(1 << 20);
    unsigned seed = 7;
    for (char &c : chunk) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    for (size_t left = bytes; left > 0;) {
        size_t n = std::min(left, chunk.size());
        std::fwrite(chunk.data(), 1, n, f);
        left -= n;
    }
    std::fclose(f);
}

// `count` small files of distinct contents in a new folder `dir`.
std::vector<std::string> small_files(const std::string &dir, int count) {
    mkdir(dir.c_str(), 0700);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(dir + "/f" + std::to_string(i));
        FILE *small = std::fopen(names.back().c_str(), "wb");
        std::fprintf(small, "file %d\n", i);
        std::fclose(small);
    }
    return names;
}

void remove_all(const std::vector<std::string> &paths) {
    for (const std::string &path : paths)
        unlink(path.c_str());
}

Command with(Command command, const std::vector<std::string> &tail) {
    command.insert(command.end(), tail.begin(), tail.end());
    return command;
}

struct Programs {
    std::string client, floor, standin, dir;
    bool quick;
};

// One file per run and its peak memory; a batch of small files without -j,
// with -j 1 and -j 4 beside the floor; small files against a server that
// takes 2 ms per scan.
void bench_scans(const Programs &p) {
    std::string socket = p.dir + "/instant.sock";
    Server server(p.standin, socket, {"--instant"});
    std::string file = p.dir + "/one.txt";
    FILE *f = std::fopen(file.c_str(), "wb");
    std::fputs("hello\n", f);
    std::fclose(f);
    Command one = {p.client, "-p", socket, "-s", file};
    Command floor_one = {p.floor, socket, file};
    Pair single = interleave(p.quick ? 40 : 201, one, floor_one);
    double ours = median(single.ours), base = median(single.floor);
    add("one file per run (ms)", format("%.3f", ours * 1e3), format("%.3f", base * 1e3),
        format("%.3f", ours / base), "<= 1.10", ours / base <= 1.10);
    auto [ours_rss, base_rss] = peak_rss_pair(p.quick ? 3 : 9, one, floor_one);
    add("one-file scan peak RSS (MiB)", format("%.2f", ours_rss), format("%.2f", base_rss),
        format("%.3f", ours_rss / base_rss), "reported", true);
    unlink(file.c_str());

    int files = p.quick ? 2000 : 10000;
    std::vector<std::string> names = small_files(p.dir + "/batch", files);
    Command scan = {p.client, "-p", socket, "-s"};
    std::vector<std::string> outputs = {p.dir + "/out-none", "", p.dir + "/out-j1",
                                        p.dir + "/out-j4"};
    // Four contenders in a multiple of four rounds: each runs in every place
    // equally often.
    std::vector<std::vector<double>> batch =
        interleave_all(p.quick ? 8 : 12,
                       {with(scan, names), with({p.floor, socket}, names),
                        with(with(scan, {"-j", "1"}), names), with(with(scan, {"-j", "4"}), names)},
                       {}, nullptr, outputs);
    double none = median(batch[0]) / files, floor_per = median(batch[1]) / files;
    double j1 = median(batch[2]) / files, j4 = median(batch[3]) / files;
    add("batch, per file (us, " + std::to_string(files) + " files)", format("%.1f", none * 1e6),
        format("%.1f", floor_per * 1e6), format("%.3f", none / floor_per), "<= 1.30",
        none / floor_per <= 1.30);

    // The server's delay, not the client, sets the pace here.
    int delayed = p.quick ? 1000 : 2000;
    std::vector<std::string> some(names.begin(), names.begin() + delayed);
    std::string slow_socket = p.dir + "/delay.sock";
    Server slow(p.standin, slow_socket, {"--scan-delay", "2"});
    Command slow_scan = {p.client, "-p", slow_socket, "-s", "-j"};
    std::vector<std::vector<double>> par = interleave_all(
        p.quick ? 3 : 5, {with(with(slow_scan, {"8"}), some), with(with(slow_scan, {"1"}), some)},
        {}, nullptr, {p.dir + "/slow-j8", p.dir + "/slow-j1"});
    double rate8 = delayed / median(par[0]), rate1 = delayed / median(par[1]);

    heading("parallel", "-j N", "reference");
    std::string label = "2 ms/scan, " + std::to_string(delayed) + " files: ";
    add(label + "files/s, -j 8 : -j 1", format("%.0f", rate8), format("%.0f", rate1),
        format("%.2f", rate8 / rate1), ">= 6", rate8 / rate1 >= 6);
    bool same = same_output(p.dir + "/slow-j8", p.dir + "/slow-j1", delayed);
    add(label + "output -j 8 = -j 1", same ? "identical" : "DIFFERS", "", "", "identical", same);
    add("instant: us/file, -j 1 : no -j", format("%.1f", j1 * 1e6), format("%.1f", none * 1e6),
        format("%.3f", j1 / none), "<= 1.05", j1 / none <= 1.05);
    // -j 4 must not be slower than -j 1; 3 % allows for the noise of
    // medians of whole runs on a shared machine.
    add("instant: us/file, -j 4 : -j 1", format("%.1f", j4 * 1e6), format("%.1f", j1 * 1e6),
        format("%.3f", j4 / j1), "<= 1.00 (+3% noise)", j4 / j1 <= 1.03);
    same = same_output(outputs[3], outputs[2], files) && same_output(outputs[2], outputs[0], files);
    add("instant: output -j 4 = -j 1 = no -j", same ? "identical" : "DIFFERS", "", "", "identical",
        same);

    remove_all(names);
    remove_all({outputs[0], outputs[2], outputs[3], p.dir + "/slow-j8", p.dir + "/slow-j1"});
    rmdir((p.dir + "/batch").c_str());
}

// Cured copies of a large and a medium body.
void bench_cure(const Programs &p) {
    double md5_rate_now = md5_throughput(64u << 20);
    std::string tmp_env = "TMP=" + p.dir;
    scanned_file = p.dir + "/scanned.bin";
    heading("cure", "orvaclient", "floor");
    for (size_t mib : {size_t{256}, size_t{16}}) {
        if (p.quick && mib == 256) continue;
        body_file = p.dir + "/body.bin";
        write_body(body_file, mib << 20);
        std::string socket = p.dir + "/cure.sock";
        Server server(p.standin, socket, {"--serve-cured", body_file});
        int runs = mib == 256 ? 5 : 15;
        if (p.quick) runs = 3;
        Command ours = {p.client, "-p", socket, "-u", "-s", scanned_file};
        Command floor = {p.floor, "-u", socket, scanned_file};
        Pair c = interleave(runs, ours, floor, {tmp_env}, reset_scanned);
        struct stat info;
        if (stat(scanned_file.c_str(), &info) != 0 ||
            static_cast<size_t>(info.st_size) != (mib << 20)) {
            std::fprintf(stderr, "the cured copy was not written\n");
            std::exit(1);
        }
        double bytes = static_cast<double>(mib << 20);
        double ours_rate = bytes / median(c.ours) / 1e6, base = bytes / median(c.floor) / 1e6;
        std::string label = "cure " + std::to_string(mib) + " MiB";
        add(label + " (MB/s)", format("%.0f", ours_rate), format("%.0f", base),
            format("%.3f", ours_rate / base), ">= 1.30", ours_rate / base >= 1.30);
        auto [ours_rss, base_rss] = peak_rss_pair(3, ours, floor, {tmp_env}, reset_scanned);
        add(label + " peak RSS (MiB)", format("%.2f", ours_rss), format("%.2f", base_rss),
            format("%+.2f", ours_rss - base_rss), "|diff| <= 1, < 4",
            std::fabs(ours_rss - base_rss) <= 1 && ours_rss < 4);
        add(label + " share of in-memory MD5", format("%.3f", ours_rate * 1e6 / md5_rate_now),
            format("%.3f", base * 1e6 / md5_rate_now), "", "for the record", true);
        unlink(body_file.c_str());
    }
    unlink(scanned_file.c_str());
    notes.push_back("in-memory MD5 before the cure runs: " + format("%.0f", md5_rate_now / 1e6) +
                    " MB/s");
}

// A large file scanned over TCP against the floor client's TCP mode, with
// the in-memory MD5 throughput sampled before every run; peak memory at the
// large size and at a quarter of it.
void bench_upload(const Programs &p) {
    Server server(p.standin, "", {"--instant"}, true);
    std::string port = std::to_string(server.port());
    std::string file = p.dir + "/upload.bin";
    std::vector<unsigned char> memory(32u << 20, 0x5a);
    std::vector<double> md5_rates;
    Hook sample_md5 = [&] { md5_rates.push_back(md5_rate(memory)); };

    heading("upload over TCP", "orvaclient", "floor");
    size_t large = p.quick ? 64 : 256;
    double large_rss = 0;
    for (size_t mib : {large, large / 4}) {
        write_body(file, mib << 20);
        Command ours = {p.client, "-t", "127.0.0.1:" + port, "-s", file};
        Command floor = {p.floor, "-t", port, file};
        std::string label = "upload " + std::to_string(mib) + " MiB";
        if (mib == large) {
            std::vector<std::string> outputs = {p.dir + "/upload-ours", p.dir + "/upload-floor"};
            std::vector<std::vector<double>> u =
                interleave_all(p.quick ? 3 : 7, {ours, floor}, {}, sample_md5, outputs);
            // An upload cut short could look fast: both must have scanned it.
            if (contents(outputs[0]) != file + " OK\n" || contents(outputs[1]) != file + " OK\n") {
                std::fprintf(stderr, "an upload did not end in a clean verdict\n");
                std::exit(1);
            }
            remove_all(outputs);
            double bytes = static_cast<double>(mib << 20);
            double ours_rate = bytes / median(u[0]) / 1e6;
            double base = bytes / median(u[1]) / 1e6;
            double md5_now = median(md5_rates) / 1e6;
            add(label + " (MB/s)", format("%.0f", ours_rate), format("%.0f", base),
                format("%.3f", ours_rate / base), ">= 1.30", ours_rate / base >= 1.30);
            add(label + " share of in-memory MD5", format("%.3f", ours_rate / md5_now),
                format("%.3f", base / md5_now), format("%.3f", ours_rate / md5_now), ">= 0.75",
                ours_rate / md5_now >= 0.75);
        }
        auto [ours_rss, base_rss] = peak_rss_pair(3, ours, floor);
        add(label + " peak RSS (MiB)", format("%.2f", ours_rss), format("%.2f", base_rss),
            format("%.2f", ours_rss), "< 4", ours_rss < 4);
        if (mib == large)
            large_rss = ours_rss;
        else
            add("upload peak RSS, " + std::to_string(large) + " less " + std::to_string(mib) +
                    " MiB",
                format("%+.2f", large_rss - ours_rss), "", format("%+.2f", large_rss - ours_rss),
                "<= 0.50 (flat)", large_rss - ours_rss <= 0.5);
    }
    unlink(file.c_str());
    notes.push_back("in-memory MD5 between the upload runs: " +
                    format("%.0f", median(md5_rates) / 1e6) + " MB/s");
}

// Runs a program with its standard output on a terminal, which the client
// writes line by line: returns the seconds until the first line arrived.
double first_line_time(const Command &args) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) std::exit(1);
    std::vector<char *> argv = argv_of(args);
    auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(slave, 1);
        close(master);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    double first = -1;
    char piece[4096];
    for (;;) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 60000) <= 0) break;
        // A terminal whose other side has closed reads as an error.
        ssize_t got = read(master, piece, sizeof piece);
        if (got <= 0) break;
        if (first < 0 && std::memchr(piece, '\n', static_cast<size_t>(got)) != nullptr)
            first = std::chrono::duration<double>(Clock::now() - start).count();
    }
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || first < 0) {
        std::fprintf(stderr, "%s gave no result line (status %d)\n", args[0].c_str(), status);
        std::exit(1);
    }
    return first;
}

// Opening many connections to a server slow to greet, and spreading scans
// over several servers that each serve few connections.
void bench_servers(const Programs &p) {
    heading("several connections and servers", "orvaclient", "reference");
    std::vector<std::string> names = small_files(p.dir + "/servers", p.quick ? 1000 : 2000);

    std::string slow_socket = p.dir + "/greet.sock";
    {
        Server slow(p.standin, slow_socket, {"--greet-delay", "1000", "--instant"});
        Command opens = {p.client, "-p", slow_socket, "-j", "16", "-s"};
        opens.insert(opens.end(), names.begin(), names.begin() + 64);
        std::vector<double> firsts;
        for (int i = 0; i < (p.quick ? 3 : 5); ++i)
            firsts.push_back(first_line_time(opens));
        double first = median(firsts);
        add("-j 16, greeting after 1 s: first result (s)", format("%.3f", first), "1.000",
            format("%.3f", first / 1.0), "<= 1.5 s", first <= 1.5);
    }

    // Each stand-in greets a third connection with 401: against one, -j 8
    // scans on two connections, over four on eight.
    std::vector<std::unique_ptr<Server>> pool;
    std::string list;
    for (int i = 0; i < 4; ++i) {
        pool.push_back(std::make_unique<Server>(
            p.standin, "", Command{"--max-connections", "2", "--scan-delay", "2"}, true));
        list += (i > 0 ? "," : "") + std::string("127.0.0.1:") + std::to_string(pool[i]->port());
    }
    std::string one = list.substr(0, list.find(','));
    // A server counts a connection until it has closed it: a moment between
    // runs lets the last run's connections go.
    Hook settle = [] { usleep(100000); };
    quiet_errors = true;
    std::vector<std::vector<double>> spread =
        interleave_all(p.quick ? 3 : 5,
                       {with({p.client, "-t", list, "-j", "8", "-s"}, names),
                        with({p.client, "-t", one, "-j", "8", "-s"}, names)},
                       {}, settle, {p.dir + "/four-out", p.dir + "/one-out"});
    quiet_errors = false;
    double files = static_cast<double>(names.size());
    double four = files / median(spread[0]), single = files / median(spread[1]);
    add("-j 8, files/s: four servers : one", format("%.0f", four), format("%.0f", single),
        format("%.2f", four / single), ">= 3.5", four / single >= 3.5);
    bool same =
        same_output(p.dir + "/four-out", p.dir + "/one-out", static_cast<int>(names.size()));
    add("-j 8, output: four servers = one", same ? "identical" : "DIFFERS", "", "", "identical",
        same);
    notes.push_back("servers: " + std::to_string(names.size()) +
                    " files over TCP, stand-ins serving 2 connections each, 2 ms per scan");
    remove_all(names);
    remove_all({p.dir + "/four-out", p.dir + "/one-out"});
    rmdir((p.dir + "/servers").c_str());
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ORVACLIENT FLOOR_CLIENT STANDIN [--quick]\n", argv[0]);
        return 2;
    }
    Programs p;
    p.client = argv[1];
    p.floor = argv[2];
    p.standin = argv[3];
    p.quick = argc > 4 && std::strcmp(argv[4], "--quick") == 0;
    rss_probe = p.floor.substr(0, p.floor.rfind('/') + 1) + "rss_probe";

    char pattern[] = "/tmp/orva-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    p.dir = pattern;

    heading("benchmark", "orvaclient", "floor");
    bench_scans(p);
    bench_cure(p);
    bench_upload(p);
    bench_servers(p);
    rmdir(p.dir.c_str());

    bool all = true;
    for (const Row &row : rows) {
        if (row.heading) {
            std::printf("%s%-44s %12s %12s %9s  %s\n", &row == &rows[0] ? "" : "\n",
                        row.name.c_str(), row.ours.c_str(), row.floor.c_str(), row.ratio.c_str(),
                        row.target.c_str());
            continue;
        }
        std::printf("%-44s %12s %12s %9s  %-19s %s\n", row.name.c_str(), row.ours.c_str(),
                    row.floor.c_str(), row.ratio.c_str(), row.target.c_str(),
                    row.met ? "met" : "NOT MET");
        all = all && row.met;
    }
    for (const std::string &note : notes)
        std::printf("%s\n", note.c_str());
    return all ? 0 : 3;
}

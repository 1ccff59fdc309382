// Whole-process benchmarks of orvaclient against the floor client (a plain
// C client doing the same protocol work), both run against the stand-in
// server in a mode that never makes it the bottleneck. Runs are interleaved
// and only medians and ratios are reported, each with its target:
//   single  one file per run (median of many runs): time ratio
//   batch   one run over many small files: time per file ratio
//   cure    a cured body received, verified and written over the file, for a
//           large and a medium body: throughput ratio, peak memory
//   rss     peak resident memory of a one-file scan
//   upload  a large file scanned over TCP through the library
//           (bench/library_client.c) against the floor client's NETSCAN
//           with 8 KiB reads and writes: throughput ratio, share of the
//           in-memory MD5 throughput, peak memory at two file sizes
// Peak memory is measured in separate runs through bench/rss_probe.c, so
// that none of the harness's own pages are counted.
//
// Usage: client_bench ORVACLIENT FLOOR_CLIENT STANDIN [--quick] [--upload]
//   --upload  only the upload benchmark

#include "digest/md5.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double seconds;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs a program with its output thrown away; returns its wall time.
Sample run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
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
    return {seconds};
}

std::string rss_probe;

// Peak resident memory (KiB) of one run, measured through the probe.
double peak_rss_kib(std::vector<std::string> args, const std::vector<std::string> &env = {}) {
    args.insert(args.begin(), rss_probe);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) std::exit(1);
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
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
std::pair<double, double> peak_rss_pair(int runs, const std::vector<std::string> &ours,
                                        const std::vector<std::string> &floor,
                                        const std::vector<std::string> &env = {},
                                        void (*before_each)() = nullptr) {
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i) {
        if (before_each != nullptr) before_each();
        a.push_back(peak_rss_kib(ours, env) / 1024);
        if (before_each != nullptr) before_each();
        b.push_back(peak_rss_kib(floor, env) / 1024);
    }
    return {median(a), median(b)};
}

class Server {
  public:
    // With "--tcp 0" among `extra`, the port the server chose is read from
    // its standard output.
    Server(const std::string &binary, const std::string &socket, std::vector<std::string> extra)
        : socket_(socket) {
        std::vector<std::string> args = {binary, "--socket", socket};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        if (std::find(extra.begin(), extra.end(), "--tcp") != extra.end()) {
            char text[64] = {0};
            ssize_t got = read(out[0], text, sizeof text - 1);
            if (got <= 0 || std::sscanf(text, "tcp-port %u", &tcp_port_) != 1) {
                std::fprintf(stderr, "the stand-in server gave no TCP port\n");
                std::exit(1);
            }
        }
        close(out[0]);
        // The socket's name appears once the server accepts connections.
        for (int i = 0; i < 3000 && access(socket.c_str(), F_OK) != 0; ++i)
            usleep(10000);
        if (access(socket.c_str(), F_OK) != 0) {
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

    std::string tcp_address() const { return "127.0.0.1:" + std::to_string(tcp_port_); }

  private:
    std::string socket_;
    pid_t pid_ = -1;
    unsigned tcp_port_ = 0;
};

struct Pair {
    std::vector<double> ours, floor;
};

// Alternates the two contenders, swapping who goes first every round.
Pair interleave(int runs, const std::vector<std::string> &ours,
                const std::vector<std::string> &floor, const std::vector<std::string> &env = {},
                void (*before_each)() = nullptr) {
    Pair pair;
    for (int i = 0; i < runs; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            bool ours_now = (turn == 0) == (i % 2 == 0);
            if (before_each != nullptr) before_each();
            Sample s = run(ours_now ? ours : floor, env);
            (ours_now ? pair.ours : pair.floor).push_back(s.seconds);
        }
    }
    return pair;
}

struct Row {
    std::string name;
    std::string ours;
    std::string floor;
    std::string ratio;
    std::string target;
    bool met;
};
std::vector<Row> rows;

std::string format(const char *fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

std::string body_file;
std::string scanned_file;
// Each cure run starts from the same infected file.
void reset_scanned() {
    FILE *f = std::fopen(scanned_file.c_str(), "wb");
    std::fputs("infected file, to be replaced by the cured copy\n", f);
    std::fclose(f);
}

double md5_throughput(size_t bytes) {
    std::vector<unsigned char> data(bytes, 0x5a);
    std::vector<double> rates;
    for (int i = 0; i < 5; ++i) {
        auto start = Clock::now();
        Md5Context ctx;
        md5_init(&ctx);
        md5_update(&ctx, data.data(), static_cast<uint32_t>(data.size()));
        md5_final(&ctx);
        rates.push_back(static_cast<double>(bytes) /
                        std::chrono::duration<double>(Clock::now() - start).count());
    }
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

// Pulls a file into the page cache, as a file that was just written is.
void read_through(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    std::vector<char> chunk(1 << 20);
    while (std::fread(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
    }
    std::fclose(f);
}

// Scans a large file over TCP against the stand-in, which reads the upload
// and answers at once: what is measured is the client's digest pass and
// upload.
void upload_rows(const std::string &library_client, const std::string &floor,
                 const std::string &standin, const std::string &dir, bool quick, double md5_rate) {
    Server server(standin, dir + "/upload.sock", {"--instant", "--tcp", "0"});
    std::string address = server.tcp_address();
    size_t small_mib = 16, large_mib = quick ? 64 : 256;
    std::string small = dir + "/upload-small.bin", large = dir + "/upload-large.bin";
    write_body(small, small_mib << 20);
    write_body(large, large_mib << 20);
    read_through(small);
    read_through(large);

    Pair p =
        interleave(quick ? 3 : 7, {library_client, address, large}, {floor, "-t", address, large});
    double bytes = static_cast<double>(large_mib << 20);
    double ours = bytes / median(p.ours), base = bytes / median(p.floor);
    std::string label = "TCP upload " + std::to_string(large_mib) + " MiB";
    rows.push_back({label + " (MB/s)", format("%.0f", ours / 1e6), format("%.0f", base / 1e6),
                    format("%.3f", ours / base), ">= 1.30", ours / base >= 1.30});
    rows.push_back({label + " share of in-mem MD5", format("%.3f", ours / md5_rate),
                    format("%.3f", base / md5_rate), "", ">= 0.75", ours / md5_rate >= 0.75});
    int runs = quick ? 3 : 5;
    auto [ours_small, base_small] =
        peak_rss_pair(runs, {library_client, address, small}, {floor, "-t", address, small});
    auto [ours_large, base_large] =
        peak_rss_pair(runs, {library_client, address, large}, {floor, "-t", address, large});
    rows.push_back({"TCP upload peak RSS (MiB), " + std::to_string(small_mib) + " MiB",
                    format("%.2f", ours_small), format("%.2f", base_small),
                    format("%+.2f", ours_small - base_small), "< 4", ours_small < 4});
    rows.push_back({"TCP upload peak RSS (MiB), " + std::to_string(large_mib) + " MiB",
                    format("%.2f", ours_large), format("%.2f", base_large),
                    format("%+.2f", ours_large - ours_small), "< 4, flat (+-0.25)",
                    ours_large < 4 && std::fabs(ours_large - ours_small) <= 0.25});
    unlink(small.c_str());
    unlink(large.c_str());
}

// The start-up, batch and cure benchmarks against the orvaclient binary.
void cure_and_start_up_rows(const std::string &client, const std::string &floor,
                            const std::string &standin, const std::string &dir, bool quick,
                            double md5_rate) {
    std::string tmp_env = "TMP=" + dir;
    // 1 and 5: one file per run, and its peak memory.
    {
        std::string socket = dir + "/instant.sock";
        Server server(standin, socket, {"--instant"});
        std::string file = dir + "/one.txt";
        FILE *f = std::fopen(file.c_str(), "wb");
        std::fputs("hello\n", f);
        std::fclose(f);
        int runs = quick ? 40 : 201;
        Pair p = interleave(runs, {client, "-p", socket, "-s", file}, {floor, socket, file});
        double ours = median(p.ours), base = median(p.floor);
        rows.push_back({"one file per run (ms)", format("%.3f", ours * 1e3),
                        format("%.3f", base * 1e3), format("%.3f", ours / base), "<= 1.10",
                        ours / base <= 1.10});
        auto [ours_rss, base_rss] =
            peak_rss_pair(quick ? 3 : 9, {client, "-p", socket, "-s", file}, {floor, socket, file});
        rows.push_back({"one-file scan peak RSS (MiB)", format("%.2f", ours_rss),
                        format("%.2f", base_rss), format("%.3f", ours_rss / base_rss), "reported",
                        true});

        // 2: a batch of small files in one run.
        int files = quick ? 2000 : 10000;
        std::vector<std::string> ours_args = {client, "-p", socket, "-s"};
        std::vector<std::string> floor_args = {floor, socket};
        mkdir((dir + "/batch").c_str(), 0700);
        for (int i = 0; i < files; ++i) {
            std::string name = dir + "/batch/f" + std::to_string(i);
            FILE *small = std::fopen(name.c_str(), "wb");
            std::fprintf(small, "file %d\n", i);
            std::fclose(small);
            ours_args.push_back(name);
            floor_args.push_back(name);
        }
        Pair b = interleave(quick ? 3 : 7, ours_args, floor_args);
        double ours_per = median(b.ours) / files, base_per = median(b.floor) / files;
        rows.push_back({"batch, per file (us, " + std::to_string(files) + " files)",
                        format("%.1f", ours_per * 1e6), format("%.1f", base_per * 1e6),
                        format("%.3f", ours_per / base_per), "<= 1.30",
                        ours_per / base_per <= 1.30});
        for (int i = 0; i < files; ++i)
            unlink((dir + "/batch/f" + std::to_string(i)).c_str());
        rmdir((dir + "/batch").c_str());
        unlink(file.c_str());
    }

    // 3: cured copies.
    scanned_file = dir + "/scanned.bin";
    for (size_t mib : {size_t{256}, size_t{16}}) {
        if (quick && mib == 256) continue;
        body_file = dir + "/body.bin";
        write_body(body_file, mib << 20);
        std::string socket = dir + "/cure.sock";
        Server server(standin, socket, {"--serve-cured", body_file});
        int runs = mib == 256 ? 5 : 15;
        if (quick) runs = 3;
        Pair c = interleave(runs, {client, "-p", socket, "-u", "-s", scanned_file},
                            {floor, "-u", socket, scanned_file}, {tmp_env}, reset_scanned);
        struct stat info;
        if (stat(scanned_file.c_str(), &info) != 0 ||
            static_cast<size_t>(info.st_size) != (mib << 20)) {
            std::fprintf(stderr, "the cured copy was not written\n");
            std::exit(1);
        }
        double bytes = static_cast<double>(mib << 20);
        double ours = bytes / median(c.ours) / 1e6, base = bytes / median(c.floor) / 1e6;
        std::string label = "cure " + std::to_string(mib) + " MiB";
        rows.push_back({label + " (MB/s)", format("%.0f", ours), format("%.0f", base),
                        format("%.3f", ours / base), ">= 1.30", ours / base >= 1.30});
        auto [ours_rss, base_rss] =
            peak_rss_pair(3, {client, "-p", socket, "-u", "-s", scanned_file},
                          {floor, "-u", socket, scanned_file}, {tmp_env}, reset_scanned);
        rows.push_back({label + " peak RSS (MiB)", format("%.2f", ours_rss),
                        format("%.2f", base_rss), format("%+.2f", ours_rss - base_rss),
                        "|diff| <= 1, < 4", std::fabs(ours_rss - base_rss) <= 1 && ours_rss < 4});
        rows.push_back({label + " share of in-memory MD5", format("%.3f", ours * 1e6 / md5_rate),
                        format("%.3f", base * 1e6 / md5_rate), "", "for the record", true});
        unlink(body_file.c_str());
    }
    unlink(scanned_file.c_str());
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ORVACLIENT FLOOR_CLIENT STANDIN [--quick] [--upload]\n",
                     argv[0]);
        return 2;
    }
    std::string client = argv[1];
    std::string floor = argv[2];
    std::string standin = argv[3];
    bool quick = false;
    bool upload_only = false;
    for (int i = 4; i < argc; ++i) {
        quick = quick || std::strcmp(argv[i], "--quick") == 0;
        upload_only = upload_only || std::strcmp(argv[i], "--upload") == 0;
    }
    std::string bench_dir = floor.substr(0, floor.rfind('/') + 1);
    rss_probe = bench_dir + "rss_probe";

    char pattern[] = "/tmp/orva-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    std::string dir = pattern;
    double md5_rate = md5_throughput(64u << 20);
    if (!upload_only) cure_and_start_up_rows(client, floor, standin, dir, quick, md5_rate);
    upload_rows(bench_dir + "library_client", floor, standin, dir, quick, md5_rate);
    rmdir(dir.c_str());

    std::printf("%-40s %12s %12s %9s  %-17s %s\n", "benchmark", "orvaclient", "floor", "ratio",
                "target", "");
    bool all = true;
    for (const Row &row : rows) {
        std::printf("%-40s %12s %12s %9s  %-17s %s\n", row.name.c_str(), row.ours.c_str(),
                    row.floor.c_str(), row.ratio.c_str(), row.target.c_str(),
                    row.met ? "met" : "NOT MET");
        all = all && row.met;
    }
    std::printf("in-memory MD5: %.0f MB/s\n", md5_rate / 1e6);
    return all ? 0 : 3;
}

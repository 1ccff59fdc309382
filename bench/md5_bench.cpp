// Throughput of our MD5 against references, in one run:
//  1. the same in-memory buffer digested by md5_init/md5_update/md5_final and
//     by OpenSSL's EVP_Digest(EVP_md5()), alternating;
//  2. a file of the same bytes in the page cache digested by md5_file_hex and
//     by the md5sum program, alternating.
// Prints the median of each and the ratio ours/reference (above 1 means ours
// is faster), and fails if any digest disagrees. The machines this runs on
// are noisy, so only medians and ratios are meaningful.
//
// Usage: md5_bench [MiB (default 256)] [runs (default 7)]

#include "digest/md5.h"
#include "digest/md5_text.h"

#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Megabytes (10^6 bytes) per second.
double mb_per_s(std::size_t bytes, double secs) {
    return static_cast<double>(bytes) / secs / 1e6;
}

std::string to_hex(const unsigned char *digest) {
    char text[MD5_HEX_LENGTH + 1];
    md5_digest_text(digest, text);
    return text;
}

std::string upper(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

void fill_pseudo_random(std::vector<uint8_t> &buffer) {
    uint64_t x = 0x9e3779b97f4a7c15u;
    for (std::size_t i = 0; i < buffer.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(buffer.data() + i, &x, std::min<std::size_t>(8, buffer.size() - i));
    }
}

std::string ours_buffer(const std::vector<uint8_t> &buffer) {
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, buffer.data(), static_cast<uint32_t>(buffer.size()));
    md5_final(&ctx);
    return to_hex(ctx.digest);
}

std::string openssl_buffer(const std::vector<uint8_t> &buffer) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(buffer.data(), buffer.size(), digest, &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        std::fprintf(stderr, "EVP_Digest failed\n");
        std::exit(2);
    }
    return to_hex(digest);
}

// Digests the file with md5_file_hex and checks the stream is left at its end.
std::string ours_file(const std::string &path, long expected_size) {
    FILE *stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        std::perror(path.c_str());
        std::exit(2);
    }
    char hex[34];
    const ResultCode rc = md5_file_hex(stream, hex, sizeof hex);
    const long position = std::ftell(stream);
    std::fclose(stream);
    if (rc != RC_OK || position != expected_size) {
        std::fprintf(stderr, "md5_file_hex: rc %08x, position %ld of %ld\n", rc, position,
                     expected_size);
        std::exit(2);
    }
    return hex;
}

// Runs md5sum on the file without a shell and returns its digest in uppercase.
std::string md5sum_file(const std::string &path) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    std::string program = "md5sum";
    std::string path_arg = path;
    char *argv[] = {program.data(), path_arg.data(), nullptr};
    pid_t pid = 0;
    const int spawn_error = posix_spawnp(&pid, "md5sum", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (spawn_error != 0) {
        std::fprintf(stderr, "cannot run md5sum: %s\n", std::strerror(spawn_error));
        std::exit(2);
    }
    std::string output;
    char chunk[256];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) > 0) {
        output.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.size() < 32) {
        std::fprintf(stderr, "md5sum failed: %s\n", output.c_str());
        std::exit(2);
    }
    return upper(output.substr(0, 32));
}

struct Comparison {
    std::vector<double> ours;
    std::vector<double> reference;
    bool agree = true;
};

template <typename Ours, typename Reference>
Comparison compare(int runs, std::size_t bytes, Ours run_ours, Reference run_reference) {
    Comparison result;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        const std::string a = run_ours();
        result.ours.push_back(mb_per_s(bytes, seconds_since(start)));
        start = Clock::now();
        const std::string b = run_reference();
        result.reference.push_back(mb_per_s(bytes, seconds_since(start)));
        if (a != b) {
            std::fprintf(stderr, "digests differ: ours %s, reference %s\n", a.c_str(), b.c_str());
            result.agree = false;
        }
    }
    return result;
}

void report(const char *title, const char *reference_name, const Comparison &c) {
    const double ours = median(c.ours);
    const double reference = median(c.reference);
    std::printf("%s\n", title);
    std::printf("  ours        median %8.1f MB/s  (min %.1f, max %.1f)\n", ours,
                *std::min_element(c.ours.begin(), c.ours.end()),
                *std::max_element(c.ours.begin(), c.ours.end()));
    std::printf("  %-11s median %8.1f MB/s  (min %.1f, max %.1f)\n", reference_name, reference,
                *std::min_element(c.reference.begin(), c.reference.end()),
                *std::max_element(c.reference.begin(), c.reference.end()));
    std::printf("  ratio ours/%s: %.3f   digests %s\n", reference_name, ours / reference,
                c.agree ? "agree" : "DIFFER");
}

std::string make_temp_dir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/md5_bench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    return pattern;
}

} // namespace

int main(int argc, char **argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 256;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    // md5_update takes a 32-bit length.
    if (mib < 1 || mib > 4095 || runs < 1) {
        std::fprintf(stderr, "usage: %s [MiB 1..4095] [runs]\n", argv[0]);
        return 2;
    }
    const std::size_t bytes = static_cast<std::size_t>(mib) << 20;
    std::vector<uint8_t> buffer(bytes);
    fill_pseudo_random(buffer);
    std::printf("compiler %s, %s\n", __VERSION__, OPENSSL_VERSION_TEXT);
    std::printf("%ld MiB, %d runs each, alternating; 1 MB = 10^6 bytes\n\n", mib, runs);

    // Untimed first pass of each so that page faults and lazy loading stay
    // out of the measurements.
    ours_buffer(buffer);
    openssl_buffer(buffer);
    const Comparison memory = compare(
        runs, bytes, [&] { return ours_buffer(buffer); }, [&] { return openssl_buffer(buffer); });
    report("buffer: md5_update vs OpenSSL EVP_Digest(EVP_md5())", "openssl", memory);
    const double memory_ratio = median(memory.ours) / median(memory.reference);
    std::printf("  target ours/openssl >= 0.95: %s\n", memory_ratio >= 0.95 ? "met" : "NOT MET");

    const std::string dir = make_temp_dir();
    const std::string path = dir + "/data.bin";
    bool written = false;
    if (FILE *out = std::fopen(path.c_str(), "wb")) {
        written = std::fwrite(buffer.data(), 1, bytes, out) == bytes;
        written = std::fclose(out) == 0 && written;
    }
    Comparison file;
    if (written) {
        // Read once so both contenders find the file in the page cache.
        if (FILE *in = std::fopen(path.c_str(), "rb")) {
            while (std::fread(buffer.data(), 1, 1 << 20, in) == 1u << 20) {
            }
            std::fclose(in);
        }
        const long size = static_cast<long>(bytes);
        file = compare(
            runs, bytes, [&] { return ours_file(path, size); }, [&] { return md5sum_file(path); });
    }
    std::remove(path.c_str());
    rmdir(dir.c_str());
    if (!written) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 2;
    }
    std::printf("\n");
    report("file in page cache: md5_file_hex vs md5sum (spawned)", "md5sum", file);

    return memory.agree && file.agree ? 0 : 1;
}

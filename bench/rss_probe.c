/* Runs a program and prints its peak resident memory in KiB on standard
 * error. The benchmarks start measured programs through this small probe:
 * a child's peak memory counts the pages it shared with its parent before
 * exec, and the probe's are few, unlike those of the benchmark harness.
 *
 * Usage: rss_probe PROGRAM [ARG...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    pid_t child = fork();
    if (child == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
    fprintf(stderr, "%ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

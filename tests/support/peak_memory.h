// Measures the most memory a program has held at a given point of its run:
// its peak resident set (VmHWM), read while it waits for more input.
#pragma once

#include <string>
#include <vector>

struct PeakMemoryRun {
    long peak_kib = -1; // VmHWM once `lines` lines were out; -1 when not reached in time
    int status = -1;    // exit status, or -1 when it did not exit normally
    std::string out;    // its standard output
};

// Runs `program` with `argv` (argv[0] as given) in `working_directory`,
// feeds it `input` on standard input and keeps that open until its standard
// output holds `lines` lines (or `timeout_ms` has passed); then reads its
// peak resident set, ends its input and waits for it, killing it after five
// more seconds. Standard error is discarded.
PeakMemoryRun run_measuring_memory(const std::string &program, const std::vector<std::string> &argv,
                                   const std::string &working_directory, const std::string &input,
                                   size_t lines, int timeout_ms = 20000);

// Runs a program as a child process with a time bound and captures its
// standard output, standard error and exit status.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when the process did not exit normally
    int signal = 0;  // the signal that ended it, if any
    bool timed_out = false;
};

struct ProcessOptions {
    std::string working_directory; // empty: the test's own
    std::string input;             // bytes fed to standard input
    int timeout_ms = 10000;
};

// argv[0] is passed as given; the program is `program`.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &argv,
                          const ProcessOptions &options = {});

// Runs a program as a child process with a time bound and captures its
// standard output, standard error and exit status.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
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

// The arguments as execv takes them: pointers into `argv`, null-terminated;
// valid while `argv` lives.
std::vector<char *> exec_arguments(const std::vector<std::string> &argv);

// argv[0] is passed as given; the program is `program`.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &argv,
                          const ProcessOptions &options = {});

// A program left running while a test talks to it, its standard output and
// error going to `output_path` (its standard error to `error_path` instead,
// when given); `passed_fd`, when not -1, becomes its descriptor 3. Killed if
// the test leaves it running.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::string &program, const std::vector<std::string> &argv,
                      const std::string &output_path, const std::string &error_path = "",
                      int passed_fd = -1);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends the signal (0: none, only the wait) and waits up to `timeout_ms`
    // for the end: the exit status, or -1 when it did not exit normally in
    // time.
    int stop(int signal = SIGTERM, int timeout_ms = 5000);

  private:
    pid_t pid_ = -1;
};

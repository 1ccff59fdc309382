// What the front end does about the signals that end a process: the files it
// creates (the standard-input dump, a partial copy of a file being moved)
// are removed when SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGPIPE ends the run,
// which still ends by that signal; the critical steps of a move hold these
// signals back; and SIGXFSZ never ends the run, so that a write beyond the
// file-size limit is a failed write like any other.
#pragma once

#include <csignal>

// Ignores SIGXFSZ and installs the handler of the termination signals, each
// unless the process was started with it ignored (nohup, a background job).
void install_termination_handling();

// The files removed when a termination signal ends the run. Under a
// TerminationHold a name is recorded together with the file's creation and
// forgotten together with its removal (or, for a copy, once it is complete),
// so that a signal never leaves a file behind nor removes one that is not
// ours; the handler touches nothing else.
// `path` must be shorter than kCleanupPathSize.
constexpr size_t kCleanupPathSize = 512;
void remember_dump_file(const char *path);
void forget_dump_file();
// A file being written inside the folder `dir_fd` under `name`.
void remember_partial_copy(int dir_fd, const char *name);
void forget_partial_copy();

// Holds the termination signals back while it lives; one that arrives
// meanwhile takes effect (and cleans up) once the hold ends.
class TerminationHold {
  public:
    TerminationHold();
    ~TerminationHold();
    TerminationHold(const TerminationHold &) = delete;
    TerminationHold &operator=(const TerminationHold &) = delete;

  private:
    sigset_t previous_;
};

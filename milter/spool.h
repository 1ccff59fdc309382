// The spool file of one message: created in a private folder under a random
// name, never through a link, readable by its owner and one group only, and
// removed on every path. Every spool file that exists is also known to the
// process, so that a stop removes the ones that sessions still hold.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

class SpoolFile {
  public:
    SpoolFile() = default;
    ~SpoolFile() { remove(); }
    SpoolFile(const SpoolFile &) = delete;
    SpoolFile &operator=(const SpoolFile &) = delete;

    // Creates a new file "orvamilter-<random>" in `folder` (an absolute path)
    // with O_CREAT|O_EXCL|O_NOFOLLOW, gives it to `group` unless that is
    // (gid_t)-1, and sets its mode to 0640 whatever the umask. Returns 0, or
    // the errno of the failing step (ESHUTDOWN once spool_stop has run);
    // nothing is left behind on failure.
    int create(const std::string &folder, gid_t group);

    // Appends all the bytes; 0 or an errno.
    int write(const char *bytes, size_t count);

    // Closes the file, keeping it for the scan; 0 or an errno.
    int finish();

    // Closes and removes the file, if there is one.
    void remove();

    bool exists() const { return !path_.empty(); }
    const std::string &path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// Refuses every later create and removes every spool file that exists.
void spool_stop();

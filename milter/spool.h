// The spool file of one message: created in a private folder under a random
// name, never through a link, readable by its owner and one group only, and
// emptied or removed on every path. An emptied file is kept for a later
// message (creating and removing a file per message is the costliest step of
// the file system); every spool file that exists, in use or kept, is known to
// the process, so that a stop removes them all.
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

    // Takes an empty file kept from an earlier message of the same folder
    // and group, or creates a new file "orvamilter-<random>" in `folder` (an
    // absolute path) with O_CREAT|O_EXCL|O_NOFOLLOW, gives it to `group`
    // unless that is (gid_t)-1, and sets its mode to 0640 whatever the umask.
    // Returns 0, or the errno of the failing step (ESHUTDOWN once spool_stop
    // has run); nothing is left behind on failure.
    int create(const std::string &folder, gid_t group);

    // Appends all the bytes; 0 or an errno.
    int write(const char *bytes, size_t count);

    // Ends the writing, keeping the file for the scan; 0 or an errno.
    int finish();

    // Empties the file, its bytes overwritten with zeros (or, for a large
    // one, cut off), and keeps it for a later message: up to a few such
    // files; beyond them, or when it cannot be emptied, it is removed.
    void recycle();

    // Closes and removes the file, if there is one.
    void remove();

    bool exists() const { return !path_.empty(); }
    const std::string &path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
    std::string folder_;
    gid_t group_ = static_cast<gid_t>(-1);
    off_t size_ = 0;  // bytes of this message written
    off_t stale_ = 0; // zeros of an earlier message still in the file
};

// Refuses every later create and removes every spool file that exists, kept
// ones included.
void spool_stop();

// The files of a scan run, in the order they are reported: each operand as
// given, a folder's tree under -r (entries in strcmp order, depth first), and
// standard input for "-", captured only when its turn comes.
#pragma once

#include <cstdint>

// Why a job is not scanned, and so which line reports it.
enum class JobFailure : uint8_t {
    None,       // to be scanned
    Unresolved, // "<name> ERROR": no absolute path (no current directory, too long)
    Stdin,      // "STDIN ERROR": standard input could not be captured
    System,     // "<shown> ERROR <system's text for `error`>"
    NotRegular, // "<shown> ERROR not a regular file"
    PassedOver, // no line at all: a link or special file inside a tree
};

// One file to scan, or what is to be reported instead of its scan.
struct ScanJob {
    char *name = nullptr;    // the name its result lines show, as found (malloc)
    char *path = nullptr;    // absolute path (malloc); null for Unresolved, Stdin
    bool in_tree = false;    // found inside a tree: the name is printed escaped
    bool from_stdin = false; // "-" whose standard input is not captured yet
    JobFailure failure = JobFailure::None;
    // The error line names `path` (an operand's absolute path, the dump's)
    // rather than `name` (the name a tree's result line would show).
    bool failure_shows_path = false;
    int error = 0;       // the error number of a System failure
    uint64_t device = 0; // identity of the file as examined
    uint64_t inode = 0;
};

enum class NextJob { Ready, End, NoMemory };

struct FileSource;

// A source over `operands` (kept, not copied); with `recursive` a folder
// operand gives the files of its tree. Null when memory runs out.
FileSource *file_source_create(char **operands, int count, bool recursive);
void file_source_free(FileSource *source);

// Fills `job` with the next job in order, examined as of now: stat and read
// access (links followed) for an operand; for a file inside a tree, the same
// without following a link. Symbolic links and special files inside a tree
// are passed over without a word (PassedOver), so a tree never leads outside
// itself, never loops and never blocks.
NextJob file_source_next(FileSource *source, ScanJob *job);

// Examines a job's file again, for a job whose scan starts later than it was
// read: the job then reports what it would have reported had it been read
// now. A job of standard input is examined by its dump's path once captured.
void reexamine_job(ScanJob *job);

// Captures standard input for a "-" job and examines the dump: the job then
// has a path to scan or a failure ("STDIN ERROR" and the others of an
// operand). False when memory runs out.
bool prepare_stdin_job(ScanJob *job);

// Releases what the job holds and empties it.
void release_job(ScanJob *job);

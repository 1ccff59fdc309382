// The files of a scan run, in the order they are reported: each operand as
// given, then each name of a list of names, a folder's tree under -r
// (entries in strcmp order, depth first), and standard input for "-",
// captured only when its turn comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
    // What a move or copy into the quarantine folder did, once scanned.
    char *destination = nullptr; // the name it has there, as printed (malloc)
    int quarantine_error = 0;    // why it was not moved: an error number, or a QuarantineFailure
};

// Where a run's files come from, and what its trees leave out.
struct SourceSettings {
    char **operands = nullptr; // kept, not copied
    int count = 0;
    bool recursive = false; // a folder operand gives the files of its tree
    // Shell patterns (fnmatch) of files and folders that a tree passes over
    // without a word: one without a slash matches an entry's own name, one
    // with a slash the joined name (FNM_PATHNAME).
    const char *const *excludes = nullptr;
    size_t exclude_count = 0;
    // A list of further names, read as it is scanned, after the operands;
    // `list_name` is how the user named it ("-" for standard input).
    FILE *list = nullptr;
    const char *list_name = nullptr;
    char list_delimiter = '\n';
    // A folder that trees never enter (the quarantine folder), by identity.
    bool skip_folder = false;
    uint64_t skip_device = 0;
    uint64_t skip_inode = 0;
};

enum class NextJob { Ready, End, NoMemory };

struct FileSource;

// A source with the given settings. Null when memory runs out.
FileSource *file_source_create(const SourceSettings &settings);
// Releases the source; the list stays open (it is the caller's).
void file_source_free(FileSource *source);

// Fills `job` with the next job in order, examined as of now: stat and read
// access (links followed) for an operand or a listed name; for a file inside
// a tree, the same without following a link. Symbolic links and special files
// inside a tree are passed over without a word (PassedOver), so a tree never
// leads outside itself, never loops and never blocks. Empty listed names are
// left out; a "-" in a list read from standard input gets "STDIN ERROR"; a
// list that cannot be read further gets a System failure named after it.
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

// The files of a scan run, in the order they are reported: each operand as
// given, a folder's tree under -r (entries in strcmp order, depth first), and
// standard input for "-", captured only when its turn comes.
#pragma once

#include <cstdint>

// One file to scan, or one line that reports what could not be scanned.
struct ScanJob {
    char *name = nullptr;    // the name its result line shows (malloc)
    char *path = nullptr;    // absolute path to scan (malloc); null while `line` is set
    char *line = nullptr;    // the line that reports it instead of a scan (malloc)
    bool from_stdin = false; // "-" whose standard input is not captured yet
    uint64_t device = 0;     // identity of the file as examined
    uint64_t inode = 0;
};

enum class NextJob { Ready, End, NoMemory };

struct FileSource;

// A source over `operands` (kept, not copied); with `recursive` a folder
// operand gives the files of its tree. Null when memory runs out.
FileSource *file_source_create(char **operands, int count, bool recursive);
void file_source_free(FileSource *source);

// Fills `job` with the next job in order. Symbolic links and special files
// inside a tree are passed over without a word, so a tree never leads
// outside itself, never loops and never blocks.
NextJob file_source_next(FileSource *source, ScanJob *job);

// Captures standard input for a "-" job and examines the dump: the job then
// has a path to scan or a line ("STDIN ERROR" and the others of an operand).
// False when memory runs out.
bool prepare_stdin_job(ScanJob *job);

// Releases what the job holds and empties it.
void release_job(ScanJob *job);

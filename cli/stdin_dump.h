// The copy of standard input that a "-" operand scans: the dump file
// "/tmp/orvaclient-stdin-dump-<pid>", made anew for each "-" and removed at
// the end of the run.
#pragma once

// Copies standard input into the dump file; false (after a message on
// standard error) when it could not be written.
bool capture_stdin();

// The dump file's path; empty until standard input has been captured once.
const char *stdin_dump_path();

// Removes the dump file at the end of a run, if one was made and is still
// there.
void remove_stdin_dump();

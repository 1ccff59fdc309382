// Small wrappers of system calls that several parts of the front end use.
#pragma once

#include <cstddef>
#include <cstdint>

// Milliseconds of a monotonic clock.
int64_t monotonic_ms();

// Writes all `length` bytes to `fd`, continuing a short write and retrying
// one that a signal interrupted. Returns 0, or the error of the write that
// failed (ENOSPC for a write that wrote nothing).
int write_whole(int fd, const char *bytes, size_t length);

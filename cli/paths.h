// Absolute paths for the front end: a name as the user typed it, made
// absolute against the current directory in a working buffer of fixed size,
// for the socket path and for every file operand alike.
#pragma once

#include <cstddef>

// Size of the working path buffer, NUL included; getcwd is given the same.
constexpr size_t kPathBufferSize = 8192;

enum class PathFailure { None, NoDirectory, TooLong };

// Writes `name` made absolute into `buffer` (kPathBufferSize bytes): a name
// beginning with "/" as it is, any other after the current directory and a
// "/". The result is not normalised. On failure the buffer holds nothing of
// use and the result says why: the current directory could not be fetched,
// or the path and its NUL do not fit.
PathFailure absolute_path(const char *name, char *buffer);

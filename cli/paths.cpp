// Making a name absolute against the current directory.
#include "cli/paths.h"

#include <cstring>
#include <unistd.h>

PathFailure absolute_path(const char *name, char *buffer) {
    size_t name_length = std::strlen(name);
    size_t used = 0;
    if (name[0] != '/') {
        if (getcwd(buffer, kPathBufferSize) == nullptr) return PathFailure::NoDirectory;
        used = std::strlen(buffer);
        // The directory, "/", the name and the NUL must all fit.
        if (used + 1 + name_length >= kPathBufferSize) return PathFailure::TooLong;
        buffer[used++] = '/';
    } else if (name_length >= kPathBufferSize) {
        return PathFailure::TooLong;
    }
    std::memcpy(buffer + used, name, name_length + 1);
    return PathFailure::None;
}

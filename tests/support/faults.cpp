#include "faults.h"

#include <cstdlib>
#include <sys/socket.h>
#include <sys/types.h>
#include <unordered_set>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *pointer, size_t size);
void __real_free(void *pointer);
ssize_t __real_send(int fd, const void *bytes, size_t length, int flags);
}

namespace {

thread_local int malloc_successes_left = -1;
thread_local bool tracking = false;
thread_local std::unordered_set<void *> *live = nullptr;
thread_local size_t send_cap = 0;
thread_local bool recording_sends = false;
thread_local std::vector<size_t> *sends = nullptr;

} // namespace

namespace faults {

void fail_malloc_after(int successes) {
    malloc_successes_left = successes;
}

void track_allocations() {
    if (live == nullptr) live = new std::unordered_set<void *>;
    live->clear();
    tracking = true;
}

long live_allocations() {
    return live == nullptr ? 0 : static_cast<long>(live->size());
}

void cap_send(size_t bytes) {
    send_cap = bytes;
}

void record_sends() {
    if (sends == nullptr) sends = new std::vector<size_t>;
    sends->clear();
    recording_sends = true;
}

const std::vector<size_t> &send_sizes() {
    if (sends == nullptr) sends = new std::vector<size_t>;
    return *sends;
}

void reset() {
    recording_sends = false;
    if (sends != nullptr) sends->clear();
    malloc_successes_left = -1;
    tracking = false;
    if (live != nullptr) live->clear();
    send_cap = 0;
}

} // namespace faults

extern "C" {

// The compiler may turn malloc followed by memset into calloc, so every
// allocation function is wrapped alike.
namespace {
bool allocation_allowed() {
    if (malloc_successes_left == 0) return false;
    if (malloc_successes_left > 0) --malloc_successes_left;
    return true;
}
void *tracked(void *pointer) {
    if (tracking && pointer != nullptr) live->insert(pointer);
    return pointer;
}
} // namespace

void *__wrap_malloc(size_t size) {
    return allocation_allowed() ? tracked(__real_malloc(size)) : nullptr;
}

void *__wrap_calloc(size_t count, size_t size) {
    return allocation_allowed() ? tracked(__real_calloc(count, size)) : nullptr;
}

void *__wrap_realloc(void *pointer, size_t size) {
    if (!allocation_allowed()) return nullptr;
    void *moved = __real_realloc(pointer, size);
    if (tracking && moved != nullptr) {
        live->erase(pointer);
        live->insert(moved);
    }
    return moved;
}

void __wrap_free(void *pointer) {
    if (tracking && pointer != nullptr) live->erase(pointer);
    __real_free(pointer);
}

ssize_t __wrap_send(int fd, const void *bytes, size_t length, int flags) {
    if (recording_sends) sends->push_back(length);
    if (send_cap != 0 && length > send_cap) length = send_cap;
    return __real_send(fd, bytes, length, flags);
}

} // extern "C"

// Fault injection for the library tests. The test binary is linked with
// --wrap for malloc, calloc, realloc, free, send, sendfile, read, poll and
// getaddrinfo (and pwrite, copy_file_range and getrandom), so the library's
// calls pass through here; each setting applies to the calling thread only.
// A sendfile to the socket counts as a send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace faults {

// Lets `successes` more allocations succeed, then fails every later one
// until reset(). A negative value never fails.
void fail_malloc_after(int successes);

// The calls that can be made to fail one by one.
enum class Call {
    Allocation, // malloc, calloc and realloc
    Send,       // send and sendfile
    Read,
    Poll,
};

// Makes the nth call of the kind from now on fail (1: the next one; 0: none);
// with `and_later` every call after it fails the same way too, until reset().
// A failing call returns -1 with errno set to `error` (an allocation returns
// null). Error 0 makes send and read return 0 instead.
void fail_call(Call call, long nth, int error, bool and_later = false);
// Calls of the kind made since the last reset(), failed ones included.
long calls(Call call);
// Whether a call of the kind was made to fail since the last reset().
bool fired(Call call);

inline void fail_allocation(long nth, bool and_later = false) {
    fail_call(Call::Allocation, nth, 0, and_later);
}

// Counts the allocations made through malloc and not yet freed, from now on.
void track_allocations();
long live_allocations();

// Caps every send to at most `bytes` bytes (0: no cap).
void cap_send(size_t bytes);

// Cuts the reads from now on into pieces of exactly the given sizes, in
// order: the nth read returns sizes[n] bytes (fewer only when asked for
// fewer, or at the end of the input), waiting for them if they have not all
// arrived. Reads beyond the list are not cut. The test, not the timing of
// the peer, decides every boundary.
void split_reads(std::vector<size_t> sizes);
// Every read from now on returns a single byte.
void read_bytewise();

// Makes every sendfile fail at once with `error` (0: no longer), as where the
// kernel cannot send the file; such a failure is not counted as a send.
void refuse_sendfile(int error);

// Makes getaddrinfo answer `name` with the given numeric IPv4 or IPv6
// addresses, in this order, as a resolver would; other names are looked up
// as usual. (getaddrinfo and freeaddrinfo are wrapped as well.)
void resolve_name(const std::string &name, std::vector<std::string> addresses);

// Records the length of every send made from now on, as asked for.
void record_sends();
const std::vector<size_t> &send_sizes();

// Caps every pwrite and copy_file_range to at most `bytes` bytes (0: no
// cap), so that a file is written in pieces of that size.
void cap_file_write(size_t bytes);
// Calls `hook` with the descriptor after every pwrite or copy_file_range
// that wrote bytes, from now on (an empty function: no longer). The hook
// may raise a signal, so that it comes at an exact point of a write-back.
void after_file_write(std::function<void(int fd)> hook);

// The next getrandom calls return these numbers, one per call, in order
// (as many of its bytes as asked for); later calls get the kernel's.
void script_random(std::vector<uint32_t> numbers);

void reset();

} // namespace faults

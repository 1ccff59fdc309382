// Fault injection for the library tests. The test binary is linked with
// --wrap for malloc, calloc, realloc, free and send, so the library's calls pass through here;
// each setting applies to the calling thread only.
#pragma once

#include <cstddef>
#include <vector>

namespace faults {

// Lets `successes` more allocations succeed, then fails every later one
// until reset(). A negative value never fails.
void fail_malloc_after(int successes);

// Counts the allocations made through malloc and not yet freed, from now on.
void track_allocations();
long live_allocations();

// Caps every send to at most `bytes` bytes (0: no cap).
void cap_send(size_t bytes);

// Records the length of every send made from now on, as asked for.
void record_sends();
const std::vector<size_t> &send_sizes();

void reset();

} // namespace faults

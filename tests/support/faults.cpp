#include "faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *pointer, size_t size);
void __real_free(void *pointer);
ssize_t __real_send(int fd, const void *bytes, size_t length, int flags);
ssize_t __real_read(int fd, void *buffer, size_t count);
int __real_poll(struct pollfd *fds, nfds_t count, int timeout);
ssize_t __real_sendfile(int out_fd, int in_fd, off_t *offset, size_t count);
ssize_t __real_sendfile64(int out_fd, int in_fd, off_t *offset, size_t count);
ssize_t __real_pwrite(int fd, const void *bytes, size_t count, off_t offset);
ssize_t __real_pwrite64(int fd, const void *bytes, size_t count, off_t offset);
ssize_t __real_copy_file_range(int in_fd, off_t *in_offset, int out_fd, off_t *out_offset,
                               size_t count, unsigned flags);
ssize_t __real_getrandom(void *buffer, size_t count, unsigned flags);
int __real_getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                       struct addrinfo **found);
void __real_freeaddrinfo(struct addrinfo *list);
}

namespace {

// One kind of call that can be made to fail: counts its calls and says
// whether the current one is to fail.
struct Injector {
    long calls = 0;
    long fail_at = 0; // 0: never
    bool and_later = false;
    int error = 0;
    bool fired = false;

    bool next_fails() {
        ++calls;
        bool fails = fail_at != 0 && (calls == fail_at || (and_later && calls > fail_at));
        if (fails) fired = true;
        return fails;
    }
};

constexpr int kCallKinds = 4;

thread_local int malloc_successes_left = -1;
thread_local Injector injectors[kCallKinds];
thread_local bool tracking = false;
thread_local std::unordered_set<void *> *live = nullptr;
thread_local size_t send_cap = 0;
thread_local bool recording_sends = false;
thread_local std::vector<size_t> *sends = nullptr;
thread_local int sendfile_refusal = 0;
thread_local std::vector<size_t> *read_sizes = nullptr; // pieces still to come, last first
thread_local bool bytewise = false;
thread_local size_t file_write_cap = 0;
thread_local std::function<void(int)> *file_write_hook = nullptr;
thread_local std::vector<uint32_t> *random_numbers = nullptr; // still to come, last first
thread_local std::string *resolved_name = nullptr;
thread_local std::vector<std::string> *resolved_addresses = nullptr;
// Heads of the lists that the getaddrinfo wrapper put together.
thread_local std::unordered_set<struct addrinfo *> *made_lists = nullptr;

Injector &injector(faults::Call call) {
    return injectors[static_cast<int>(call)];
}

} // namespace

namespace faults {

void fail_malloc_after(int successes) {
    malloc_successes_left = successes;
}

void fail_call(Call call, long nth, int error, bool and_later) {
    Injector &one = injector(call);
    one.fail_at = nth > 0 ? one.calls + nth : 0;
    one.error = error;
    one.and_later = and_later;
}

long calls(Call call) {
    return injector(call).calls;
}

bool fired(Call call) {
    return injector(call).fired;
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

void split_reads(std::vector<size_t> sizes) {
    if (read_sizes == nullptr) read_sizes = new std::vector<size_t>;
    read_sizes->assign(sizes.rbegin(), sizes.rend());
}

void read_bytewise() {
    bytewise = true;
}

void resolve_name(const std::string &name, std::vector<std::string> addresses) {
    if (resolved_name == nullptr) resolved_name = new std::string;
    if (resolved_addresses == nullptr) resolved_addresses = new std::vector<std::string>;
    *resolved_name = name;
    *resolved_addresses = std::move(addresses);
}

void refuse_sendfile(int error) {
    sendfile_refusal = error;
}

void cap_file_write(size_t bytes) {
    file_write_cap = bytes;
}

void after_file_write(std::function<void(int fd)> hook) {
    delete file_write_hook;
    file_write_hook = hook ? new std::function<void(int)>(std::move(hook)) : nullptr;
}

void script_random(std::vector<uint32_t> numbers) {
    if (random_numbers == nullptr) random_numbers = new std::vector<uint32_t>;
    random_numbers->assign(numbers.rbegin(), numbers.rend());
}

void reset() {
    file_write_cap = 0;
    after_file_write({});
    if (random_numbers != nullptr) random_numbers->clear();
    if (read_sizes != nullptr) read_sizes->clear();
    bytewise = false;
    if (resolved_name != nullptr) resolved_name->clear();
    sendfile_refusal = 0;
    recording_sends = false;
    if (sends != nullptr) sends->clear();
    malloc_successes_left = -1;
    for (Injector &one : injectors)
        one = Injector{};
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
    if (injector(faults::Call::Allocation).next_fails()) return false;
    if (malloc_successes_left == 0) return false;
    if (malloc_successes_left > 0) --malloc_successes_left;
    return true;
}
void *tracked(void *pointer) {
    if (tracking && pointer != nullptr) live->insert(pointer);
    return pointer;
}
// A failing send or read: -1 with errno, or 0 when no error is given.
ssize_t failed_transfer(const Injector &one) {
    if (one.error == 0) return 0;
    errno = one.error;
    return -1;
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
    Injector &one = injector(faults::Call::Send);
    if (one.next_fails()) return failed_transfer(one);
    if (send_cap != 0 && length > send_cap) length = send_cap;
    return __real_send(fd, bytes, length, flags);
}

ssize_t __wrap_read(int fd, void *buffer, size_t count) {
    Injector &one = injector(faults::Call::Read);
    if (one.next_fails()) return failed_transfer(one);
    if (bytewise && count > 1) count = 1;
    if (read_sizes == nullptr || read_sizes->empty() || count == 0)
        return __real_read(fd, buffer, count);
    // A scripted piece: exactly its size, however the bytes arrive. A read
    // that fails before any byte (a signal, say) is the caller's to see, and
    // the piece stays for the next one.
    size_t want = std::min(count, read_sizes->back());
    ssize_t n = __real_read(fd, buffer, want);
    if (n <= 0) return n;
    read_sizes->pop_back();
    auto got = static_cast<size_t>(n);
    while (got < want) {
        n = __real_read(fd, static_cast<char *>(buffer) + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int __wrap_poll(struct pollfd *fds, nfds_t count, int timeout) {
    Injector &one = injector(faults::Call::Poll);
    if (one.next_fails()) {
        errno = one.error;
        return -1;
    }
    return __real_poll(fds, count, timeout);
}

// sendfile writes to the socket like send: it counts as a send, is capped
// and recorded the same way. With sendfile refused, it fails with that error
// before anything else, as where the kernel cannot send the file. (File
// offsets are 64-bit throughout, so both entry points take the same type.)
namespace {
using Sendfile = ssize_t (*)(int, int, off_t *, size_t);
ssize_t wrapped_sendfile(int out_fd, int in_fd, off_t *offset, size_t count, Sendfile real) {
    if (sendfile_refusal != 0) {
        errno = sendfile_refusal;
        return -1;
    }
    if (recording_sends) sends->push_back(count);
    Injector &one = injector(faults::Call::Send);
    if (one.next_fails()) return failed_transfer(one);
    if (send_cap != 0 && count > send_cap) count = send_cap;
    return real(out_fd, in_fd, offset, count);
}
} // namespace

ssize_t __wrap_sendfile(int out_fd, int in_fd, off_t *offset, size_t count) {
    return wrapped_sendfile(out_fd, in_fd, offset, count, __real_sendfile);
}

ssize_t __wrap_sendfile64(int out_fd, int in_fd, off_t *offset, size_t count) {
    return wrapped_sendfile(out_fd, in_fd, offset, count, __real_sendfile64);
}

// Writes to files: capped, and followed by the hook. (File offsets are 64-bit
// throughout, so both pwrite entry points take the same type.)
namespace {
using Pwrite = ssize_t (*)(int, const void *, size_t, off_t);
ssize_t after_write(int fd, ssize_t written) {
    if (written > 0 && file_write_hook != nullptr) (*file_write_hook)(fd);
    return written;
}
ssize_t wrapped_pwrite(int fd, const void *bytes, size_t count, off_t offset, Pwrite real) {
    if (file_write_cap != 0 && count > file_write_cap) count = file_write_cap;
    return after_write(fd, real(fd, bytes, count, offset));
}
} // namespace

ssize_t __wrap_pwrite(int fd, const void *bytes, size_t count, off_t offset) {
    return wrapped_pwrite(fd, bytes, count, offset, __real_pwrite);
}

ssize_t __wrap_pwrite64(int fd, const void *bytes, size_t count, off_t offset) {
    return wrapped_pwrite(fd, bytes, count, offset, __real_pwrite64);
}

ssize_t __wrap_copy_file_range(int in_fd, off_t *in_offset, int out_fd, off_t *out_offset,
                               size_t count, unsigned flags) {
    if (file_write_cap != 0 && count > file_write_cap) count = file_write_cap;
    return after_write(out_fd,
                       __real_copy_file_range(in_fd, in_offset, out_fd, out_offset, count, flags));
}

ssize_t __wrap_getrandom(void *buffer, size_t count, unsigned flags) {
    if (random_numbers == nullptr || random_numbers->empty())
        return __real_getrandom(buffer, count, flags);
    uint32_t number = random_numbers->back();
    random_numbers->pop_back();
    size_t given = std::min(count, sizeof number);
    std::memcpy(buffer, &number, given);
    return static_cast<ssize_t>(given);
}

// A name given to resolve_name: one numeric look-up per address, chained in
// the order given. Each piece is released on its own.
int __wrap_getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                       struct addrinfo **found) {
    if (node == nullptr || resolved_name == nullptr || resolved_name->empty() ||
        *resolved_name != node)
        return __real_getaddrinfo(node, service, hints, found);
    struct addrinfo numeric {};
    numeric.ai_socktype = SOCK_STREAM;
    numeric.ai_flags = AI_NUMERICHOST;
    struct addrinfo *head = nullptr;
    struct addrinfo **tail = &head;
    for (const std::string &address : *resolved_addresses) {
        struct addrinfo *one = nullptr;
        if (__real_getaddrinfo(address.c_str(), service, &numeric, &one) != 0) continue;
        *tail = one;
        while (*tail != nullptr)
            tail = &(*tail)->ai_next;
    }
    if (head == nullptr) return EAI_NONAME;
    if (made_lists == nullptr) made_lists = new std::unordered_set<struct addrinfo *>;
    made_lists->insert(head);
    *found = head;
    return 0;
}

void __wrap_freeaddrinfo(struct addrinfo *list) {
    if (made_lists == nullptr || made_lists->erase(list) == 0) return __real_freeaddrinfo(list);
    while (list != nullptr) {
        struct addrinfo *next = list->ai_next;
        list->ai_next = nullptr;
        __real_freeaddrinfo(list);
        list = next;
    }
}

} // extern "C"

// A list of servers with their down marks, shared between threads, and the
// open that walks it.
#include "client/server_list.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "client/connect.h"
#include "client/internal.h"

namespace {

struct Server {
    const char *address;   // inside the list's copy of the text
    int64_t down_until_ns; // 0: live; else skipped until this moment
};

bool live(const Server &server, int64_t now) {
    return server.down_until_ns == 0 || now >= server.down_until_ns;
}

} // namespace

// One allocation: the record, the servers, and the text with its commas
// turned into NULs.
struct ServerList {
    pthread_mutex_t lock;
    uint32_t count;
    uint32_t turn; // where server_list_next looks first
    uint32_t revive_sec;
    Server *servers;
};

namespace {

// Holds the list's lock for the length of a scope.
class Locked {
  public:
    explicit Locked(const ServerList *list) : list_(const_cast<ServerList *>(list)) {
        pthread_mutex_lock(&list_->lock);
    }
    ~Locked() { pthread_mutex_unlock(&list_->lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

  private:
    ServerList *list_;
};

// The first live server from `from` on, wrapping around; -1 when none.
int32_t first_live_locked(const ServerList *list, uint32_t from, int64_t now) {
    for (uint32_t k = 0; k < list->count; ++k) {
        uint32_t index = (from + k) % list->count;
        if (live(list->servers[index], now)) return static_cast<int32_t>(index);
    }
    return -1;
}

void set_error(ServerListError *error, uint32_t item, size_t offset, size_t length) {
    if (error == nullptr) return;
    error->item = item;
    error->offset = static_cast<uint32_t>(offset);
    error->length = static_cast<uint32_t>(length);
}

} // namespace

extern "C" {

ResultCode server_list_parse(const char *text, ServerList **list, ServerListError *error) {
    if (list != nullptr) *list = nullptr;
    if (text == nullptr || list == nullptr) return RC_BAD_ARGUMENT;
    size_t length = std::strlen(text);
    if (length == 0) {
        set_error(error, 0, 0, 0);
        return RC_BAD_ARGUMENT;
    }
    uint32_t count = 1;
    for (const char *c = text; *c != '\0'; ++c)
        if (*c == ',') ++count;

    size_t servers_at =
        (sizeof(ServerList) + alignof(Server) - 1) / alignof(Server) * alignof(Server);
    size_t text_at = servers_at + count * sizeof(Server);
    auto *block = static_cast<char *>(std::malloc(text_at + length + 1));
    if (block == nullptr) return RC_NO_MEMORY;
    auto *made = reinterpret_cast<ServerList *>(block);
    std::memset(made, 0, sizeof *made);
    made->servers = reinterpret_cast<Server *>(block + servers_at);
    char *copy = block + text_at;
    std::memcpy(copy, text, length + 1);

    // Cut at every comma and check each item; the first bad one is reported.
    char *item = copy;
    for (uint32_t index = 0; index < count; ++index) {
        char *comma = std::strchr(item, ',');
        if (comma != nullptr) *comma = '\0';
        size_t item_length = std::strlen(item);
        if (item_length == 0 || conn_check_address(item) != RC_OK) {
            set_error(error, index, static_cast<size_t>(item - copy), item_length);
            std::free(block);
            return RC_BAD_ARGUMENT;
        }
        made->servers[index] = {item, 0};
        item = comma != nullptr ? comma + 1 : item + item_length;
    }
    if (pthread_mutex_init(&made->lock, nullptr) != 0) {
        std::free(block);
        return RC_NO_MEMORY;
    }
    made->count = count;
    made->revive_sec = SERVER_LIST_DEFAULT_REVIVE;
    *list = made;
    return RC_OK;
}

void server_list_free(ServerList *list) {
    if (list == nullptr) return;
    pthread_mutex_destroy(&list->lock);
    std::free(list);
}

uint32_t server_list_size(const ServerList *list) {
    return list != nullptr ? list->count : 0;
}

const char *server_list_address(const ServerList *list, uint32_t index) {
    if (list == nullptr || index >= list->count) return nullptr;
    return list->servers[index].address;
}

void server_list_set_revive(ServerList *list, uint32_t seconds) {
    if (list == nullptr) return;
    Locked hold(list);
    list->revive_sec = seconds;
}

int32_t server_list_next(ServerList *list) {
    if (list == nullptr) return -1;
    Locked hold(list);
    int32_t index = first_live_locked(list, list->turn, monotonic_ns());
    if (index >= 0) list->turn = (static_cast<uint32_t>(index) + 1) % list->count;
    return index;
}

int32_t server_list_first_live(ServerList *list, uint32_t from) {
    if (list == nullptr || from >= list->count) return -1;
    Locked hold(list);
    return first_live_locked(list, from, monotonic_ns());
}

void server_list_mark_down(ServerList *list, uint32_t index) {
    if (list == nullptr || index >= list->count) return;
    Locked hold(list);
    // Never 0, which means live, whatever the clock says.
    int64_t until = monotonic_ns() + static_cast<int64_t>(list->revive_sec) * NS_PER_SECOND;
    list->servers[index].down_until_ns = until != 0 ? until : 1;
}

void server_list_mark_up(ServerList *list, uint32_t index) {
    if (list == nullptr || index >= list->count) return;
    Locked hold(list);
    list->servers[index].down_until_ns = 0;
}

ResultCode conn_open_list(ServerConnection *conn, ServerList *list, uint32_t first,
                          int32_t timeout_sec, ServerFailureHandler on_failure, void *context,
                          uint32_t *opened) {
    if (conn == nullptr || list == nullptr || list->count == 0) return RC_BAD_ARGUMENT;
    first %= list->count;

    // The servers to try, in order, chosen under the lock: the live ones,
    // or, when none is, the one whose revive time comes first.
    uint32_t order_count = 0;
    uint32_t stack_order[16];
    uint32_t *order = list->count <= 16
                          ? stack_order
                          : static_cast<uint32_t *>(std::malloc(list->count * sizeof(uint32_t)));
    if (order == nullptr) return RC_NO_MEMORY;
    {
        Locked hold(list);
        int64_t now = monotonic_ns();
        uint32_t soonest = first;
        for (uint32_t k = 0; k < list->count; ++k) {
            uint32_t index = (first + k) % list->count;
            if (live(list->servers[index], now)) order[order_count++] = index;
            if (list->servers[index].down_until_ns < list->servers[soonest].down_until_ns)
                soonest = index;
        }
        if (order_count == 0) order[order_count++] = soonest;
    }

    ResultCode first_failure = RC_OK;
    for (uint32_t k = 0; k < order_count; ++k) {
        uint32_t index = order[k];
        const char *address = list->servers[index].address;
        ResultCode code = conn_open(address, timeout_sec, conn);
        if (code == RC_OK) {
            server_list_mark_up(list, index);
            if (opened != nullptr) *opened = index;
            first_failure = RC_OK;
            break;
        }
        server_list_mark_down(list, index);
        if (on_failure != nullptr) on_failure(context, index, address, code);
        if (first_failure == RC_OK) first_failure = code;
    }
    if (order != stack_order) std::free(order);
    return first_failure;
}

} // extern "C"

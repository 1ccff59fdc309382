// libFuzzer target: arbitrary server bytes, in arbitrary pieces, through
// read_lines and the reply handlers, with a small receive buffer so that the
// full-buffer paths are reached. Nothing may crash, leak or overrun.
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const ReplyHandler handlers[] = {on_greeting, on_keys_reply, on_simple_reply, on_env_reply};
    ReplyHandler handler = handlers[data[0] % 4];
    uint32_t buffer_size = 8 + data[1] % 120;
    data += 2;
    size -= 2;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    ServerConnection *conn = conn_create(buffer_size, 1, 1, 0);
    conn->sock = pair[0];
    conn->on_reply = handler;
    conn->sent_all = 1;

    // Each piece is announced by one length byte.
    while (size > 0) {
        size_t piece = 1 + data[0] % 64;
        data += 1;
        size -= 1;
        if (piece > size) piece = size;
        // read_lines blocks until a byte arrives, so every read gets one.
        if (piece == 0 || write(pair[1], data, piece) != static_cast<ssize_t>(piece)) break;
        data += piece;
        size -= piece;
        conn->state = read_lines;
        read_lines(conn);
        if (conn->on_reply == nullptr) conn->on_reply = handler;
    }

    close(pair[0]);
    close(pair[1]);
    free_key_list(conn);
    conn_free(conn);
    return 0;
}

// The control commands and their reply handlers.
#include "client/commands.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr char kEnvPrefix[] = "ENV ";
constexpr size_t kEnvPrefixLength = sizeof kEnvPrefix - 1;

int32_t key_kind(char letter) {
    switch (letter) {
    case 'L':
        return KEY_KIND_L;
    case 'N':
        return KEY_KIND_N;
    default:
        return KEY_KIND_OTHER;
    }
}

void append_key(ServerConnection *conn, KeyRecord *record) {
    KeyRecord **tail = &conn->key_list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = record;
}

} // namespace

extern "C" {

ResultCode conn_noop(ServerConnection *conn) {
    return conn_send_command(conn, "NOOP\r\n", on_simple_reply, 0);
}

ResultCode conn_quit(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    conn->result = conn_send_command(conn, "QUIT\r\n", on_simple_reply, 0);
    // The descriptor is forgotten once closed, so that a later call cannot
    // write to or close a descriptor that has since been reused.
    if (conn->sock >= 0) close(conn->sock);
    conn->sock = -1;
    return conn->result;
}

ResultCode conn_keys(ServerConnection *conn) {
    return conn_send_command(conn, "KEYS\r\n", on_keys_reply, 0);
}

ResultCode conn_env(ServerConnection *conn, char op, const char *text) {
    if (conn == nullptr || text == nullptr) return RC_BAD_ARGUMENT;
    // Refusals are decided before the line exists: a line that
    // conn_send_command refused would stay with us, unreleased.
    if (conn->state != nullptr) return RC_BUSY;
    size_t length = kEnvPrefixLength + 1 + std::strlen(text);
    if (length > conn->send_size) return RC_COMMAND_TOO_LONG;

    auto *line = static_cast<char *>(std::malloc(length + 1));
    if (line == nullptr) return RC_NO_MEMORY;
    std::snprintf(line, length + 1, "%s%c%s", kEnvPrefix, op, text);
    return conn_send_command(conn, line, on_env_reply, 1);
}

ResultCode free_key_list(ServerConnection *conn) {
    if (conn == nullptr) return RC_BAD_ARGUMENT;
    KeyRecord *record = conn->key_list;
    while (record != nullptr) {
        KeyRecord *next = record->next;
        std::free(record);
        record = next;
    }
    conn->key_list = nullptr;
    return RC_OK;
}

void on_simple_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final) {
    (void)text;
    if (is_final == 0) return;
    conn->state = nullptr;
    conn->result = code == 200 ? RC_OK : RC_PROTOCOL_ERROR;
}

void on_env_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final) {
    (void)text;
    if (is_final == 0) return;
    switch (code) {
    case 200:
        conn->result = RC_OK;
        break;
    case 202:
        conn->result = RC_ENV_202;
        break;
    case 501:
        conn->result = RC_ENV_REFUSED;
        break;
    default:
        conn->result = RC_PROTOCOL_ERROR;
        break;
    }
    conn->state = nullptr;
}

void on_keys_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final) {
    if (is_final != 0) {
        conn->state = nullptr;
        conn->result = RC_OK;
        return;
    }
    if (code != 301) {
        conn->result = RC_PROTOCOL_ERROR;
        return;
    }

    auto *record = static_cast<KeyRecord *>(std::malloc(sizeof(KeyRecord)));
    if (record == nullptr) {
        conn->state = nullptr;
        conn->result = RC_NO_MEMORY;
        return;
    }

    uint32_t serial1 = 0;
    uint32_t serial2 = 0;
    uint32_t serial3 = 0;
    uint32_t day = 0;
    uint32_t month = 0;
    uint32_t year = 0;
    char letter[2] = {0, 0};
    int items = std::sscanf(text,
                            "%" SCNx32 "-%" SCNx32 "-%" SCNx32 " %2" SCNu32 "%2" SCNu32 "%4" SCNu32
                            " %" SCNu32 " %1s %" SCNu32,
                            &serial1, &serial2, &serial3, &day, &month, &year, &record->word3,
                            letter, &record->word5);
    if (items != 9) {
        std::free(record);
        conn->result = RC_PROTOCOL_ERROR;
        return;
    }

    record->serial1 = serial1;
    record->serial2 = serial2;
    record->serial3 = serial3;
    record->expire_day = static_cast<uint8_t>(day);
    record->expire_month = static_cast<uint8_t>(month);
    record->expire_year = static_cast<uint16_t>(year);
    record->kind = key_kind(letter[0]);
    record->next = nullptr;
    append_key(conn, record);
}

} // extern "C"

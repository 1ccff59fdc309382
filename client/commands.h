/* The commands of the wire protocol and their reply handlers: the control
 * commands NOOP, QUIT, KEYS and ENV, and the key records that KEYS returns. */
#ifndef ORVA_CLIENT_COMMANDS_H
#define ORVA_CLIENT_COMMANDS_H

#include <stdint.h>

#include "client/connection.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Values of KeyRecord.kind, from the record's kind letter. */
#define KEY_KIND_L 0
#define KEY_KIND_N 1
#define KEY_KIND_OTHER 2

/* One record of the KEYS reply; the list hangs off ServerConnection.key_list
 * in the order the server sent the records. */
struct KeyRecord {
    int32_t kind;
    uint8_t expire_day;
    uint8_t expire_month;
    uint16_t expire_year;
    uint32_t word3;
    uint32_t serial1;
    uint32_t serial2;
    uint32_t serial3;
    uint32_t word5;
    KeyRecord *next;
};

ResultCode conn_noop(ServerConnection *conn);

/* Sends QUIT and closes the socket, whatever the reply (also when the command
 * is only queued because of CONN_NO_WAIT). */
ResultCode conn_quit(ServerConnection *conn);

/* Appends the server's key records to key_list. */
ResultCode conn_keys(ServerConnection *conn);

/* Sends "ENV ", the operator and the text; the text must end in CR LF. */
ResultCode conn_env(ServerConnection *conn, char op, const char *text);

/* Releases every record of key_list. */
ResultCode free_key_list(ServerConnection *conn);

void on_simple_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);
void on_env_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);
void on_keys_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

#ifdef __cplusplus
}
#endif

#endif

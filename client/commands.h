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

/* Each command below sends its line through conn_send_command and returns
 * what that returns: without CONN_NO_WAIT the command's code once its reply
 * has ended, or the event loop's failure (RC_READ_FAILED, RC_WRITE_FAILED,
 * RC_TIMEOUT, see conn_run); RC_BUSY when another command is in progress
 * (nothing is sent) and, with CONN_NO_WAIT, once the line is queued;
 * RC_BAD_ARGUMENT for a null connection. */

/* Sends NOOP. Returns RC_OK for a final 200, RC_PROTOCOL_ERROR for any other
 * final code, or a code described above. */
ResultCode conn_noop(ServerConnection *conn);

/* Sends QUIT and then closes the socket, whatever the reply, also when the
 * command is only queued (CONN_NO_WAIT) or refused as busy; sock is -1
 * afterwards and the connection carries no further commands. The returned
 * code is also stored in `result`: RC_OK for a final 200,
 * RC_PROTOCOL_ERROR for any other final code, or a code described above. */
ResultCode conn_quit(ServerConnection *conn);

/* Sends KEYS and appends a KeyRecord to key_list for each well-formed 301
 * line; records of earlier calls stay in front. The list belongs to the
 * connection; release it with free_key_list. Returns RC_OK when the reply
 * ended with any final line, RC_NO_MEMORY when a record could not be
 * allocated (the records before it stay), or a code described above. */
ResultCode conn_keys(ServerConnection *conn);

/* Sends "ENV ", the operator and the text; the text must end in CR LF.
 * Returns RC_OK for a final 200, RC_ENV_202 for 202, RC_ENV_REFUSED for 501,
 * RC_PROTOCOL_ERROR for any other final code, RC_COMMAND_TOO_LONG when the
 * line does not fit the send buffer, RC_NO_MEMORY when it cannot be
 * allocated (nothing is sent in these two cases), or a code described
 * above. */
ResultCode conn_env(ServerConnection *conn, char op, const char *text);

/* Releases every record of key_list and empties it. Returns RC_OK, or
 * RC_BAD_ARGUMENT when conn is null. */
ResultCode free_key_list(ServerConnection *conn);

/* The reply handlers of the commands above: NOOP and QUIT, ENV, and KEYS.
 * Each ends its command on the final line and stores its code in `result`. */
void on_simple_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);
void on_env_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);
void on_keys_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

#ifdef __cplusplus
}
#endif

#endif

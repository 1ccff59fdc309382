/* A list of scanning servers, for callers that spread their scans over
 * several servers or move on to the next one when a server fails: the
 * front end's list of TCP servers, the mail filter's Unix-domain sockets and
 * TCP servers side by side, or a C program's own.
 *
 * The list is parsed once from a text such as "/run/scan.sock,host:9001,
 * [::1]:9002". Each server is live until it is marked down; a server marked
 * down is skipped until its revive time has passed (30 seconds unless
 * server_list_set_revive says otherwise) and then offered again, to be
 * marked up once it works or down again when it fails.
 *
 * Every call may be made from several threads at once on the same list; the
 * list locks itself. Only server_list_free must come after every other call
 * on the list has returned. */
#ifndef ORVA_CLIENT_SERVER_LIST_H
#define ORVA_CLIENT_SERVER_LIST_H

#include <stdint.h>

#include "client/connection.h"
#include "client/result_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ServerList ServerList;

/* Where server_list_parse found the first item it refused. */
typedef struct ServerListError {
    uint32_t item;   /* its index, from 0: the number of commas before it */
    uint32_t offset; /* where it begins in the text */
    uint32_t length; /* its length in bytes; 0 for an empty item */
} ServerListError;

/* The revive time of a new list, in seconds. */
#define SERVER_LIST_DEFAULT_REVIVE 30u

/* Parses a list of server addresses separated by commas, without blanks:
 * each item is an address in one of the forms of conn_open ("/path",
 * "host", "host:port", "[v6]", "[v6]:port") and is checked as
 * conn_check_address checks it, without a name being resolved. (A
 * Unix-domain path that holds a comma cannot be listed.) The servers keep
 * the order of the text; every one starts live.
 *
 * On success *list is the new list, which the caller owns and releases with
 * server_list_free. On failure *list is null and, when `error` is not null,
 * *error says which item was refused.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   text or list is null, the text is empty, or an item is
 *                     empty or not a valid address
 *   RC_NO_MEMORY      the list could not be allocated */
ResultCode server_list_parse(const char *text, ServerList **list, ServerListError *error);

/* Releases the list; a null list is allowed. */
void server_list_free(ServerList *list);

/* The number of servers in the list; 0 for a null list. */
uint32_t server_list_size(const ServerList *list);

/* The address of the server at `index`, as the text gave it (valid until the
 * list is released); null when index is beyond the list or list is null. */
const char *server_list_address(const ServerList *list, uint32_t index);

/* Sets how long a server marked down from now on is skipped, in seconds
 * (0: it is offered again at once). A null list is ignored. */
void server_list_set_revive(ServerList *list, uint32_t seconds);

/* Picks the next live server in turn, for spreading the work: each call
 * starts behind the server that the previous call picked, and wraps around.
 * Returns its index, or -1 when no server is live (or list is null). */
int32_t server_list_next(ServerList *list);

/* The first live server at `from` or behind it, wrapping around to the start
 * of the list, for "use the first that works, move on only when it fails".
 * It does not move the turn of server_list_next. Returns its index, or -1
 * when no server is live, list is null or from is beyond the list. */
int32_t server_list_first_live(ServerList *list, uint32_t from);

/* Marks the server at `index` down: it is skipped until the revive time has
 * passed. An index beyond the list, or a null list, is ignored. */
void server_list_mark_down(ServerList *list, uint32_t index);

/* Marks the server at `index` live again at once. An index beyond the list,
 * or a null list, is ignored. */
void server_list_mark_up(ServerList *list, uint32_t index);

/* Told of each server that conn_open_list could not use: its index and
 * address, and the code with which conn_open failed there. */
typedef void (*ServerFailureHandler)(void *context, uint32_t index, const char *address,
                                     ResultCode code);

/* Opens `conn` to the first server of the list that works: tries each live
 * server once with conn_open (same `timeout_sec`, same codes), in list order
 * from `first` on and wrapping around. A server that fails is marked down
 * and, when `on_failure` is not null, reported to it (with `context`) before
 * the next one is tried; the server that works is marked up, and its index
 * stored in *opened (when opened is not null). When no server is live, the
 * one that revives first is tried alone. The calls of the list are made
 * under its lock, the opens are not: several threads may open at once.
 *
 * Returns RC_OK, or:
 *   RC_BAD_ARGUMENT   conn or list is null, or the list is empty
 *   any code of conn_open, that of the first server that failed, when none
 *                     worked (the record is then idle, without a socket) */
ResultCode conn_open_list(ServerConnection *conn, ServerList *list, uint32_t first,
                          int32_t timeout_sec, ServerFailureHandler on_failure, void *context,
                          uint32_t *opened);

#ifdef __cplusplus
}
#endif

#endif

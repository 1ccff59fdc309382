/* The scan command: SCAN over a Unix socket, NETSCAN over TCP, the option
 * letters of a scan, and the report that collects the server's per-object
 * lines and the final verdict. */
#ifndef ORVA_CLIENT_SCAN_H
#define ORVA_CLIENT_SCAN_H

#include <stdint.h>

#include "client/connection.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Option mask of one scan. Only SCAN_NO_NAMES acts in the client; every other
 * bit only chooses option letters, whose meaning is the server's. */
typedef uint32_t ScanFlags;
#define SCAN_CURE 0x4u               /* ask the server to cure: the letter "l" */
#define SCAN_NO_NAMES 0x400000u      /* count per-object lines without listing them */
#define SCAN_DEFAULT_FLAGS 0x3fffc0u /* the command-line client's mask */

/* Index into the verdict names; set by the final line of a scan reply. */
typedef uint32_t Verdict;
#define VERDICT_OK 0u
#define VERDICT_INFECTED 1u
#define VERDICT_CURED 2u
#define VERDICT_CUREFAILED 3u
#define VERDICT_WARNING 4u
#define VERDICT_SUSPICION 5u
#define VERDICT_PROTECTED 6u
#define VERDICT_CORRUPTED 7u
#define VERDICT_DELETED 8u
#define VERDICT_ERROR 9u
#define VERDICT_COUNT 10u

/* The result of one scan, owned by the caller. Each list holds the texts of
 * its per-object lines, each followed by "\n"; null while empty. */
struct ScanReport {
    Verdict verdict;
    uint32_t infected_count;  /* 322 lines */
    uint32_t cured_count;     /* 323 lines */
    uint32_t warning_count;   /* 327 lines */
    uint32_t suspicion_count; /* 328 lines */
    char *infected_list;
    char *cured_list;
    char *warning_list;
    char *suspicion_list;
};

/* "OK", "INFECTED", ..., "ERROR"; null for an index outside the table. */
const char *verdict_name(Verdict verdict);

/* Longest option-letter string, without its NUL. */
#define SCAN_LETTERS_MAX 18

/* Writes the option letters of `flags` and a NUL into `letters` (at least
 * SCAN_LETTERS_MAX + 1 bytes); returns their count. */
uint32_t scan_flag_letters(ScanFlags flags, char *letters);

/* Scans the file at `path` (at most 1024 characters, no CR LF). Over a Unix
 * socket the server opens the path itself; over TCP the file's size and
 * digest are sent and its bytes follow when the server asks. Returns RC_OK
 * with the verdict in `report`, or a failure code. `progress` may be null. */
ResultCode conn_scan(ServerConnection *conn, const char *path, ScanReport *report, ScanFlags flags,
                     ProgressCallback progress);

/* Gives the next conn_scan the device and inode of the file it is about to
 * scan, for a caller that has just examined it with stat (links followed):
 * the scan then does not examine it again. A cured copy is written only over
 * the file of that identity. RC_BUSY while a command is in progress. */
ResultCode conn_scan_identity(ServerConnection *conn, uint64_t device, uint64_t inode);

/* The reply handler of conn_scan. */
void on_scan_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

/* Releases the report's lists and sets every field to zero; a null report is
 * accepted. Always RC_OK. */
ResultCode scan_report_clear(ScanReport *report);

/* Appends `text` and "\n" to the list at *list. On RC_NO_MEMORY the list is
 * unchanged. */
ResultCode list_append_line(char **list, const char *text);

#ifdef __cplusplus
}
#endif

#endif

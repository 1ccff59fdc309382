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

/* "OK", "INFECTED", ..., "ERROR": the verdict's name, a constant text; null
 * for an index outside the table. */
const char *verdict_name(Verdict verdict);

/* Longest option-letter string, without its NUL. */
#define SCAN_LETTERS_MAX 18

/* Writes the option letters of `flags`, as a scan sends them, and a NUL into
 * `letters` (at least SCAN_LETTERS_MAX + 1 bytes); returns their count. */
uint32_t scan_flag_letters(ScanFlags flags, char *letters);

/* Scans the file at `path` (at most 1024 characters, without CR LF). Over a
 * Unix socket "SCAN" sends the path and the server opens the file itself, so
 * pass an absolute path. Over TCP "NETSCAN" announces the file's size and
 * digest, and its bytes follow when the server asks for them (see
 * upload_file); an empty file is clean without a word to the server. A cured
 * copy that the server returns replaces the file once it has arrived whole
 * and its digest matches (see store_cured_chunk).
 *
 * `report` is the caller's: conn_scan zeroes it first (clear it with
 * scan_report_clear before it is used again) and fills it until the command
 * ends. `progress` may be null; a null one keeps the callback stored by an
 * earlier scan. `flags` chooses the option letters; SCAN_NO_NAMES counts the
 * per-object lines without listing them.
 *
 * Returns RC_OK with the verdict in `report`, or:
 *   RC_BUSY              another command is in progress (nothing changes); with
 *                        CONN_NO_WAIT also once the scan is queued
 *   RC_BAD_ARGUMENT      null arguments, a path too long or holding CR LF; over
 *                        TCP a file that cannot be opened or read whole, that
 *                        is no regular file (a FIFO is never waited on), or
 *                        that is not the file conn_scan_identity named
 *   RC_NO_MEMORY         the command line or the path copy could not be
 *                        allocated; nothing was sent
 *   RC_COMMAND_TOO_LONG  the line does not fit the send buffer
 *   RC_SCAN_525, RC_SCAN_532
 *                        the server's final line was 525 or 532
 *   RC_PROTOCOL_ERROR    any other final code outside the verdict table, or a
 *                        310 without a file to send
 *   RC_NO_TEMP_FILE, RC_CHECKSUM_MISMATCH, RC_COPY_READ_FAILED
 *                        a cured copy was not stored (see store_cured_chunk);
 *                        the verdict is still set
 *   RC_COPY_READ_FAILED  the upload could not send the announced bytes (the
 *                        connection is closed)
 *   RC_READ_FAILED, RC_WRITE_FAILED, RC_TIMEOUT
 *                        the event loop's failures (see conn_run) */
ResultCode conn_scan(ServerConnection *conn, const char *path, ScanReport *report, ScanFlags flags,
                     ProgressCallback progress);

/* Gives the next conn_scan the device and inode of the file it is about to
 * scan, for a caller that has just examined it with stat (links followed):
 * the scan then does not examine it again. A cured copy is written only over
 * the file of that identity. The identity serves the next conn_scan only,
 * whatever its outcome.
 *
 * Returns RC_OK, or:
 *   RC_BUSY           a command is in progress
 *   RC_BAD_ARGUMENT   conn is null */
ResultCode conn_scan_identity(ServerConnection *conn, uint64_t device, uint64_t inode);

/* Whether the scan in progress on `conn`, or the last one, began to write a
 * cured copy over the scanned file: 1 from the first change made to the file
 * (its size or its contents), whether or not the copy was then completed;
 * 0 otherwise, and for a null conn. conn_scan sets it back to 0 as it
 * starts, unless it returns RC_BUSY or has a null argument. A caller that
 * would scan a file again after its scan was cut off (a lost connection)
 * asks first: a file that a cure was written over is no longer the file
 * that was scanned, and its result is the failed scan's. */
int32_t conn_scan_wrote_file(const ServerConnection *conn);

/* The reply handler that conn_scan installs. Per-object lines 321 to 330 go
 * to the progress callback; 322, 323, 327 and 328 are also counted and
 * listed. A 312 line brings a cured copy. The final line sets the verdict or
 * the result code and ends the command, except a final 310, which starts the
 * upload. */
void on_scan_reply(ServerConnection *conn, uint32_t code, char *text, int32_t is_final);

/* Releases the report's lists and sets every field to zero; a null report is
 * accepted. Always RC_OK. */
ResultCode scan_report_clear(ScanReport *report);

/* Appends `text` and "\n" to the list at *list (null while empty); the list
 * is reallocated and stays the caller's.
 *
 * Returns RC_OK, or:
 *   RC_NO_MEMORY      the list could not grow; it is unchanged
 *   RC_BAD_ARGUMENT   list or text is null */
ResultCode list_append_line(char **list, const char *text);

#ifdef __cplusplus
}
#endif

#endif

/* Moving file contents during a scan: streaming the scanned file to a TCP
 * server that asks for it, and receiving a cured copy into a temporary file,
 * verifying its MD5 digest and writing it over the scanned file.
 *
 * conn_scan and its reply handler install these steps themselves; a caller
 * needs them only to drive or examine a connection step by step. */
#ifndef ORVA_CLIENT_TRANSFER_H
#define ORVA_CLIENT_TRANSFER_H

#include <stdint.h>
#include <stdio.h>

#include "client/connection.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The state handler of an upload after a final 310: sends exactly the number
 * of bytes that the NETSCAN line announced, from the start of the scanned
 * file, one write per call (from the page cache with sendfile where the
 * kernel can, through the send buffer otherwise); bytes that the file gained
 * since are not sent. After the last byte it closes the file and installs
 * read_lines; `result` stays RC_BUSY until a reply line sets it.
 *
 * Returns RC_OK while the upload goes on or once it is complete, or, ending
 * the command with the code in `result`:
 *   RC_WRITE_FAILED       a write to the socket failed or wrote nothing
 *   RC_COPY_READ_FAILED   the file ended before the announced size or could
 *                         not be read (the connection, which the server
 *                         still reads as file bytes, is closed: sock -1), or
 *                         no file is open */
ResultCode upload_file(ServerConnection *conn);

/* The state handler while a cured body goes on beyond the bytes received:
 * reads the next part of the body (never beyond its end while more than the
 * receive buffer holds is due) and passes it to store_cured_chunk.
 *
 * Returns what store_cured_chunk returns, also stored in `result`, or
 * RC_READ_FAILED when the server closed the connection or the read failed:
 * the command then ends, and the temporary file is removed. */
ResultCode receive_cured_file(ServerConnection *conn);

/* Takes the recv_len bytes at the start of the receive buffer as the next
 * part of the cured body (cured_remaining, or the wide count, says how many
 * bytes are still due); each byte goes into the digest and the temporary
 * file. If the body goes on beyond them, every byte is taken (recv_len 0)
 * and receive_cured_file is installed. If it ends inside them, the bytes
 * behind it are moved to the start of the buffer, NUL-terminated, recv_len
 * counts them, body_ended is set, read_lines is installed, and the copy is
 * verified and stored; the temporary file is removed in every case.
 *
 * Returns RC_OK (the body goes on, or the copy replaced the scanned file),
 * or, once the body has ended:
 *   RC_NO_TEMP_FILE        no temporary file could hold the copy (none could
 *                          be created, or writing to it failed)
 *   RC_CHECKSUM_MISMATCH   the digest differs from the announced one, or the
 *                          scanned file is gone, replaced, not a regular file
 *                          or without room for the copy; it is untouched
 *   RC_COPY_READ_FAILED    the copy failed while the scanned file was being
 *                          written */
ResultCode store_cured_chunk(ServerConnection *conn);

/* Creates a new temporary file, readable and writable by its owner only, in
 * the directory named by TMP or else TEMP when it can be read and written,
 * else in /tmp, named "zq", the process id and a random number in
 * hexadecimal, and ".tmp". A name that exists, a link included, is never
 * opened. Returns the open stream and stores a copy of its path through
 * `path` (the caller owns both: fclose, unlink, free), or null when no file
 * could be created. */
FILE *create_temp_file(char **path);

/* Replaces the contents of the regular file at `destination` with those of
 * `source`, in place, so that it keeps its inode, owner and permissions.
 * Nothing is written unless the whole copy fits. The source stays open.
 *
 * Returns RC_OK, or:
 *   RC_CHECKSUM_MISMATCH   the destination cannot be opened for writing, is
 *                          not a regular file or has no room for the copy;
 *                          it is untouched
 *   RC_COPY_READ_FAILED    the copy failed part of the way */
ResultCode copy_file_to(FILE *source, const char *destination);

#ifdef __cplusplus
}
#endif

#endif

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
 * verified and written over the scanned file as copy_file_to does.
 *
 * The temporary file (made by the 312 line's handling as create_temp_file
 * makes one) loses its name as soon as it is created: only the open stream
 * holds it, and cured_temp_path keeps the name it had. Nothing of it is left
 * behind however the process ends. A copy announced larger than the
 * process's file size limit (RLIMIT_FSIZE) gets no temporary file: its body
 * is read and digested all the same, so the connection stays in step, and
 * nothing is written anywhere.
 *
 * Returns RC_OK (the body goes on, or the copy replaced the scanned file),
 * or, once the body has ended:
 *   RC_NO_TEMP_FILE        no temporary file could hold the copy (none could
 *                          be created, writing to it failed, or the copy is
 *                          larger than the file size limit)
 *   RC_CHECKSUM_MISMATCH   the digest differs from the announced one, or the
 *                          scanned file is gone, replaced, not a regular file
 *                          or without room for the copy; its contents are
 *                          untouched
 *   RC_COPY_READ_FAILED    reading or writing failed while the scanned file
 *                          was being written, after room for the whole copy
 *                          had been made */
ResultCode store_cured_chunk(ServerConnection *conn);

/* Creates a new temporary file, readable and writable by its owner only, in
 * the directory named by TMP or else TEMP when it can be read and written,
 * else in /tmp, named "zq", the process id and a number in hexadecimal (at
 * least four digits), and ".tmp". The number comes from the kernel's random
 * source, so that no other user can foresee the names; the process's rand()
 * sequence is neither used nor disturbed. A name that exists, a link
 * included, is never opened. Returns the open stream and stores a copy of
 * its path through `path` (the caller owns both: fclose, unlink, free), or
 * null when no file could be created. */
FILE *create_temp_file(char **path);

/* Replaces the contents of the regular file at `destination` with those of
 * `source`, in place, so that it keeps its inode, owner and permissions.
 * The source stays open.
 *
 * Nothing is written unless the whole copy fits, on every file system:
 * the space is reserved first (fallocate); where the file system cannot
 * reserve space, the part of the copy beyond the file's old end is written
 * first and every block of the old contents is rewritten with its own bytes
 * (a hole gets its blocks) and flushed, and only then are the old bytes
 * overwritten; if room cannot be made, the file gets its old size back with
 * its contents intact. A copy larger than the process's file size limit is
 * refused before anything is written.
 *
 * From the first change to the file until it is whole and closed, the
 * catchable termination signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE)
 * are held in the calling thread with pthread_sigmask, and then released:
 * one that came meanwhile takes effect only once the file holds the whole
 * copy (or, after a failure, what the failure left). No handler is installed.
 * A program with other threads that leave these signals unblocked keeps them
 * blocked there too, or handles them, for the same promise.
 *
 * Returns RC_OK, or:
 *   RC_CHECKSUM_MISMATCH   the destination cannot be opened for writing, is
 *                          not a regular file, has no room for the copy, or
 *                          the copy is larger than the file size limit; its
 *                          contents are untouched
 *   RC_COPY_READ_FAILED    reading or writing failed after room for the
 *                          whole copy had been made, or the old size could
 *                          not be given back */
ResultCode copy_file_to(FILE *source, const char *destination);

#ifdef __cplusplus
}
#endif

#endif

/* Moving file contents during a scan: streaming the scanned file to a TCP
 * server that asks for it, and receiving a cured copy into a temporary file,
 * verifying its MD5 digest and writing it over the scanned file. */
#ifndef ORVA_CLIENT_TRANSFER_H
#define ORVA_CLIENT_TRANSFER_H

#include <stdint.h>
#include <stdio.h>

#include "client/connection.h"

#ifdef __cplusplus
extern "C" {
#endif

/* State handler of an upload: writes the scanned file to the socket. */
ResultCode upload_file(ServerConnection *conn);

/* State handler while a cured body goes on beyond the receive buffer. */
ResultCode receive_cured_file(ServerConnection *conn);

/* Takes the recv_len bytes at the start of the receive buffer as the next part
 * of the cured body; at the body's end verifies it and stores it. */
ResultCode store_cured_chunk(ServerConnection *conn);

/* Starts the upload after a final 310: rewinds the scanned file and installs
 * upload_file for exactly the size that the NETSCAN line announced. */
void begin_upload(ServerConnection *conn);

/* Handles a 312 line (its text) inside a scan reply. */
void begin_cured_file(ServerConnection *conn, const char *text);

/* Creates a new temporary file, readable and writable by its owner only, in
 * TMP, TEMP or /tmp. Stores a heap copy of its path through `path`; returns
 * null when no file could be created. */
FILE *create_temp_file(char **path);

/* Replaces the contents of the file at `destination` with those of `source`,
 * in place. */
ResultCode copy_file_to(FILE *source, const char *destination);

/* Closes and removes a temporary file left by a command that ended before
 * its cured body did. */
void discard_cured_file(ServerConnection *conn);

#ifdef __cplusplus
}
#endif

#endif

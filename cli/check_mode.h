// The check mode: proves that the server answers and prints the signature
// database's size and date and the key records the server reports.
#pragma once

#include "client/connection.h"

// Sends KEYS on the open connection and prints what the server announced.
// Returns the run's exit status: 0 when the server answered, 1 (after the
// message on standard error) otherwise. No QUIT is sent.
int run_check_mode(ServerConnection *conn, bool quiet);

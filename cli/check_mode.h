// The check mode: proves that the server answers and prints the signature
// database's size and date and the key records the server reports.
#pragma once

#include "client/connection.h"

// Ends the process: 0 when the server answered KEYS, 1 otherwise.
[[noreturn]] void run_check_mode(ServerConnection *conn, bool quiet);

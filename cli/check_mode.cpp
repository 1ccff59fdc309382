// The check mode of the front end.
#include "cli/check_mode.h"

#include <cstdio>

#include "client/commands.h"

int run_check_mode(ServerConnection *conn, bool quiet) {
    if (RC_FAILED(conn_keys(conn))) {
        std::fputs("ERROR: Can not connect to server !\n", stderr);
        free_key_list(conn);
        return 1;
    }
    if (!quiet) {
        std::printf("RECORDS %u\nUPDATED %02d-%02d-%04d\n\n", conn->db_records, conn->db_day,
                    conn->db_month, conn->db_year);
        for (const KeyRecord *key = conn->key_list; key != nullptr; key = key->next) {
            std::printf("SERIAL %04X-%06X-%08X\nEXPIRE %02d-%02d-%04d\n\n", key->serial1,
                        key->serial2, key->serial3, key->expire_day, key->expire_month,
                        key->expire_year);
        }
    }
    free_key_list(conn);
    return 0;
}

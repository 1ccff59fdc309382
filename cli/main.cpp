// orvaclient: asks the local scanning server to scan files, or checks that
// it answers and lists what it reports about itself.
#include <cstdio>
#include <cstdlib>

#include "cli/check_mode.h"
#include "cli/options.h"
#include "cli/scan_loop.h"
#include "client/connect.h"
#include "client/connection.h"

namespace {

constexpr uint32_t kBufferSize = 8192;
constexpr uint32_t kTimeoutSec = 300;

[[noreturn]] void fail(const char *message) {
    std::fputs(message, stderr);
    std::exit(1);
}

} // namespace

int main(int argc, char **argv) {
    RunOptions options = read_options(argc, argv);

    ServerConnection *conn = conn_create(kBufferSize, kTimeoutSec, kTimeoutSec, 0);
    if (conn == nullptr) fail("ERROR: Could not allocate memory!\n");

    if (conn_open(options.server_path, kTimeoutSec, conn) != RC_OK) {
        switch (conn->result) {
        case RC_SERVER_OVERLOADED:
            fail("ERROR: Could not connect to orvaserver: server is overloaded.\n");
        case RC_CLIENT_NOT_ALLOWED:
            fail("ERROR: Could not connect to orvaserver: client IP is not allowed.\n");
        default:
            fail("ERROR: Could not connect to server!\n");
        }
    }

    if (options.check_mode) run_check_mode(conn, options.quiet);

    run_scan_loop(conn, options.scan_flags, options.quiet, argc, argv, options.first_operand);
}

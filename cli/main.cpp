// orvaclient: asks a scanning server to scan files, or checks that it
// answers and lists what it reports about itself.
#include <cstdio>
#include <cstdlib>

#include "cli/check_mode.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/scan_loop.h"
#include "cli/server.h"
#include "cli/termination.h"

namespace {

int run_check(const RunOptions &options) {
    const char *failure = nullptr;
    uint32_t opened = 0;
    ServerConnection *conn =
        open_server_waiting(servers_of(options), 0, options.wait_sec, &opened, &failure);
    if (conn == nullptr) {
        std::fputs(failure, stderr);
        return 1;
    }
    int status = run_check_mode(conn, options.quiet);
    close_server(conn);
    return finish_output(status);
}

} // namespace

int main(int argc, char **argv) {
    install_termination_handling();
    RunOptions options;
    int status = read_options(argc, argv, &options);
    if (status == kOptionsValid)
        status = options.check_mode ? run_check(options) : run_scan_mode(options, argc, argv);
    release_options(&options);
    return status;
}

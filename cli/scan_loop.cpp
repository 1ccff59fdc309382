// The scan loop of the front end.
#include "cli/scan_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/paths.h"
#include "cli/report.h"
#include "cli/stdin_dump.h"
#include "client/commands.h"

namespace {

// One operand, from its name to its status.
int scan_operand(ServerConnection *conn, const char *operand, ScanFlags scan_flags, bool quiet,
                 ScanReport *report) {
    static char path[kPathBufferSize];

    if (std::strcmp(operand, "-") == 0) {
        if (!capture_stdin()) {
            if (!quiet) std::fputs("STDIN ERROR\n", stdout);
            return kNotScanned;
        }
        std::memcpy(path, stdin_dump_path(), std::strlen(stdin_dump_path()) + 1);
    } else if (absolute_path(operand, path) != PathFailure::None) {
        if (!quiet) std::printf("%s ERROR\n", operand);
        return kNotScanned;
    }

    struct stat info;
    if (stat(path, &info) != 0 || access(path, R_OK) != 0) {
        if (!quiet) std::printf("%s ERROR %s\n", path, std::strerror(errno));
        return kNotScanned;
    }
    if (!S_ISREG(info.st_mode)) {
        if (!quiet) std::printf("%s ERROR not a regular file\n", path);
        return kNotScanned;
    }

    // The file has just been examined; the scan need not examine it again.
    conn_scan_identity(conn, static_cast<uint64_t>(info.st_dev),
                       static_cast<uint64_t>(info.st_ino));
    ResultCode code = conn_scan(conn, path, report, scan_flags, nullptr);
    int status = report_scan(operand, code, report, quiet);
    scan_report_clear(report);
    return status;
}

} // namespace

int run_scan_loop(ServerConnection *conn, ScanFlags scan_flags, bool quiet, int argc, char **argv,
                  int first) {
    ScanReport report;
    std::memset(&report, 0, sizeof report);

    int status = 0;
    for (int i = first; i < argc; ++i)
        status = scan_operand(conn, argv[i], scan_flags, quiet, &report);

    conn_quit(conn);
    remove_stdin_dump();
    return status;
}

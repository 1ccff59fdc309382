// Scans files through the orvaclient connection library, from C++. The
// connection and the report are held by small owners that release them.
//
//   scan_file_cpp ADDRESS FILE [cure]
//
// ADDRESS is the server's Unix-domain socket path (beginning with "/") or a
// TCP server as host or host:port. Output and exit status are those of the C
// example scan_file.c: "FILE VERDICT", then "infected ...", "cured ...",
// "warning ...", "suspicion ..." lines; 0 clean, 1 not OK, 2 no scan.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "client/commands.h"
#include "client/connect.h"
#include "client/connection.h"
#include "client/scan.h"

namespace {

// One connection, quit and released when it goes out of scope.
class Connection {
  public:
    Connection() : conn_(conn_create(8192, 60, 60, 0)) {}
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() {
        if (conn_ == nullptr) return;
        if (open_) conn_quit(conn_); // sends QUIT and closes the socket
        conn_free(conn_);            // a failed conn_open has closed its socket
    }

    // Connects and reads the greeting; on failure returns the reason.
    ResultCode open(const char *address) {
        if (conn_ == nullptr) return RC_NO_MEMORY;
        open_ = conn_open(address, 10, conn_) == RC_OK;
        return open_ ? RC_OK : conn_->result;
    }

    ServerConnection *get() const { return conn_; }

  private:
    ServerConnection *conn_;
    bool open_ = false;
};

// A report that releases its lists.
struct Report : ScanReport {
    Report() : ScanReport{} {}
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;
    ~Report() { scan_report_clear(this); }
};

// A report list holds one line per object, each ended by "\n".
void print_list(const char *label, const char *list) {
    std::string_view rest = list != nullptr ? list : "";
    while (!rest.empty()) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        std::printf("%s %.*s\n", label, static_cast<int>(line.size()), line.data());
        rest.remove_prefix(line.size() < rest.size() ? line.size() + 1 : line.size());
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::string_view(argv[3]) != "cure")) {
        std::fprintf(stderr, "usage: %s ADDRESS FILE [cure]\n", argv[0]);
        return 2;
    }
    char path[PATH_MAX];
    if (realpath(argv[2], path) == nullptr) {
        std::perror(argv[2]);
        return 2;
    }
    ScanFlags flags = SCAN_DEFAULT_FLAGS | (argc == 4 ? SCAN_CURE : 0u);

    Connection connection;
    if (ResultCode rc = connection.open(argv[1]); rc != RC_OK) {
        std::fprintf(stderr, "cannot connect to %s: result code 0x%08x\n", argv[1],
                     static_cast<unsigned>(rc));
        return 2;
    }

    Report report;
    if (ResultCode rc = conn_scan(connection.get(), path, &report, flags, nullptr); rc != RC_OK) {
        std::fprintf(stderr, "%s: scan failed, result code 0x%08x\n", argv[2],
                     static_cast<unsigned>(rc));
        return 2;
    }
    std::printf("%s %s\n", argv[2], verdict_name(report.verdict));
    print_list("infected", report.infected_list);
    print_list("cured", report.cured_list);
    print_list("warning", report.warning_list);
    print_list("suspicion", report.suspicion_list);
    return report.verdict == VERDICT_OK ? 0 : 1;
}

// orvaserver-standin: a scanning server that speaks the client's protocol,
// for the project's tests, its demonstration and its benchmarks.
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "standin/config.h"
#include "standin/server.h"

int main(int argc, char **argv) {
    // Held until the process ends: detached workers use it to the last moment.
    static standin::ServerConfig config;
    std::string error;
    standin::Parsed parsed = standin::parse_command_line({argv + 1, argv + argc}, config, error);
    if (parsed == standin::Parsed::Help) {
        std::fputs(standin::usage_text(), stdout);
        return 0;
    }
    if (parsed == standin::Parsed::Error) {
        std::fprintf(stderr, "orvaserver-standin: %s\nTry 'orvaserver-standin --help' for more.\n",
                     error.c_str());
        return 2;
    }
    int status = standin::run_server(config);
    std::fflush(stdout);
    std::fflush(stderr);
    // Ends without running destructors, which would race the workers.
    _exit(status);
}

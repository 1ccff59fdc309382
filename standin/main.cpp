// orvaserver-standin: a scanning server that speaks the client's protocol,
// for the project's tests, its demonstration and its benchmarks.
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "standin/config.h"
#include "standin/server.h"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Held until the process ends: detached workers use it to the last moment.
    static standin::ServerConfig config;
    std::string error;
    switch (standin::parse_command_line(args, config, error)) {
    case standin::Parsed::Help:
        std::fputs(standin::usage_text(), stdout);
        return 0;
    case standin::Parsed::Error:
        std::fprintf(stderr, "orvaserver-standin: %s\nTry 'orvaserver-standin --help' for more.\n",
                     error.c_str());
        return 2;
    case standin::Parsed::Run:
        break;
    }
    int status = standin::run_server(config);
    std::fflush(stdout);
    std::fflush(stderr);
    // Ends without running destructors, which would race the workers.
    _exit(status);
}

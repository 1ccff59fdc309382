// Running the built client as a separate process, as its users do.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "support/fake_server.h"
#include "support/ports.h"
#include "support/run_process.h"

// Splits a text into its lines; a last line without a newline counts too.
inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

inline ProcessResult run_client(std::vector<std::string> args, ProcessOptions options = {}) {
    args.insert(args.begin(), "orvaclient");
    return run_process(ORVACLIENT_BINARY, args, options);
}

inline const std::string kUsage =
    "Usage: orvaclient -p socket_path [extra options] [file1] [file2] ...\n"
    "   -h       Show this help message and exit\n"
    "   -v       Show version and exit\n"
    "   -q       Do not show non-error messages\n"
    "   -u       Try to cure files while scanning\n"
    "   -s       Do scanning the files for viruses\n"
    "   -c       Do checking orvaserver connection and querying the data\n"
    "   -p<path> Specify the path to orvaserver socket. Required param.\n";
// The lines of the options added since, after the eight lines above.
inline const std::string kLaterOptions =
    "   -r       Scan directories recursively (implies -w)\n"
    "   -j<n>    Scan with up to n connections at once (1 to 64)\n"
    "   -t<addr> Connect over TCP to host[:port][,host[:port]...] instead of -p\n"
    "   -w       Exit with the status of the most severe finding of the run\n"
    "   --exclude=PATTERN  In trees, skip files and folders that match PATTERN\n"
    "   --files-from=FILE  Also scan the names in FILE, one per line (- for stdin)\n"
    "   --null             The names in the --files-from list end in NUL bytes\n"
    "   --infected         Print only the results of files not found clean\n"
    "   --move=DIR         Move each file in which a threat remains into DIR\n"
    "   --copy=DIR         Copy each file in which a threat remains into DIR\n"
    "   --json             Print each result as one JSON object per line\n"
    "   --summary          Print a summary of the run on standard error\n"
    "   --progress         Show the progress on standard error if it is a terminal\n"
    "   --wait=SECONDS     Retry the first connection for up to SECONDS\n"
    "   --timeout=SECONDS  Give up a connect or a wait for the server after SECONDS\n"
    "   --revive=SECONDS   Try a listed server that failed again after SECONDS\n";

// Version line: fixed text, then the build's date and time in the form
// "Aug  2 2005, 12:40:36".
inline const char *kVersionPattern =
    "Client for Quellon Anti-Virus server 5\\.5\\.3/RELEASE build #104, compiled "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] [0-9]{4}, "
    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]";

// The schema of a --json line, as the man page gives it: the members in
// their order, each string a JSON string (escapes as RFC 8259 has them, no
// raw control character), "error" only for a file not scanned.
inline bool follows_schema(const std::string &line) {
    const std::string text = R"("(?:[^"\\\x01-\x1f]|\\["\\/bfnrt]|\\u[0-9a-f]{4})*")";
    const std::string words = "\\[(?:" + text + "(?:," + text + ")*)?\\]";
    static const std::regex schema(
        "\\{\"file\":" + text +
        ",\"verdict\":\"(?:OK|INFECTED|CURED|CUREFAILED|WARNING|SUSPICION|PROTECTED|CORRUPTED|"
        "DELETED|ERROR)\",\"status\":(?:[0-68]|7(?=.*,\"error\":))"
        ",\"infected\":" +
        words + ",\"cured\":" + words + ",\"warning\":" + words + ",\"suspicion\":" + words +
        "(?:,\"error\":" + text + ")?(?:,\"(?:moved|copied|move_error|copy_error)\":" + text +
        ")?\\}");
    return std::regex_match(line, schema) && (line.find(",\"status\":7,") == std::string::npos) ==
                                                 (line.find(",\"error\":") == std::string::npos);
}

#include "standin/config.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "standin/fingerprint.h"
#include "standin/protocol.h"

namespace standin {

namespace {

constexpr uint64_t kMaxDelayMs = 60000;
// Each connection served has a thread of its own.
constexpr uint64_t kMaxConnections = 4096;

const char kUsage[] =
    "Usage: orvaserver-standin --socket PATH [--tcp PORT] [options]\n"
    "A stand-in scanning server for tests, demonstrations and benchmarks.\n"
    "It serves up to 128 clients at once (see --max-connections); any more are\n"
    "greeted with 401.\n"
    "\n"
    "Where it listens (at least one of):\n"
    "  --socket PATH        Unix-domain socket; replaced at start, removed at exit.\n"
    "                       PATH appears only once the server accepts connections.\n"
    "  --tcp PORT           also listen on 127.0.0.1:PORT; 0 picks a free port.\n"
    "                       The port is printed on stdout as \"tcp-port N\".\n"
    "\n"
    "What it announces and finds:\n"
    "  --signatures FILE    byte patterns, one \"NAME HEXPATTERN [FLAG...]\" a line;\n"
    "                       flags: nocure, warning, suspicion. The standard\n"
    "                       anti-virus test file is always known.\n"
    "  --date DDMMYYYY      database date of the greeting (default 15062024)\n"
    "  --records N          database record count of the greeting (default 1000)\n"
    "  --tag WORD           tag of the greeting, 1 to 19 characters (default standin)\n"
    "  --key \"SERIAL DATE N KIND N\"\n"
    "                       a key record for KEYS, e.g. \"1a2b-3c4d-5e6f 31122027 5 L 100\";\n"
    "                       may be repeated\n"
    "\n"
    "Fault modes:\n"
    "  --refuse overloaded|not-allowed\n"
    "                       greet with 401 or 402 and hang up\n"
    "  --slow MS            wait MS milliseconds before each reply line\n"
    "  --bytewise           write every reply byte on its own\n"
    "  --close-after N      hang up after answering N commands (0: after the greeting)\n"
    "\n"
    "As a member of a pool of servers:\n"
    "  --max-connections N  serve at most N connections at once (1 to 4096, default\n"
    "                       128), over both listeners; a connection beyond them is\n"
    "                       greeted with 401 (overloaded) at once and closed\n"
    "  --greet-delay MS     greet each served connection MS milliseconds after\n"
    "                       accepting it, without holding up the others\n"
    "\n"
    "Benchmark modes:\n"
    "  --scan-delay MS      wait MS milliseconds before answering each scan, without\n"
    "                       holding a CPU; scans on other connections go on meanwhile\n"
    "  --instant            answer every scan with 220 at once, without reading the file;\n"
    "                       a NETSCAN upload is read and dropped, neither digested nor matched\n"
    "  --serve-cured FILE   answer every scan with FILE's bytes as a cured copy and 221\n"
    "\n"
    "  --help               show this text\n";

enum class Takes { Nothing, Text, Number };

// An option as the command line names it. A bad value is worded "NAME: expected
// EXPECTED, not 'VALUE'"; for a number, EXPECTED is its range up to `max`.
struct Option {
    std::string_view name;
    Takes takes;
    uint64_t max = 0;
    const char *expected = nullptr;
};

constexpr Option kOptions[] = {
    {"--socket", Takes::Text},
    {"--tcp", Takes::Number, 65535},
    {"--signatures", Takes::Text},
    {"--date", Takes::Text, 0, "a day as DDMMYYYY"},
    {"--records", Takes::Number, UINT32_MAX},
    {"--tag", Takes::Text, 0, "1 to 19 printable characters without blanks"},
    {"--key", Takes::Text, 0,
     "\"SERIAL DATE N KIND N\" such as \"1a2b-3c4d-5e6f 31122027 5 L 100\""},
    {"--refuse", Takes::Text, 0, "overloaded or not-allowed"},
    {"--slow", Takes::Number, kMaxDelayMs},
    {"--scan-delay", Takes::Number, kMaxDelayMs},
    {"--max-connections", Takes::Number, kMaxConnections, "a number from 1 to 4096"},
    {"--greet-delay", Takes::Number, kMaxDelayMs},
    {"--bytewise", Takes::Nothing},
    {"--close-after", Takes::Number, UINT32_MAX},
    {"--instant", Takes::Nothing},
    {"--serve-cured", Takes::Text},
};

// A day as DDMMYYYY that the calendar has.
bool valid_date(const std::string &text) {
    uint64_t number = 0;
    if (text.size() != 8 || !parse_unsigned(text, UINT64_MAX, number)) return false;
    uint64_t day = number / 1000000, month = number / 10000 % 100, year = number % 10000;
    static const uint64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year == 0 || month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// 1 to 19 printable characters without blanks.
bool valid_tag(const std::string &text) {
    auto printable = [](unsigned char c) { return c > 0x20 && c < 0x7f; };
    return !text.empty() && text.size() <= 19 && std::all_of(text.begin(), text.end(), printable);
}

// A key record "SERIAL DATE N KIND N", its words joined again by single spaces:
// SERIAL is three groups of 1 to 8 hexadecimal digits joined by '-', KIND one
// printable character.
bool normalise_key(const std::string &text, std::string &key) {
    std::istringstream in(text);
    std::string serial, date, count, kind, limit, extra;
    char group[3][9];
    int end = 0;
    uint64_t number = 0;
    if (!(in >> serial >> date >> count >> kind >> limit) || in >> extra ||
        std::sscanf(serial.c_str(), "%8[0-9a-fA-F]-%8[0-9a-fA-F]-%8[0-9a-fA-F]%n", group[0],
                    group[1], group[2], &end) != 3 ||
        static_cast<size_t>(end) != serial.size() || !valid_date(date) ||
        !parse_unsigned(count, UINT32_MAX, number) || kind.size() != 1 || !valid_tag(kind) ||
        !parse_unsigned(limit, UINT32_MAX, number))
        return false;
    key = serial + ' ' + date + ' ' + count + ' ' + kind + ' ' + limit;
    return true;
}

// The files that options name, loaded once every option is known.
struct Files {
    std::optional<std::string> signatures, serve_cured;
};

// Stores a value whose form (text or number) has been checked; false when it
// is not one of the values the option takes.
bool store(ServerConfig &config, Files &files, std::string_view name, const std::string &value,
           uint64_t number) {
    auto put = [](auto &field, auto given) {
        field = given;
        return true;
    };
    std::string key;
    if (name == "--socket") return put(config.socket_path, value);
    if (name == "--tcp")
        return put(config.tcp, true) && put(config.tcp_port, static_cast<uint16_t>(number));
    if (name == "--signatures") return put(files.signatures, value);
    if (name == "--date") return valid_date(value) && put(config.date, value);
    if (name == "--records") return put(config.records, static_cast<uint32_t>(number));
    if (name == "--tag") return valid_tag(value) && put(config.tag, value);
    if (name == "--key") return normalise_key(value, key) && put(config.keys.emplace_back(), key);
    if (name == "--refuse")
        return (value == "overloaded" && put(config.refuse, Refusal::Overloaded)) ||
               (value == "not-allowed" && put(config.refuse, Refusal::NotAllowed));
    if (name == "--slow") return put(config.slow_ms, static_cast<unsigned>(number));
    if (name == "--scan-delay") return put(config.scan_delay_ms, static_cast<unsigned>(number));
    if (name == "--max-connections")
        return number > 0 && put(config.max_connections, static_cast<unsigned>(number));
    if (name == "--greet-delay") return put(config.greet_delay_ms, static_cast<unsigned>(number));
    if (name == "--bytewise") return put(config.bytewise, true);
    if (name == "--close-after") return put(config.close_after, number);
    if (name == "--instant") return put(config.instant, true);
    return put(files.serve_cured, value);
}

} // namespace

Parsed parse_command_line(const std::vector<std::string> &args, ServerConfig &config,
                          std::string &error) {
    auto fail = [&](const std::string &text) {
        error = text;
        return Parsed::Error;
    };
    Files files;
    for (size_t i = 0; i < args.size(); ++i) {
        // "--NAME=VALUE" gives the value in the same argument.
        size_t equals = args[i].rfind("--", 0) == 0 ? args[i].find('=') : std::string::npos;
        bool inline_value = equals != std::string::npos;
        std::string name = args[i].substr(0, equals);
        std::string value = inline_value ? args[i].substr(equals + 1) : "";
        if (name == "--help" || name == "-h") return Parsed::Help;
        const Option *option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                            [&](const Option &o) { return o.name == name; });
        if (option == std::end(kOptions)) return fail("unknown option '" + args[i] + "'");
        if (option->takes == Takes::Nothing && inline_value) return fail(name + " takes no value");
        if (option->takes != Takes::Nothing && !inline_value) {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }
        if (name == "--socket" && value.empty()) return fail("--socket needs a path");
        uint64_t number = 0;
        if ((option->takes != Takes::Number || parse_unsigned(value, option->max, number)) &&
            store(config, files, name, value, number))
            continue;
        std::string range = "a number from 0 to " + std::to_string(option->max);
        return fail(name + ": expected " + (option->expected ? option->expected : range) +
                    ", not '" + value + "'");
    }
    if (config.socket_path.empty() && !config.tcp)
        return fail("give --socket PATH, --tcp PORT or both");
    if (config.instant && files.serve_cured)
        return fail("--instant and --serve-cured exclude each other");
    if (files.signatures && !load_signature_file(*files.signatures, config.signatures, error))
        return Parsed::Error;
    if (!files.serve_cured) return Parsed::Run;
    if (!read_whole_file(*files.serve_cured, config.cured_copy, error)) return Parsed::Error;
    config.serve_cured = true;
    config.cured_digest = md5_text(config.cured_copy);
    return Parsed::Run;
}

const char *usage_text() {
    return kUsage;
}

} // namespace standin

#include "milter/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <initializer_list>

#include "client/server_list.h"

namespace {

constexpr uint32_t kMaxTimeoutSec = 3600;

bool parse_number(const char *text, uint64_t limit, uint64_t &value) {
    if (text[0] < '0' || text[0] > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text, &end, 10);
    if (errno != 0 || number > limit) return false;
    value = number;
    return *end == '\0';
}

// A byte count with an optional k, M or G (binary units).
bool parse_size(const char *text, uint64_t &size) {
    std::string digits(text);
    uint64_t unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'k':
        case 'K':
            unit = 1024;
            break;
        case 'm':
        case 'M':
            unit = 1024 * 1024;
            break;
        case 'g':
        case 'G':
            unit = 1024 * 1024 * 1024;
            break;
        default:
            break;
        }
        if (unit != 1) digits.pop_back();
    }
    uint64_t count = 0;
    if (!parse_number(digits.c_str(), UINT64_MAX / unit, count)) return false;
    size = count * unit;
    return true;
}

// An octal file mode such as 0660.
bool parse_mode(const char *text, int &mode) {
    if (text[0] < '0' || text[0] > '7') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 8);
    if (errno != 0 || *end != '\0' || value > 0777) return false;
    mode = static_cast<int>(value);
    return true;
}

bool parse_timeout(const char *text, uint32_t &seconds) {
    uint64_t value = 0;
    if (!parse_number(text, kMaxTimeoutSec, value) || value == 0) return false;
    seconds = static_cast<uint32_t>(value);
    return true;
}

// The list of -s, checked as the filter will use it; false with `error`
// naming the item that is refused.
bool check_servers(const std::string &text, std::string &error) {
    ServerList *list = nullptr;
    ServerListError where{};
    const ResultCode code = server_list_parse(text.c_str(), &list, &where);
    server_list_free(list);
    if (code == RC_OK) return true;
    if (code == RC_NO_MEMORY) {
        error = "-s: out of memory";
    } else if (where.length == 0) {
        error = "-s: item " + std::to_string(where.item + 1) + " of " + text +
                " is empty (servers are separated by single commas)";
    } else {
        error = "-s: bad scanning server address '" + text.substr(where.offset, where.length) +
                "' (a socket path, HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; several separated "
                "by commas)";
    }
    return false;
}

// "class=action", with the actions that the class allows.
bool parse_action(const char *text, MilterOptions &options) {
    const char *equals = std::strchr(text, '=');
    if (equals == nullptr) return false;
    std::string name(text, static_cast<size_t>(equals - text));
    std::string value(equals + 1);

    struct Class {
        const char *name;
        Action *setting;
        std::initializer_list<Action> allowed;
    };
    const Class classes[] = {
        {"infected",
         &options.infected,
         {Action::Reject, Action::Discard, Action::Accept, Action::Quarantine}},
        {"warning", &options.warning, {Action::Accept, Action::Reject, Action::Quarantine}},
        {"suspicion", &options.suspicion, {Action::Accept, Action::Reject, Action::Quarantine}},
        {"failure", &options.failure, {Action::Tempfail, Action::Accept, Action::Reject}},
        {"oversize", &options.oversize, {Action::Accept, Action::Tempfail}},
    };
    for (const Class &entry : classes) {
        if (name != entry.name) continue;
        for (Action action : entry.allowed) {
            if (value == action_name(action)) {
                *entry.setting = action;
                return true;
            }
        }
        return false;
    }
    return false;
}

// A list of items separated by commas, each of which must parse.
template <typename Item, typename Parse>
bool parse_list(const char *text, std::vector<Item> &items, Parse parse) {
    std::string list(text);
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        Item item{};
        if (!parse(list.substr(start, comma - start), item)) return false;
        items.push_back(item);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

} // namespace

bool MilterOptions::quarantines() const {
    for (Action action : {infected, warning, suspicion, failure, oversize})
        if (action == Action::Quarantine) return true;
    return false;
}

const char *action_name(Action action) {
    switch (action) {
    case Action::Accept:
        return "accept";
    case Action::Reject:
        return "reject";
    case Action::Discard:
        return "discard";
    case Action::Tempfail:
        return "tempfail";
    case Action::Quarantine:
        return "quarantine";
    }
    return "?";
}

const char *usage_text() {
    return "Usage: orvamilter -l SOCKET [options]\n"
           "       orvamilter -C [options]\n"
           "  -l SOCKET        where the mail server connects: unix:PATH or inet:PORT@HOST\n"
           "  -s ADDRESS[,...] the scanning servers: socket paths, HOST, HOST:PORT or\n"
           "                   [IPV6]:PORT; each scan goes to the next live one\n"
           "                   (default /run/orvaserver/orvaserver.sock)\n"
           "  -d DIR           folder of the messages' spool files (default "
           "/var/spool/orvamilter)\n"
           "  -g GROUP         group of the spool files, for the scanning server to read them\n"
           "  -u USER[:GROUP]  run as USER (and GROUP) once the socket is open (needs root)\n"
           "  -M MODE          mode of the filter's Unix socket, in octal (e.g. 0660)\n"
           "  -G GROUP         group of the filter's Unix socket\n"
           "  -m SIZE          largest message scanned, in bytes, or with k, M or G;\n"
           "                   0: no limit (default 25M)\n"
           "  -t SECONDS       time limit of a message's scan, connects included (default 30)\n"
           "  -T SECONDS       time-out of a connect to a scanning server (default 5)\n"
           "  -R SECONDS       how long a server that failed is left out, 0 to 3600\n"
           "                   (default 30)\n"
           "  -a CLASS=ACTION  infected=reject|discard|accept|quarantine (default reject)\n"
           "                   warning=accept|reject|quarantine, suspicion=... (default accept)\n"
           "                   failure=tempfail|accept|reject (default tempfail)\n"
           "                   oversize=accept|tempfail (default accept)\n"
           "  -r TEXT          the reject text: %s verdict and names, %v verdict, %n names,\n"
           "                   %i queue id (default \"Message refused: %s\")\n"
           "  -H MODE          the filter's headers: replace (default), add or off\n"
           "  -A               do not scan messages from authenticated senders\n"
           "  -N CIDR[,...]    do not scan messages from these client networks\n"
           "  -W ADDRESS[,...] do not scan messages whose every recipient is listed:\n"
           "                   user@domain, user@ (any domain) or @domain\n"
           "  -f               stay in the foreground\n"
           "  -e               log to standard error instead of syslog (needs -f)\n"
           "  -P FILE          write the process id to FILE\n"
           "  -C               check the configuration (spool folder, probe file, scanning\n"
           "                   server) and exit: 0 when everything works\n"
           "  -h, -v           this help, the version\n";
}

Parsed parse_options(int argc, char **argv, MilterOptions &options, std::string &error) {
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, ":l:s:d:g:m:t:T:R:a:feP:u:M:G:Cr:H:AN:W:hv")) != -1) {
        switch (option) {
        case 'l':
            options.listen = optarg;
            break;
        case 's':
            options.server = optarg;
            break;
        case 'd':
            options.spool_dir = optarg;
            break;
        case 'g':
            options.spool_group = optarg;
            break;
        case 'm':
            if (!parse_size(optarg, options.max_size)) {
                error = std::string("bad size: ") + optarg;
                return Parsed::Error;
            }
            break;
        case 't':
        case 'T':
            if (!parse_timeout(optarg,
                               option == 't' ? options.scan_timeout : options.connect_timeout)) {
                error = std::string("bad time-out (1 to 3600 seconds): ") + optarg;
                return Parsed::Error;
            }
            break;
        case 'R': {
            uint64_t seconds = 0;
            if (!parse_number(optarg, kMaxTimeoutSec, seconds)) {
                error = std::string("bad revive time (0 to 3600 seconds): ") + optarg;
                return Parsed::Error;
            }
            options.revive = static_cast<uint32_t>(seconds);
            break;
        }
        case 'a':
            if (!parse_action(optarg, options)) {
                error = std::string("bad action: ") + optarg;
                return Parsed::Error;
            }
            break;
        case 'f':
            options.foreground = true;
            break;
        case 'e':
            options.log_stderr = true;
            break;
        case 'P':
            options.pid_file = optarg;
            break;
        case 'u':
            options.run_as = optarg;
            break;
        case 'M':
            if (!parse_mode(optarg, options.socket_mode)) {
                error = std::string("bad socket mode (octal, 0 to 0777): ") + optarg;
                return Parsed::Error;
            }
            break;
        case 'G':
            options.socket_group = optarg;
            break;
        case 'C':
            options.check_only = true;
            break;
        case 'r':
            if (!valid_template(optarg)) {
                error = std::string("bad reject text (printable, %s %v %n %i only): ") + optarg;
                return Parsed::Error;
            }
            options.reject_text = optarg;
            break;
        case 'H':
            if (std::strcmp(optarg, "replace") == 0) {
                options.header_mode = HeaderMode::Replace;
            } else if (std::strcmp(optarg, "add") == 0) {
                options.header_mode = HeaderMode::Add;
            } else if (std::strcmp(optarg, "off") == 0) {
                options.header_mode = HeaderMode::Off;
            } else {
                error = std::string("bad header mode (replace, add or off): ") + optarg;
                return Parsed::Error;
            }
            break;
        case 'A':
            options.skip_authenticated = true;
            break;
        case 'N':
            if (!parse_list(optarg, options.skip_networks, parse_network)) {
                error = std::string("bad network (CIDR, IPv4 or IPv6): ") + optarg;
                return Parsed::Error;
            }
            break;
        case 'W':
            if (!parse_list(optarg, options.allowed_recipients, parse_recipient_rule)) {
                error = std::string("bad recipient (user@domain, user@ or @domain): ") + optarg;
                return Parsed::Error;
            }
            break;
        case 'h':
            return Parsed::Help;
        case 'v':
            return Parsed::Version;
        case ':':
            error = std::string("option -") + static_cast<char>(optopt) + " needs a value";
            return Parsed::Error;
        default:
            error = std::string("unknown option -") + static_cast<char>(optopt);
            return Parsed::Error;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return Parsed::Error;
    }
    if (options.listen.empty() && !options.check_only) {
        error = "-l SOCKET is required";
        return Parsed::Error;
    }
    if ((options.socket_mode >= 0 || !options.socket_group.empty()) &&
        options.listen.rfind("inet", 0) == 0) {
        error = "-M and -G apply to a Unix socket only";
        return Parsed::Error;
    }
    if (options.server.empty()) {
        error = "-s needs an address";
        return Parsed::Error;
    }
    if (!check_servers(options.server, error)) return Parsed::Error;
    if (options.log_stderr && !options.foreground) {
        error = "-e needs -f: a daemon has no standard error";
        return Parsed::Error;
    }
    return Parsed::Run;
}

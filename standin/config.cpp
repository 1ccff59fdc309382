#include "standin/config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "standin/fingerprint.h"

namespace standin {

namespace {

constexpr unsigned kMaxSlowMs = 60000;
constexpr size_t kMaxTagLength = 19;

const char kUsage[] =
    "Usage: orvaserver-standin --socket PATH [--tcp PORT] [options]\n"
    "A stand-in scanning server for tests, demonstrations and benchmarks.\n"
    "\n"
    "Where it listens (at least one of):\n"
    "  --socket PATH        Unix-domain socket; replaced at start, removed at exit.\n"
    "                       PATH appears only once the server accepts connections.\n"
    "  --tcp PORT           also listen on 127.0.0.1:PORT; 0 picks a free port.\n"
    "                       The port is printed on stdout as \"tcp-port N\".\n"
    "\n"
    "What it announces and finds:\n"
    "  --settings FILE      key = value lines: date, records, tag, signatures, key.\n"
    "                       Options on the command line win over the file.\n"
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
    "Benchmark modes:\n"
    "  --instant            answer every scan with 220 at once, without reading the file\n"
    "  --serve-cured FILE   answer every scan with FILE's bytes as a cured copy and 221\n"
    "\n"
    "  --help               show this text\n";

bool parse_unsigned(const std::string &text, uint64_t max, uint64_t &value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::vector<std::string> split_words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string trim(const std::string &text) {
    const char *blanks = " \t\r";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::streamoff size = file.tellg();
    if (size < 0) {
        error = path + ": cannot tell its size";
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    file.seekg(0);
    if (!file.read(bytes.data(), size)) {
        error = path + ": read error";
        return false;
    }
    return true;
}

// What the command line gives; unset fields are taken from the settings file.
struct CommandLine {
    std::optional<std::string> settings;
    std::optional<std::string> signatures;
    std::optional<std::string> date;
    std::optional<uint32_t> records;
    std::optional<std::string> tag;
    std::vector<std::string> keys;
    std::optional<std::string> serve_cured;
};

} // namespace

bool valid_date(const std::string &text) {
    if (text.size() != 8) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    unsigned day = std::stoul(text.substr(0, 2));
    unsigned month = std::stoul(text.substr(2, 2));
    unsigned year = std::stoul(text.substr(4, 4));
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year == 0 || month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    unsigned days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= days;
}

bool valid_tag(const std::string &text) {
    if (text.empty() || text.size() > kMaxTagLength) return false;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f) return false;
    }
    return true;
}

bool normalise_key(const std::string &text, std::string &key) {
    std::vector<std::string> words = split_words(text);
    if (words.size() != 5) return false;

    // Serial: three groups of 1 to 8 hexadecimal digits joined by '-'.
    const std::string &serial = words[0];
    size_t groups = 0, digits = 0;
    for (char c : serial) {
        if (c == '-') {
            if (digits == 0) return false;
            ++groups;
            digits = 0;
        } else if (is_hex(c) && digits < 8) {
            ++digits;
        } else {
            return false;
        }
    }
    if (digits == 0 || groups != 2) return false;

    uint64_t number = 0;
    const uint64_t u32 = std::numeric_limits<uint32_t>::max();
    if (!valid_date(words[1]) || !parse_unsigned(words[2], u32, number) || words[3].size() != 1 ||
        !parse_unsigned(words[4], u32, number))
        return false;
    auto kind = static_cast<unsigned char>(words[3][0]);
    if (kind <= 0x20 || kind >= 0x7f) return false;

    key = words[0] + " " + words[1] + " " + words[2] + " " + words[3] + " " + words[4];
    return true;
}

bool read_settings(const std::string &path, Settings &settings, std::string &error) {
    std::string text;
    if (!read_whole_file(path, text, error)) return false;
    std::istringstream lines(text);
    size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::string where = path + ":" + std::to_string(number) + ": ";
        std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        size_t equals = content.find('=');
        if (equals == std::string::npos) {
            error = where + "expected \"key = value\"";
            return false;
        }
        std::string key = trim(content.substr(0, equals));
        std::string value = trim(content.substr(equals + 1));
        if (key == "date") {
            if (!valid_date(value)) {
                error = where + "date must be a day as DDMMYYYY: '" + value + "'";
                return false;
            }
            settings.date = value;
        } else if (key == "records") {
            uint64_t records = 0;
            if (!parse_unsigned(value, std::numeric_limits<uint32_t>::max(), records)) {
                error = where + "records must be a number below 2^32: '" + value + "'";
                return false;
            }
            settings.records = static_cast<uint32_t>(records);
        } else if (key == "tag") {
            if (!valid_tag(value)) {
                error = where + "tag must be 1 to 19 printable characters: '" + value + "'";
                return false;
            }
            settings.tag = value;
        } else if (key == "signatures") {
            if (value.empty()) {
                error = where + "signatures needs a file";
                return false;
            }
            settings.signatures = value[0] == '/' ? value : folder_of(path) + value;
        } else if (key == "key") {
            std::string normalised;
            if (!normalise_key(value, normalised)) {
                error = where + "key must be \"SERIAL DATE N KIND N\": '" + value + "'";
                return false;
            }
            settings.keys.push_back(normalised);
        } else {
            error = where + "unknown setting '" + key + "'";
            return false;
        }
    }
    return true;
}

Parsed parse_command_line(const std::vector<std::string> &args, ServerConfig &config,
                          std::string &error) {
    CommandLine given;
    bool tcp_given = false;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (size_t equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inline_value = name.substr(equals + 1);
            name.resize(equals);
        }
        auto flag = [&]() {
            if (inline_value) {
                error = name + " takes no value";
                return false;
            }
            return true;
        };
        auto value = [&](std::string &out) {
            if (inline_value) {
                out = *inline_value;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t &out) {
            std::string text;
            if (!value(text)) return false;
            if (!parse_unsigned(text, max, out)) {
                error = name + ": expected a number from 0 to " + std::to_string(max) + ", not '" +
                        text + "'";
                return false;
            }
            return true;
        };

        std::string text;
        uint64_t n = 0;
        if (name == "--help" || name == "-h") {
            return Parsed::Help;
        } else if (name == "--socket") {
            if (!value(config.socket_path)) return Parsed::Error;
            if (config.socket_path.empty()) {
                error = "--socket needs a path";
                return Parsed::Error;
            }
        } else if (name == "--tcp") {
            if (!number(65535, n)) return Parsed::Error;
            config.tcp = true;
            config.tcp_port = static_cast<uint16_t>(n);
            tcp_given = true;
        } else if (name == "--settings") {
            if (!value(text)) return Parsed::Error;
            given.settings = text;
        } else if (name == "--signatures") {
            if (!value(text)) return Parsed::Error;
            given.signatures = text;
        } else if (name == "--date") {
            if (!value(text)) return Parsed::Error;
            if (!valid_date(text)) {
                error = "--date: expected a day as DDMMYYYY, not '" + text + "'";
                return Parsed::Error;
            }
            given.date = text;
        } else if (name == "--records") {
            if (!number(std::numeric_limits<uint32_t>::max(), n)) return Parsed::Error;
            given.records = static_cast<uint32_t>(n);
        } else if (name == "--tag") {
            if (!value(text)) return Parsed::Error;
            if (!valid_tag(text)) {
                error = "--tag: expected 1 to 19 printable characters without blanks, not '" +
                        text + "'";
                return Parsed::Error;
            }
            given.tag = text;
        } else if (name == "--key") {
            if (!value(text)) return Parsed::Error;
            std::string key;
            if (!normalise_key(text, key)) {
                error = "--key: expected \"SERIAL DATE N KIND N\" such as "
                        "\"1a2b-3c4d-5e6f 31122027 5 L 100\", not '" +
                        text + "'";
                return Parsed::Error;
            }
            given.keys.push_back(key);
        } else if (name == "--refuse") {
            if (!value(text)) return Parsed::Error;
            if (text == "overloaded") {
                config.refuse = Refusal::Overloaded;
            } else if (text == "not-allowed") {
                config.refuse = Refusal::NotAllowed;
            } else {
                error = "--refuse: expected overloaded or not-allowed, not '" + text + "'";
                return Parsed::Error;
            }
        } else if (name == "--slow") {
            if (!number(kMaxSlowMs, n)) return Parsed::Error;
            config.slow_ms = static_cast<unsigned>(n);
        } else if (name == "--bytewise") {
            if (!flag()) return Parsed::Error;
            config.bytewise = true;
        } else if (name == "--close-after") {
            if (!number(std::numeric_limits<uint32_t>::max(), n)) return Parsed::Error;
            config.close_after = n;
        } else if (name == "--instant") {
            if (!flag()) return Parsed::Error;
            config.instant = true;
        } else if (name == "--serve-cured") {
            if (!value(text)) return Parsed::Error;
            given.serve_cured = text;
        } else {
            error = "unknown option '" + args[i] + "'";
            return Parsed::Error;
        }
    }

    if (config.socket_path.empty() && !tcp_given) {
        error = "give --socket PATH, --tcp PORT or both";
        return Parsed::Error;
    }
    if (config.instant && given.serve_cured) {
        error = "--instant and --serve-cured exclude each other";
        return Parsed::Error;
    }

    Settings settings;
    if (given.settings && !read_settings(*given.settings, settings, error)) return Parsed::Error;
    if (auto date = given.date ? given.date : settings.date) config.date = *date;
    if (auto records = given.records ? given.records : settings.records) config.records = *records;
    if (auto tag = given.tag ? given.tag : settings.tag) config.tag = *tag;
    config.keys = given.keys.empty() ? settings.keys : given.keys;

    if (auto signatures = given.signatures ? given.signatures : settings.signatures) {
        config.signatures = builtin_signatures();
        if (!load_signature_file(*signatures, config.signatures, error)) return Parsed::Error;
    }

    if (given.serve_cured) {
        if (!read_whole_file(*given.serve_cured, config.cured_copy, error)) return Parsed::Error;
        config.serve_cured = true;
        config.cured_digest = md5_text(config.cured_copy);
    }
    return Parsed::Run;
}

const char *usage_text() {
    return kUsage;
}

} // namespace standin

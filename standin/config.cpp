#include "standin/config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "standin/fingerprint.h"
#include "standin/protocol.h"

namespace standin {

namespace {

constexpr uint64_t kMaxDelayMs = 60000;
constexpr uint64_t kMaxU32 = UINT32_MAX;
constexpr size_t kMaxTagLength = 19;

const char kUsage[] =
    "Usage: orvaserver-standin --socket PATH [--tcp PORT] [options]\n"
    "A stand-in scanning server for tests, demonstrations and benchmarks.\n"
    "It serves up to 128 clients at once; any more are greeted with 401.\n"
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
    "  --scan-delay MS      wait MS milliseconds before answering each scan, without\n"
    "                       holding a CPU; scans on other connections go on meanwhile\n"
    "  --instant            answer every scan with 220 at once, without reading the file;\n"
    "                       a NETSCAN upload is read and dropped, neither digested nor matched\n"
    "  --serve-cured FILE   answer every scan with FILE's bytes as a cured copy and 221\n"
    "\n"
    "  --help               show this text\n";

enum class Takes { Nothing, Text, Number };

// An option, named without its "--". A bad value is worded from `expected` on
// the command line ("--NAME: expected EXPECTED, not 'VALUE'"; numbers word it
// from `max`) and from `setting_rule` in a settings file ("NAME must be
// SETTING_RULE: 'VALUE'"), which holds only the options that have one.
struct OptionSpec {
    std::string_view name;
    Takes takes;
    uint64_t max = 0;
    const char *expected = nullptr;
    const char *setting_rule = nullptr;
};

constexpr OptionSpec kOptions[] = {
    {"socket", Takes::Text},
    {"tcp", Takes::Number, 65535},
    {"settings", Takes::Text},
    {"signatures", Takes::Text, 0, nullptr, "a file"},
    {"date", Takes::Text, 0, "a day as DDMMYYYY", "a day as DDMMYYYY"},
    {"records", Takes::Number, kMaxU32, nullptr, "a number below 2^32"},
    {"tag", Takes::Text, 0, "1 to 19 printable characters without blanks",
     "1 to 19 printable characters"},
    {"key", Takes::Text, 0, "\"SERIAL DATE N KIND N\" such as \"1a2b-3c4d-5e6f 31122027 5 L 100\"",
     "\"SERIAL DATE N KIND N\""},
    {"refuse", Takes::Text, 0, "overloaded or not-allowed"},
    {"slow", Takes::Number, kMaxDelayMs},
    {"scan-delay", Takes::Number, kMaxDelayMs},
    {"bytewise", Takes::Nothing},
    {"close-after", Takes::Number, kMaxU32},
    {"instant", Takes::Nothing},
    {"serve-cured", Takes::Text},
};

const OptionSpec *find_option(std::string_view name) {
    for (const OptionSpec &spec : kOptions)
        if (spec.name == name) return &spec;
    return nullptr;
}

std::string trim(const std::string &text) {
    const char *blanks = " \t\r";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The whole content of a file; what went wrong is named with its path.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0) bytes.reserve(static_cast<size_t>(info.st_size));
    char piece[65536];
    ssize_t n = -1;
    while (fd >= 0 && ((n = ::read(fd, piece, sizeof piece)) > 0 || (n < 0 && errno == EINTR)))
        bytes.append(piece, n > 0 ? static_cast<size_t>(n) : 0);
    int cause = errno;
    if (fd >= 0) ::close(fd);
    if (n < 0) error = path + ": " + std::strerror(cause);
    return n == 0;
}

// Reads options into the configuration, from the command line and, through
// the same code, from a settings file, and keeps the names of the files to
// load once every option is known.
class OptionReader {
  public:
    OptionReader(ServerConfig &config, std::string &error) : config_(config), error_(error) {}

    Parsed read_arguments(const std::vector<std::string> &args);
    bool read_settings();
    bool load_files();

  private:
    // Checks the value and stores it, or words why it is wrong.
    bool set(const OptionSpec &spec, const std::string &value);
    // Stores a value whose form `set` has checked; false when it is not one
    // of the values the option takes.
    bool store(std::string_view name, const std::string &value, uint64_t number);

    ServerConfig &config_;
    std::string &error_;
    std::string where_;                // "<file>:<line>: " while a settings file is read
    std::set<std::string_view> given_; // options the command line has given
    std::optional<std::string> settings_, signatures_, serve_cured_;
};

Parsed OptionReader::read_arguments(const std::vector<std::string> &args) {
    auto fail = [&](const std::string &text) {
        error_ = text;
        return Parsed::Error;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        bool dashes = name.rfind("--", 0) == 0;
        if (size_t equals = name.find('='); dashes && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "--help" || name == "-h") return Parsed::Help;
        const OptionSpec *spec = dashes ? find_option(std::string_view(name).substr(2)) : nullptr;
        if (spec == nullptr) return fail("unknown option '" + args[i] + "'");
        if (spec->takes == Takes::Nothing && value) return fail(name + " takes no value");
        if (spec->takes != Takes::Nothing && !value) {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }
        if (!set(*spec, value.value_or(""))) return Parsed::Error;
        given_.insert(spec->name);
    }
    if (config_.socket_path.empty() && !config_.tcp)
        return fail("give --socket PATH, --tcp PORT or both");
    if (config_.instant && serve_cured_)
        return fail("--instant and --serve-cured exclude each other");
    return Parsed::Run;
}

bool OptionReader::set(const OptionSpec &spec, const std::string &value) {
    std::string name(spec.name);
    auto refuse = [&](const std::string &text) {
        error_ = text;
        return false;
    };
    if (value.empty() && name == "socket") return refuse("--socket needs a path");
    if (value.empty() && name == "signatures" && !where_.empty())
        return refuse(where_ + "signatures needs a file");
    uint64_t number = 0;
    if ((spec.takes != Takes::Number || parse_unsigned(value, spec.max, number)) &&
        store(spec.name, value, number))
        return true;
    if (!where_.empty())
        return refuse(where_ + name + " must be " + spec.setting_rule + ": '" + value + "'");
    std::string expected =
        spec.expected ? spec.expected : "a number from 0 to " + std::to_string(spec.max);
    return refuse("--" + name + ": expected " + expected + ", not '" + value + "'");
}

bool OptionReader::store(std::string_view name, const std::string &value, uint64_t number) {
    auto put = [](auto &field, auto given) {
        field = given;
        return true;
    };
    std::string key;
    if (name == "socket") return put(config_.socket_path, value);
    if (name == "tcp")
        return put(config_.tcp, true) && put(config_.tcp_port, static_cast<uint16_t>(number));
    if (name == "settings") return put(settings_, value);
    if (name == "signatures") return put(signatures_, value);
    if (name == "date") return valid_date(value) && put(config_.date, value);
    if (name == "records") return put(config_.records, static_cast<uint32_t>(number));
    if (name == "tag") return valid_tag(value) && put(config_.tag, value);
    if (name == "key") return normalise_key(value, key) && put(config_.keys.emplace_back(), key);
    if (name == "refuse")
        return (value == "overloaded" && put(config_.refuse, Refusal::Overloaded)) ||
               (value == "not-allowed" && put(config_.refuse, Refusal::NotAllowed));
    if (name == "slow") return put(config_.slow_ms, static_cast<unsigned>(number));
    if (name == "scan-delay") return put(config_.scan_delay_ms, static_cast<unsigned>(number));
    if (name == "bytewise") return put(config_.bytewise, true);
    if (name == "close-after") return put(config_.close_after, number);
    if (name == "instant") return put(config_.instant, true);
    return put(serve_cured_, value);
}

// A setting that the command line has given is checked but not kept.
bool OptionReader::read_settings() {
    std::string text;
    if (!settings_) return true;
    if (!read_whole_file(*settings_, text, error_)) return false;
    ServerConfig unused;
    OptionReader overridden(unused, error_);
    std::istringstream lines(text);
    size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        std::string where = *settings_ + ":" + std::to_string(++number) + ": ";
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error_ = where + "expected \"key = value\"";
            return false;
        }
        std::string key = trim(line.substr(0, equals)), value = trim(line.substr(equals + 1));
        const OptionSpec *spec = find_option(key);
        if (spec == nullptr || spec->setting_rule == nullptr) {
            error_ = where + "unknown setting '" + key + "'";
            return false;
        }
        if (key == "signatures" && !value.empty() && value[0] != '/')
            value = settings_->substr(0, settings_->rfind('/') + 1) + value;
        OptionReader &reader = given_.count(spec->name) ? overridden : *this;
        reader.where_ = where;
        if (!reader.set(*spec, value)) return false;
    }
    return true;
}

bool OptionReader::load_files() {
    if (signatures_ && !load_signature_file(*signatures_, config_.signatures, error_)) return false;
    if (!serve_cured_) return true;
    if (!read_whole_file(*serve_cured_, config_.cured_copy, error_)) return false;
    config_.serve_cured = true;
    config_.cured_digest = md5_text(config_.cured_copy);
    return true;
}

} // namespace

bool valid_date(const std::string &text) {
    uint64_t number = 0;
    if (text.size() != 8 || !parse_unsigned(text, UINT64_MAX, number)) return false;
    uint64_t day = number / 1000000, month = number / 10000 % 100, year = number % 10000;
    static const uint64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year == 0 || month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
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
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.size() != 5) return false;

    // Serial: three groups of 1 to 8 hexadecimal digits joined by '-'.
    char group[3][9];
    int end = 0;
    uint64_t number = 0;
    if (std::sscanf(words[0].c_str(), "%8[0-9a-fA-F]-%8[0-9a-fA-F]-%8[0-9a-fA-F]%n", group[0],
                    group[1], group[2], &end) != 3 ||
        static_cast<size_t>(end) != words[0].size() || !valid_date(words[1]) ||
        !parse_unsigned(words[2], kMaxU32, number) || words[3].size() != 1 ||
        !parse_unsigned(words[4], kMaxU32, number))
        return false;
    auto kind = static_cast<unsigned char>(words[3][0]);
    if (kind <= 0x20 || kind >= 0x7f) return false;

    key = words[0] + " " + words[1] + " " + words[2] + " " + words[3] + " " + words[4];
    return true;
}

Parsed parse_command_line(const std::vector<std::string> &args, ServerConfig &config,
                          std::string &error) {
    OptionReader reader(config, error);
    Parsed parsed = reader.read_arguments(args);
    if (parsed != Parsed::Run) return parsed;
    return reader.read_settings() && reader.load_files() ? Parsed::Run : Parsed::Error;
}

const char *usage_text() {
    return kUsage;
}

} // namespace standin

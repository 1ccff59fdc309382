#include "milter/policy.h"

#include <arpa/inet.h>
#include <cstring>
#include <strings.h>

namespace {

// An address as 16 bytes, IPv4 ones mapped; false when it is neither form.
bool parse_address(std::string text, uint8_t bytes[16], bool &v4) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.size() > 5 && strncasecmp(text.c_str(), "IPv6:", 5) == 0) text = text.substr(5);
    in_addr four{};
    if (inet_pton(AF_INET, text.c_str(), &four) == 1) {
        std::memset(bytes, 0, 10);
        bytes[10] = bytes[11] = 0xff;
        std::memcpy(bytes + 12, &four, 4);
        v4 = true;
        return true;
    }
    in6_addr six{};
    if (inet_pton(AF_INET6, text.c_str(), &six) != 1) return false;
    std::memcpy(bytes, &six, 16);
    v4 = false;
    return true;
}

bool contains(const Network &network, const uint8_t bytes[16]) {
    unsigned bits = network.prefix;
    for (unsigned index = 0; index < 16 && bits > 0; ++index) {
        unsigned take = bits >= 8 ? 8 : bits;
        auto mask = static_cast<uint8_t>(0xff << (8 - take));
        if ((bytes[index] & mask) != (network.bytes[index] & mask)) return false;
        bits -= take;
    }
    return true;
}

std::string lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

bool parse_network(const std::string &text, Network &network) {
    const size_t slash = text.find('/');
    bool v4 = false;
    if (!parse_address(text.substr(0, slash), network.bytes, v4)) return false;
    const unsigned width = v4 ? 32 : 128;
    unsigned prefix = width;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        prefix = static_cast<unsigned>(std::stoul(digits));
        if (prefix > width) return false;
    }
    network.prefix = prefix + (128 - width);
    return true;
}

bool in_networks(const std::vector<Network> &networks, const std::string &address) {
    uint8_t bytes[16];
    bool v4 = false;
    if (!parse_address(address, bytes, v4)) return false;
    for (const Network &network : networks)
        if (contains(network, bytes)) return true;
    return false;
}

bool parse_recipient_rule(const std::string &text, std::string &rule) {
    if (text.find('@') == std::string::npos || text == "@" ||
        text.find_first_of(" \t<>,") != std::string::npos)
        return false;
    rule = lower(text);
    return true;
}

bool recipient_allowed(const std::vector<std::string> &rules, const std::string &address) {
    std::string text = address;
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>')
        text = text.substr(1, text.size() - 2);
    text = lower(text);
    const size_t at = text.rfind('@');
    if (at == std::string::npos) return false;
    const std::string local = text.substr(0, at + 1);
    const std::string domain = text.substr(at);
    for (const std::string &rule : rules) {
        if (rule == text) return true;
        if (rule.back() == '@' && rule == local) return true;
        if (rule.front() == '@' && rule == domain) return true;
    }
    return false;
}

bool valid_template(const std::string &text) {
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c < ' ' || c > '~') return false;
        if (c != '%') continue;
        if (at + 1 == text.size() || std::strchr("vnsi", text[at + 1]) == nullptr) return false;
        ++at;
    }
    return true;
}

std::string expand_template(const std::string &text, const TemplateValues &values) {
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%' || at + 1 == text.size()) {
            out += text[at];
            continue;
        }
        switch (text[++at]) {
        case 'v':
            out += values.verdict;
            break;
        case 'n':
            out += values.names;
            break;
        case 's':
            out += values.status;
            break;
        case 'i':
            out += values.queue_id;
            break;
        default:
            break;
        }
    }
    return out;
}

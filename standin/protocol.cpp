#include "standin/protocol.h"

namespace standin {

std::string reply_line(int code, bool final, std::string_view text) {
    std::string line = std::to_string(code);
    line += final ? ' ' : '-';
    line += text;
    line += "\r\n";
    return line;
}

bool parse_unsigned(std::string_view text, uint64_t max, uint64_t &value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        auto digit = static_cast<unsigned>(c - '0');
        if (digit > max || result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_digest(std::string_view text) {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!is_hex_digit(c)) return false;
    return true;
}

} // namespace standin

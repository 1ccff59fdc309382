// The rules that decide who is not scanned and how a refusal reads: client
// networks, an allow list of recipients, and the reply text's template.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An IPv4 or IPv6 network in CIDR form. IPv4 networks are kept as
// IPv4-mapped IPv6 ones, so that "::ffff:192.0.2.1" is found in 192.0.2.0/24.
struct Network {
    uint8_t bytes[16] = {};
    unsigned prefix = 0; // bits, of the 128
};

// "192.0.2.0/24", "2001:db8::/32", or an address alone (the whole address).
bool parse_network(const std::string &text, Network &network);

// Whether the client address, as a mail server's macro gives it ("192.0.2.1",
// "2001:db8::1", "IPv6:2001:db8::1", "[192.0.2.1]"), is in one of the
// networks. An address that does not parse is in none.
bool in_networks(const std::vector<Network> &networks, const std::string &address);

// An allow-list entry: "local@domain" (that address), "local@" (that local
// part at any domain) or "@domain" (every address at the domain); kept in
// lower case. False for an entry without "@", or "@" alone.
bool parse_recipient_rule(const std::string &text, std::string &rule);

// Whether the envelope address (angle brackets allowed) matches a rule,
// ignoring case.
bool recipient_allowed(const std::vector<std::string> &rules, const std::string &address);

// A reply-text template: printable ASCII, with %v (the verdict), %n (the
// names found, separated by blanks), %s (the verdict followed by the names)
// and %i (the queue id); no other use of "%".
bool valid_template(const std::string &text);

struct TemplateValues {
    std::string verdict;
    std::string names;
    std::string status;
    std::string queue_id;
};

std::string expand_template(const std::string &text, const TemplateValues &values);

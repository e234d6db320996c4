// The replacements that cleaning a report gives the identifiers of one
// machine: host names and domains, serial numbers and UUIDs, user names,
// keywords, hardware addresses, IPv4 and IPv6 addresses. Identifiers are
// noted first (the first pass over a report) and then all get their
// replacements at once, so that no replacement can equal an identifier of
// the report. The map is saved as JSON and can be read back, so that the
// next report of the same machine gets the same replacements.
//
// Addresses keep the shape of their subnets: every network the report names
// (an interface's address and netmask, a route) is mapped to a network of
// the same prefix length, and an address to the same host part in the mapped
// network; an address outside every known network counts as part of its /24
// (IPv4) or /64 (IPv6). IPv4 replacements come from 10.0.0.0 upwards, IPv6
// ones from the documentation prefix 2001:db8::/32, never from a block that
// holds an address of the report. Interface identifiers of IPv6 addresses
// in networks of /80 or wider (they may embed a MAC address) are replaced
// too, by ::1:0:0 onwards, except small ones below ::1:0 such as ::1 or ::15;
// link-local networks (fe80::/64) stay as they are.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

enum class identifier_kind { host, domain, serial, uuid, user, keyword, hardware_address };

using ipv6_value = unsigned __int128;

struct text_identifier {
    identifier_kind kind;
    std::string original;     // a UUID as 32 lower-case hexadecimal digits
    std::string replacement;  // empty until assigned
};

// Addresses of one family and the networks they belong to.
template <typename V>
struct address_space {
    static constexpr int bits = static_cast<int>(sizeof(V) * 8);

    std::set<V> noted;
    std::set<std::pair<int, V>> noted_networks;  // (prefix, base)
    std::map<std::pair<int, V>, V> networks;     // (prefix, base) -> replacement base
    std::map<V, V> addresses;
    std::map<V, V> hosts;                        // interface identifiers (IPv6)
    std::map<V, V> taken;                        // blocks never handed out: first -> last
    std::map<int, V> cursors;                    // per prefix: where the next search starts
    V next_host = 0;                             // the next replacement host part (0: none given yet)
};

class clean_map {
public:
    // The first pass: originals. Texts are compared without regard to case.
    void note_text(identifier_kind kind, std::string_view original);
    void note_mac(uint64_t mac);
    void note_ipv4(uint32_t address);
    void note_ipv4_network(uint32_t address, int prefix);
    void note_ipv6(ipv6_value address);
    void note_ipv6_network(ipv6_value address, int prefix);

    // Gives every noted identifier its replacement (those read from a saved
    // map keep theirs). False when the address pools run out.
    bool assign(std::string* problem);

    const std::vector<text_identifier>& texts() const { return texts_; }
    bool ipv4(uint32_t address, uint32_t* replacement) const;
    bool ipv6(ipv6_value address, ipv6_value* replacement) const;
    bool mac(uint64_t address, uint64_t* replacement) const;
    // Whether the text (any case) is an identifier or its replacement.
    bool known_text(std::string_view text) const;

    std::string to_json() const;
    // Reads a map saved by to_json; on failure the map is unchanged.
    bool from_json(std::string_view json, std::string* problem);

    struct counts {
        int host_names = 0, addresses = 0, hardware_addresses = 0, serials = 0, users = 0, keywords = 0;
    };
    counts replaced() const;

    // Address special cases that are never replaced: unspecified, loopback,
    // multicast, netmasks (and, for IPv6, the IPv4-mapped forms).
    static bool special_ipv4(uint32_t address);
    static bool special_ipv6(ipv6_value address);
    static bool special_mac(uint64_t address);

private:
    bool add_text(identifier_kind kind, std::string_view original, std::string_view replacement);

    std::vector<text_identifier> texts_;
    std::unordered_map<std::string, size_t> text_index_;  // lower-case original -> texts_
    std::set<std::string> used_replacements_;             // lower case
    std::set<uint64_t> noted_macs_;
    std::map<uint64_t, uint64_t> macs_;
    address_space<uint32_t> v4_;
    address_space<ipv6_value> v6_;
};

// Address texts.
std::string ipv4_text(uint32_t address);
std::string ipv6_text(ipv6_value address);
bool parse_ipv4(std::string_view text, uint32_t* address);
bool parse_ipv6(std::string_view text, ipv6_value* address);
// The prefix length of a contiguous netmask ("255.255.255.0", "ffff:ffff::"), or -1.
int ipv4_prefix(uint32_t netmask);
int ipv6_prefix(ipv6_value netmask);
// "52:54:00:12:34:56" as a number, in the same order.
std::string mac_text(uint64_t address);

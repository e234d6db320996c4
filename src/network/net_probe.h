// The network probe: interfaces, their statistics, and the IPv4 and IPv6
// addresses and routes, read from route netlink dumps and written as four
// tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "network/link_details.h"
#include "network/netlink.h"
#include "probes/probe.h"

constexpr int link_statistics_count = 23;  // counters of the kernel's link statistics block
constexpr int shown_statistics_count = 10;

// One network interface, from one link message.
struct InterfaceRecord {
    int32_t index = 0;
    std::string name;
    std::string hardware_type;
    std::string hardware_address;
    int32_t mtu = 0;
    std::string flags;
    uint32_t statistics[link_statistics_count] = {};
    // The 64-bit counters, in the same order, when the kernel gives them.
    bool has_statistics64 = false;
    uint64_t statistics64[shown_statistics_count] = {};
    int32_t master = 0;       // index of the bond or bridge it belongs to; 0: none
    int32_t lower_link = 0;   // index of the device a VLAN sits on; 0: none
    std::string kind;         // "bond", "bridge", "vlan", ...; empty for plain devices
    int32_t vlan_id = -1;
    link_details details;     // filled by collect_interfaces
};

// One address, from one address message.
struct AddressRow {
    int32_t index = 0;
    int32_t prefix_length = 0;
    std::string family;
    std::string label;
    std::string address;
    std::string netmask;
    std::string broadcast;
};

// One route, from one route message.
struct RouteRow {
    std::string destination;
    std::string gateway;
    std::string netmask;
    std::string scope;
    std::string type;
    int32_t output_interface = 0;
};

class net_probe : public probe {
public:
    net_probe(probe_section& section, const char* name, int32_t level);
    bool test() override;  // always true: without netlink the tables stay empty
    bool run() override;   // true when any table has a row

    // Fills interface_list from one link dump, in dump order.
    void collect_interfaces();
    // The name of the interface with this index, or "unknown".
    const char* interface_name(int32_t index) const;

    std::vector<InterfaceRecord> interface_list;

private:
    void write_interfaces() const;
    void write_statistics() const;
    void write_members() const;
    int write_addresses() const;
    int write_routes() const;

    std::unordered_map<int32_t, size_t> by_index_;
};

// Each takes the next message of its dump and decodes it into row: 0 when a
// row was decoded, 1 at the end of the dump, negative on failure (a failed
// send or receive, an error reply, or a malformed message).
int parse_link_message(NetlinkBuffer* nlb, InterfaceRecord& row);
// Address and route dumps are asked for one family (AF_INET, AF_INET6).
int parse_address_message(NetlinkBuffer* nlb, AddressRow& row, uint8_t family = 2);
int parse_route_message(NetlinkBuffer* nlb, RouteRow& row, uint8_t family = 2);

// Bytes as "xx:xx:...", as many whole bytes as fit in limit - 1 characters.
std::string format_hw_address(const unsigned char* bytes, size_t length, size_t limit = 25);
// An IPv4 or IPv6 address in its usual form; other families, and payloads
// too short for their family, as hardware address text.
std::string format_address(int family, const unsigned char* payload, size_t length);
// The IPv4 netmask of a prefix length (lengths above 32 count as 32).
std::string prefix_netmask(int32_t prefix_length);
// The netmask of a prefix length in the family's form: IPv6 masks as IPv6
// text ("ffff:ffff:ffff:ffff::" for 64), others as prefix_netmask.
std::string family_netmask(int family, int32_t prefix_length);
// The names of the set interface flags, blank-separated, at most 129 characters.
std::string interface_flags_text(uint32_t flags);
std::string hardware_type_name(uint32_t type);
std::string route_scope_name(uint32_t scope);
std::string route_type_name(uint32_t type);
const char* address_family_name(int family);

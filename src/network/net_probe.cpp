#include "network/net_probe.h"

#include <algorithm>
#include <array>
#include <arpa/inet.h>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include "base/hex_dump.h"
#include "base/run_context.h"
#include "report/report_table.h"

namespace {

// Links are listed once whatever the family; addresses and routes are
// dumped for each of these families in turn, into the same tables.
constexpr uint8_t link_family = AF_INET;
constexpr uint8_t dump_families[] = {AF_INET, AF_INET6};

struct named_value {
    uint32_t value;
    const char* name;
};

// The first name given to value, or null.
template <size_t N>
const char* name_of(const named_value (&table)[N], uint32_t value) {
    for (const named_value& entry : table)
        if (entry.value == value) return entry.name;
    return nullptr;
}

const named_value hardware_types[] = {
    {0, "unspec"},     {1, "ether"},      {2, "eether"},     {3, "ax25"},       {4, "pronet"},
    {5, "chaos"},      {6, "tr"},         {7, "arcnet"},     {8, "atalk"},      {15, "dlci"},
    {19, "atm"},       {23, "metricom"},  {24, "ieee1394"},  {256, "slip"},     {257, "cslip"},
    {258, "slip6"},    {259, "cslip6"},   {260, "rsrvd"},    {264, "adapt"},    {270, "rose"},
    {271, "x25"},      {272, "hwx25"},    {512, "ppp"},      {513, "hdlc"},     {516, "lapb"},
    {517, "ddcmp"},    {518, "rawhdlc"},  {768, "ipip"},     {769, "tunnel6"},  {770, "frad"},
    {771, "skip"},     {772, "loopback"}, {773, "ltalk"},    {774, "fddi"},     {775, "bif"},
    {776, "sit"},      {777, "ip/ddp"},   {778, "gre"},      {779, "pimreg"},   {780, "hippi"},
    {781, "ash"},      {782, "econet"},   {783, "irda"},     {784, "fcpp"},     {785, "fcal"},
    {786, "fcpl"},     {787, "fcfb0"},    {788, "fcfb1"},    {789, "fcfb2"},    {790, "fcfb3"},
    {791, "fcfb4"},    {792, "fcfb5"},    {793, "fcfb6"},    {794, "fcfb7"},    {795, "fcfb8"},
    {796, "fcfb9"},    {797, "fcfb10"},   {798, "fcfb11"},   {799, "fcfb12"},   {800, "tr"},
    {801, "ieee802.11"}, {65535, "void"},
};

// Interface flags in the order they are listed.
const named_value interface_flags[] = {
    {0x1, "UP "},          {0x40, "RUNNING "},      {0x8, "LOOPBACK "},    {0x2, "BROADCAST "},
    {0x10, "POINTOPOINT "}, {0x1000, "MULTICAST "},  {0x80, "NOARP "},      {0x200, "ALLMULTI "},
    {0x100, "PROMISC "},   {0x400, "MASTER "},      {0x800, "SLAVE "},     {0x4, "DEBUG "},
    {0x8000, "DYNAMIC "},  {0x4000, "AUTOMEDIA "},  {0x2000, "PORTSEL "},  {0x20, "NOTRAILERS "},
};
constexpr size_t flags_text_limit = 129;

const named_value route_scopes[] = {{0, "universe"}, {253, "link"}, {254, "host"}};

const named_value route_types[] = {
    {1, "unicast"},      {2, "local"},       {3, "broadcast"}, {4, "anycast"},
    {5, "multicast"},    {6, "drop"},        {7, "unreachable"}, {8, "prohibited"},
    {9, "throw"},        {10, "nat"},        {11, "external"},
};

std::string formatted(const char* format, uint32_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A text attribute: up to limit characters, ending at its first zero byte.
std::string bounded_text(const unsigned char* payload, size_t length, size_t limit) {
    const char* text = reinterpret_cast<const char*>(payload);
    return std::string(text, strnlen(text, length < limit ? length : limit));
}

// A 32-bit attribute; a shorter payload leaves value unchanged.
template <typename T>
void read_value(const unsigned char* payload, size_t length, T& value) {
    if (length >= sizeof value) std::memcpy(&value, payload, sizeof value);
}

// Takes the next message of a dump and checks that it is a reply of the
// expected type with its whole fixed body. 0 with the header and body filled
// in, or the result that ends the dump.
template <typename Body>
int take_message(NetlinkBuffer* nlb, uint16_t request, uint8_t family, uint16_t expected, netlink_header& header,
                 Body& body) {
    int rc = netlink_next_message(nlb, request, family);
    if (rc != 0) return rc;
    debug_printf("Processing message at offset %d\n", nlb->position);
    header = message_header(nlb);
    trace_message_header(header);
    rc = check_message_type(nlb->buffer + nlb->position, expected);
    if (rc != 0) return rc;
    if (header.length < netlink_header_size + sizeof body) {
        debug_printf("message at offset %d too short for its body\n", nlb->position);
        return -1;
    }
    std::memcpy(&body, nlb->buffer + nlb->position + netlink_header_size, sizeof body);
    return 0;
}

// Calls handle(type, payload, payload length) for each attribute of the
// message at the read position, after its fixed body, tracing each one; then
// moves past the message. An attribute that runs past its message ends the
// walk of that message only: what came before it stays, and the dump goes on
// with the next message. Gives 0.
template <typename Handler>
int walk_attributes(NetlinkBuffer* nlb, const netlink_header& header, size_t body_size, Handler handle) {
    const unsigned char* message = nlb->buffer + nlb->position;
    const size_t start = netlink_header_size + body_size;
    int32_t remaining = static_cast<int32_t>(header.length) - static_cast<int32_t>(start);
    const unsigned char* at = message + start;
    while (remaining > 0) {
        rtattr attribute{};
        if (remaining >= static_cast<int32_t>(sizeof attribute))
            std::memcpy(&attribute, at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > remaining) {
            debug_printf("attribute at offset %d runs past its message\n", static_cast<int>(at - message));
            break;
        }
        debug_printf("len = %d\trta_len: %hd\trta_type: %hd\n", remaining, attribute.rta_len,
                     attribute.rta_type);
        const unsigned char* payload = at + sizeof attribute;
        size_t payload_length = attribute.rta_len - sizeof attribute;
        hex_dump(debug_output(), payload, payload_length);
        handle(attribute.rta_type, payload, payload_length);
        int32_t step = (attribute.rta_len + 3) & ~3;
        at += step;
        remaining -= step;
    }
    netlink_advance(nlb, header.length);
    return 0;
}

void start_table(report_table& table, std::initializer_list<std::pair<const char*, ColumnType>> columns) {
    table.start_heading();
    for (const auto& [name, type] : columns) table.add_column(name, type);
    table.end_heading();
}

// One dump into rows: open, parse until the dump ends or fails, close.
// write gets each decoded row. Gives the number of rows.
template <typename Row, typename Write>
int dump_rows(int (*parse)(NetlinkBuffer*, Row&, uint8_t), uint8_t family, Write write) {
    NetlinkBuffer* nlb = netlink_open();
    if (!nlb) return 0;
    int rows = 0;
    for (;;) {
        Row row;
        if (parse(nlb, row, family) != 0) break;
        write(row);
        ++rows;
    }
    netlink_close(nlb);
    return rows;
}

}  // namespace

std::string format_hw_address(const unsigned char* bytes, size_t length, size_t limit) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length && text.size() + 3 <= limit; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xf];
        if (i + 1 < length) text += ':';
    }
    return text;
}

std::string format_address(int family, const unsigned char* payload, size_t length) {
    constexpr size_t limit = 47;
    size_t needed = family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
    if (needed == 0 || length < needed) return format_hw_address(payload, length, limit);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family, payload, text, sizeof text);
    return text;
}

std::string prefix_netmask(int32_t prefix_length) {
    uint32_t mask = 0;
    if (prefix_length > 0) mask = prefix_length >= 32 ? 0xffffffffu : ~(0xffffffffu >> prefix_length);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", mask >> 24, (mask >> 16) & 0xff, (mask >> 8) & 0xff,
                  mask & 0xff);
    return text;
}

std::string family_netmask(int family, int32_t prefix_length) {
    if (family != AF_INET6) return prefix_netmask(prefix_length);
    unsigned char mask[16] = {};
    int bits = prefix_length < 0 ? 0 : prefix_length > 128 ? 128 : prefix_length;
    for (int i = 0; i < bits; ++i) mask[i / 8] = static_cast<unsigned char>(mask[i / 8] | 0x80 >> (i % 8));
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, mask, text, sizeof text);
    return text;
}

std::string interface_flags_text(uint32_t flags) {
    std::string text;
    for (const named_value& flag : interface_flags)
        if (flags & flag.value) text += flag.name;
    if (text.size() > flags_text_limit) text.resize(flags_text_limit);
    if (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string hardware_type_name(uint32_t type) {
    const char* name = name_of(hardware_types, type);
    return name ? name : formatted("uknown type %d", type);
}

std::string route_scope_name(uint32_t scope) {
    const char* name = name_of(route_scopes, scope);
    return name ? name : formatted("%d", scope);
}

std::string route_type_name(uint32_t type) {
    const char* name = name_of(route_types, type);
    return name ? name : formatted("%#0x", type);
}

const char* address_family_name(int family) {
    return family == AF_INET ? "inet" : family == AF_INET6 ? "inet6" : "unknown";
}

namespace {

// Calls handle(type, payload, length) for each attribute nested in a
// payload, stopping at one that runs past it.
template <typename Handler>
void walk_nested(const unsigned char* payload, size_t length, Handler handle) {
    size_t at = 0;
    while (length - at >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, payload + at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > length - at) return;
        handle(static_cast<uint16_t>(attribute.rta_type & NLA_TYPE_MASK), payload + at + sizeof attribute,
               attribute.rta_len - sizeof attribute);
        at += (attribute.rta_len + 3u) & ~3u;
        if (at > length) return;
    }
}

// The kind of a link ("bond", "vlan", ...) and a VLAN's ID, nested in its
// link information.
void decode_link_info(const unsigned char* payload, size_t length, InterfaceRecord& row) {
    walk_nested(payload, length, [&row](uint16_t type, const unsigned char* data, size_t size) {
        if (type == IFLA_INFO_KIND) row.kind = bounded_text(data, size, 16);
        if (type != IFLA_INFO_DATA || row.kind != "vlan") return;
        walk_nested(data, size, [&row](uint16_t vlan_type, const unsigned char* value, size_t value_size) {
            uint16_t id = 0;
            if (vlan_type == IFLA_VLAN_ID && value_size >= sizeof id) {
                std::memcpy(&id, value, sizeof id);
                row.vlan_id = id;
            }
        });
    });
}

}  // namespace

int parse_link_message(NetlinkBuffer* nlb, InterfaceRecord& row) {
    netlink_header header;
    ifinfomsg body;
    int rc = take_message(nlb, request_links, link_family, reply_link, header, body);
    if (rc != 0) return rc;
    row.index = body.ifi_index;
    row.hardware_type = hardware_type_name(body.ifi_type);
    row.flags = interface_flags_text(body.ifi_flags);
    auto decode = [&row](uint16_t type, const unsigned char* payload, size_t length) {
        switch (type) {
            case IFLA_ADDRESS:
                debug_printf("\taddress\n");
                row.hardware_address = format_hw_address(payload, length);
                break;
            case IFLA_IFNAME:
                debug_printf("\tinterface\n");
                row.name = bounded_text(payload, length, 16);
                break;
            case IFLA_MTU:
                debug_printf("\tmtu\n");
                read_value(payload, length, row.mtu);
                break;
            case IFLA_STATS:
                // The kernel's block may be longer (newer counters) or, from
                // a damaged reply, shorter: copy what both hold.
                debug_printf("\tstats\n");
                std::memcpy(row.statistics, payload, std::min(length, sizeof row.statistics));
                break;
            case IFLA_STATS64:
                // Counters that do not wrap at 4 GiB; a block too short for
                // the shown ones is ignored.
                debug_printf("\tstats64\n");
                if (length >= sizeof row.statistics64) {
                    std::memcpy(row.statistics64, payload, sizeof row.statistics64);
                    row.has_statistics64 = true;
                }
                break;
            case IFLA_MASTER:
                read_value(payload, length, row.master);
                break;
            case IFLA_LINK:
                read_value(payload, length, row.lower_link);
                break;
            case IFLA_LINKINFO:
                decode_link_info(payload, length, row);
                break;
        }
    };
    return walk_attributes(nlb, header, sizeof body, decode);
}

int parse_address_message(NetlinkBuffer* nlb, AddressRow& row, uint8_t request_family) {
    netlink_header header;
    ifaddrmsg body;
    int rc = take_message(nlb, request_addresses, request_family, reply_address, header, body);
    if (rc != 0) return rc;
    row.index = static_cast<int32_t>(body.ifa_index);
    row.prefix_length = body.ifa_prefixlen;
    row.netmask = family_netmask(body.ifa_family, body.ifa_prefixlen);
    row.family = address_family_name(body.ifa_family);
    const int family = body.ifa_family;
    std::string address;
    auto decode = [&row, &address, family](uint16_t type, const unsigned char* payload, size_t length) {
        switch (type) {
            case IFA_ADDRESS:  // the peer on point-to-point links, else the local address again
                debug_printf("\taddress\n");
                address = format_address(family, payload, length);
                break;
            case IFA_LOCAL:
                debug_printf("\tlocal address\n");
                row.address = format_address(family, payload, length);
                break;
            case IFA_LABEL:
                debug_printf("\tlabel\n");
                row.label = bounded_text(payload, length, 16);
                break;
            case IFA_BROADCAST:
                debug_printf("\tbroadcast\n");
                row.broadcast = format_address(family, payload, length);
                break;
        }
    };
    rc = walk_attributes(nlb, header, sizeof body, decode);
    // IPv6 addresses come without a local address attribute: theirs is
    // the address attribute.
    if (row.address.empty()) row.address = address;
    return rc;
}

int parse_route_message(NetlinkBuffer* nlb, RouteRow& row, uint8_t request_family) {
    netlink_header header;
    rtmsg body;
    int rc = take_message(nlb, request_routes, request_family, reply_route, header, body);
    if (rc != 0) return rc;
    hex_dump(debug_output(), reinterpret_cast<const unsigned char*>(&body), sizeof body);
    row.netmask = family_netmask(body.rtm_family, body.rtm_dst_len);
    row.scope = route_scope_name(body.rtm_scope);
    row.type = route_type_name(body.rtm_type);
    // A route without a destination prefix is the default route, whatever
    // destination attribute it carries.
    const bool is_default = body.rtm_dst_len == 0;
    if (is_default) row.destination = "default";
    const int family = body.rtm_family;
    auto decode = [&](uint16_t type, const unsigned char* payload, size_t length) {
        if (type == RTA_DST && !is_default)
            row.destination = format_address(family, payload, length);
        else if (type == RTA_GATEWAY)
            row.gateway = format_address(family, payload, length);
        else if (type == RTA_OIF)
            read_value(payload, length, row.output_interface);
    };
    return walk_attributes(nlb, header, sizeof body, decode);
}

net_probe::net_probe(probe_section& section, const char* probe_name, int32_t probe_level)
    : probe(section, probe_name, probe_level) {}

bool net_probe::test() { return true; }

void net_probe::collect_interfaces() {
    interface_list.clear();
    by_index_.clear();
    auto parse_link = [](NetlinkBuffer* nlb, InterfaceRecord& record, uint8_t) -> int {
        return parse_link_message(nlb, record);
    };
    dump_rows(+parse_link, link_family, [this](InterfaceRecord& record) {
        by_index_.emplace(record.index, interface_list.size());
        interface_list.push_back(std::move(record));
    });
    for (InterfaceRecord& record : interface_list) record.details = read_link_details(record.name);
}

const char* net_probe::interface_name(int32_t index) const {
    auto found = by_index_.find(index);
    return found == by_index_.end() ? "unknown" : interface_list[found->second].name.c_str();
}

bool net_probe::run() {
    collect_interfaces();
    write_interfaces();
    write_statistics();
    int rows = write_addresses();
    rows += write_routes();
    write_members();
    return rows > 0 || !interface_list.empty();
}

void net_probe::write_interfaces() const {
    report_table table(run_context.report, "Network Interfaces");
    start_table(table, {{"Interface", ASCII_STRING},
                        {"Type", ASCII_STRING},
                        {"Address", ASCII_STRING},
                        {"Flags", ASCII_STRING},
                        {"MTU", INTEGER},
                        {"Driver", ASCII_STRING},
                        {"Firmware Version", ASCII_STRING},
                        {"Speed", ASCII_STRING},
                        {"Duplex", ASCII_STRING},
                        {"Oper State", ASCII_STRING},
                        {"Carrier", ASCII_STRING},
                        {"Carrier Changes", ASCII_STRING}});
    for (const InterfaceRecord& record : interface_list) {
        table.start_row(record.name.c_str());
        table.log_data(record.name.c_str());
        table.log_data(record.hardware_type.c_str());
        table.log_data(record.hardware_address.c_str());
        table.log_data(record.flags.c_str());
        table.log_data(record.mtu);
        const link_details& d = record.details;
        for (const std::string* cell :
             {&d.driver, &d.firmware, &d.speed, &d.duplex, &d.oper_state, &d.carrier, &d.carrier_changes})
            table.log_data(cell->c_str());
        table.end_row();
    }
}

void net_probe::write_statistics() const {
    report_table table(run_context.report, "Network Interface Statistics");
    start_table(table, {{"Name", ASCII_STRING},
                        {"rx packets", INTEGER},
                        {"tx packets", INTEGER},
                        {"rx bytes", INTEGER},
                        {"tx bytes", INTEGER},
                        {"rx errors", INTEGER},
                        {"tx errors", INTEGER},
                        {"rx dropped", INTEGER},
                        {"tx dropped", INTEGER},
                        {"multicast", INTEGER},
                        {"collisions", INTEGER}});
    for (const InterfaceRecord& record : interface_list) {
        table.start_row(record.name.c_str());
        table.log_data(record.name.c_str());
        for (int i = 0; i < shown_statistics_count; ++i) {
            if (record.has_statistics64)
                table.log_unsigned64(record.statistics64[i]);
            else
                table.log_unsigned(record.statistics[i]);
        }
        table.end_row();
    }
}

namespace {

// Kinds of interface made of other interfaces.
bool is_aggregate(const std::string& kind) {
    return kind == "bond" || kind == "bridge" || kind == "team" || kind == "vlan";
}

}  // namespace

// Bonds, bridges and teams with the interfaces enslaved to them, and VLANs
// with the device they sit on; after the four tables.
void net_probe::write_members() const {
    report_table table(run_context.report, "Network Bonds, Bridges and VLANs");
    start_table(table, {{"Interface", ASCII_STRING},
                        {"Kind", ASCII_STRING},
                        {"Members", ASCII_STRING},
                        {"VLAN ID", ASCII_STRING},
                        {"Oper State", ASCII_STRING}});
    std::unordered_map<int32_t, std::string> members_of;
    for (const InterfaceRecord& other : interface_list) {
        if (other.master == 0 || other.master == other.index) continue;
        std::string& members = members_of[other.master];
        if (!members.empty()) members += ", ";
        members += other.name;
    }
    for (const InterfaceRecord& record : interface_list) {
        auto found = members_of.find(record.index);
        std::string members = found == members_of.end() ? "" : found->second;
        if (!is_aggregate(record.kind) && members.empty()) continue;
        if (record.kind == "vlan" && record.lower_link) members = interface_name(record.lower_link);
        char vlan[16] = "";
        if (record.vlan_id >= 0) std::snprintf(vlan, sizeof vlan, "%d", record.vlan_id);
        table.start_row(record.name.c_str());
        table.log_data(record.name.c_str());
        table.log_data(record.kind.empty() ? "Unknown" : record.kind.c_str());
        table.log_data(members.c_str());
        table.log_data(vlan);
        table.log_data(record.details.oper_state.c_str());
        table.end_row();
    }
}

namespace {

// The five text cells of an address or route row and its interface index.
struct text_cells {
    std::array<const std::string*, 5> cells;
    int32_t interface;
};

// An address without a label (IPv6 addresses have none) is named after its
// interface, as IPv4 labels are by default.
text_cells address_cells(const AddressRow& row, const net_probe& probe, std::string& name) {
    name = row.label.empty() ? probe.interface_name(row.index) : row.label;
    return {{&name, &row.family, &row.address, &row.netmask, &row.broadcast}, row.index};
}

text_cells route_cells(const RouteRow& row, const net_probe&, std::string&) {
    return {{&row.destination, &row.gateway, &row.netmask, &row.scope, &row.type}, row.output_interface};
}

// A table of six text columns filled from one dump per family: the row's
// five cells, then the name of its interface. Gives the number of rows.
template <typename Row>
int write_dump_table(const net_probe& probe, const char* title, const std::array<const char*, 6>& columns,
                     int (*parse)(NetlinkBuffer*, Row&, uint8_t),
                     text_cells (*cells_of)(const Row&, const net_probe&, std::string&)) {
    report_table table(run_context.report, title);
    table.start_heading();
    for (const char* column : columns) table.add_column(column, ASCII_STRING);
    table.end_heading();
    int rows = 0;
    for (uint8_t family : dump_families)
        rows += dump_rows(parse, family, [&](const Row& row) {
            std::string scratch;
            text_cells row_cells = cells_of(row, probe, scratch);
            table.start_row(row_cells.cells[0]->c_str());
            for (const std::string* cell : row_cells.cells) table.log_data(cell->c_str());
            table.log_data(probe.interface_name(row_cells.interface));
            table.end_row();
        });
    return rows;
}

}  // namespace

int net_probe::write_addresses() const {
    return write_dump_table(*this, "Network Addresses",
                            {"Name", "Family", "Address", "Netmask", "Broadcast", "Interface"},
                            parse_address_message, address_cells);
}

int net_probe::write_routes() const {
    return write_dump_table(*this, "Network Routing Table",
                            {"Destination", "Gateway", "Netmask", "Scope", "Type", "Interface"},
                            parse_route_message, route_cells);
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netlink_fixture.h"
#include "network/net_probe.h"
#include "report/report.h"

namespace {

template <typename T>
struct text_case {
    T value;
    const char* text;
};

TEST(NetworkTexts, HardwareTypes) {
    const text_case<uint32_t> cases[] = {
        {0, "unspec"},   {1, "ether"},      {2, "eether"},          {6, "tr"},    {772, "loopback"},
        {800, "tr"},     {801, "ieee802.11"}, {65535, "void"},     {9999, "uknown type 9999"},
    };
    for (const auto& c : cases) EXPECT_EQ(hardware_type_name(c.value), c.text) << c.value;
}

TEST(NetworkTexts, RouteScopesTypesAndFamilies) {
    const text_case<uint32_t> scopes[] = {{0, "universe"}, {253, "link"}, {254, "host"}, {200, "200"}};
    for (const auto& c : scopes) EXPECT_EQ(route_scope_name(c.value), c.text) << c.value;
    const text_case<uint32_t> types[] = {{1, "unicast"}, {2, "local"}, {3, "broadcast"},
                                         {11, "external"}, {12, "0xc"}, {0, "0"}};
    for (const auto& c : types) EXPECT_EQ(route_type_name(c.value), c.text) << c.value;
    const text_case<int> families[] = {{2, "inet"}, {10, "inet6"}, {1, "unknown"}};
    for (const auto& c : families) EXPECT_STREQ(address_family_name(c.value), c.text) << c.value;
}

TEST(NetworkTexts, PrefixNetmasks) {
    const text_case<int32_t> cases[] = {{0, "0.0.0.0"},       {1, "128.0.0.0"},         {8, "255.0.0.0"},
                                        {24, "255.255.255.0"}, {31, "255.255.255.254"}, {32, "255.255.255.255"},
                                        {33, "255.255.255.255"}};
    for (const auto& c : cases) EXPECT_EQ(prefix_netmask(c.value), c.text) << c.value;
    const text_case<int32_t> ipv6_cases[] = {{0, "::"},
                                             {1, "8000::"},
                                             {64, "ffff:ffff:ffff:ffff::"},
                                             {65, "ffff:ffff:ffff:ffff:8000::"},
                                             {128, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
                                             {200, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}};
    for (const auto& c : ipv6_cases) EXPECT_EQ(family_netmask(10, c.value), c.text) << c.value;
    EXPECT_EQ(family_netmask(2, 24), "255.255.255.0");
}

TEST(NetworkTexts, InterfaceFlags) {
    const std::string every_flag =
        "UP RUNNING LOOPBACK BROADCAST POINTOPOINT MULTICAST NOARP ALLMULTI PROMISC MASTER SLAVE DEBUG "
        "DYNAMIC AUTOMEDIA PORTSEL NOTRAILER";
    const text_case<uint32_t> cases[] = {
        {0x49, "UP RUNNING LOOPBACK"}, {0x1043, "UP RUNNING BROADCAST MULTICAST"}, {0x20, "NOTRAILERS"},
        {0, ""}, {0x10000, ""}, {0xffff, every_flag.c_str()},
    };
    for (const auto& c : cases) EXPECT_EQ(interface_flags_text(c.value), c.text) << std::hex << c.value;
    EXPECT_EQ(every_flag.size(), 129u);
}

TEST(NetworkTexts, HardwareAndNetworkAddresses) {
    const unsigned char mac[] = {0x00, 0x50, 0x56, 0xc0, 0x00, 0x01};
    EXPECT_EQ(format_hw_address(mac, sizeof mac), "00:50:56:c0:00:01");
    EXPECT_EQ(format_hw_address(mac, 0), "");
    const unsigned char long_address[20] = {0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(format_hw_address(long_address, sizeof long_address), "80:01:02:03:04:05:06:07:");

    const unsigned char v4[] = {10, 0, 2, 15};
    EXPECT_EQ(format_address(2, v4, 4), "10.0.2.15");
    EXPECT_EQ(format_address(2, v4, 3), "0a:00:02");  // too short to be an IPv4 address
    EXPECT_EQ(format_address(0, v4, 4), "0a:00:02:0f");
    const unsigned char v6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(format_address(10, v6, 16), "fe80::1");
}

class NetProbeTest : public NetlinkTest {
protected:
    void SetUp() override {
        NetlinkTest::SetUp();
        set_output_mode(3);
    }
    section_list list_;
    probe_section section_{list_, "Network Devices"};
    net_probe probe_{section_, "NETWORK", 3};
};

bytes statistics_block() {
    bytes block;
    block += le32(3000000000u);  // past 2^31: still shown as a count
    for (uint32_t counter = 2; counter <= 24; ++counter) block += le32(counter * 100);
    return block;
}

bytes link(uint16_t type, int32_t index, uint32_t flags, const char* name, const bytes& address,
           uint32_t mtu, const bytes& extra = "") {
    return message(16, link_body(type, index, flags) + attribute(3, text(name)) + attribute(1, address) +
                           attribute(4, le32(mtu)) + extra);
}

bytes address(uint8_t prefix, uint32_t index, const bytes& local, const char* label, const bytes& broadcast = "") {
    bytes attributes = attribute(1, local) + attribute(2, local) + attribute(3, text(label));
    if (!broadcast.empty()) attributes += attribute(4, broadcast);
    return message(20, address_body(prefix, index) + attributes);
}

bytes route(uint8_t prefix, uint8_t scope, uint8_t type, const bytes& destination, const bytes& gateway,
            uint32_t interface, uint8_t family = 2) {
    bytes attributes = attribute(15, le32(254));  // table: traced only
    if (!destination.empty()) attributes += attribute(1, destination);
    if (!gateway.empty()) attributes += attribute(5, gateway);
    return message(24, route_body(prefix, scope, type, family) + attributes + attribute(4, le32(interface)));
}

// IPv6 addresses carry only the address attribute, and no label.
bytes address6(uint8_t prefix, uint32_t index, const bytes& address) {
    return message(20, address_body(prefix, index, 10) + attribute(1, address));
}

TEST_F(NetProbeTest, FourTablesFromTheThreeDumps) {
    reply(18, {link(772, 1, 0x49, "lo", bytes(6, '\0'), 65536, attribute(7, statistics_block())) +
                   link(1, 2, 0x1043, "eth0", bytes("\x52\x54\x00\x12\x34\x56", 6), 1500),
               link(801, 3, 0x1002, "wlan0", bytes("\x00\x1b\x2c\x3d\x4e\x5f", 6), 2304) + done_message()});
    reply(22, {address(8, 1, ipv4(127, 0, 0, 1), "lo") +
                   address(24, 2, ipv4(10, 0, 2, 15), "eth0", ipv4(10, 0, 2, 255)) +
                   address(24, 2, ipv4(10, 0, 2, 16), "eth0:1", ipv4(10, 0, 2, 255)),
               address(32, 99, ipv4(192, 168, 9, 9), "ghost"), done_message()});
    // The route dump fails after its rows: they stay.
    reply(26, {route(0, 0, 1, "", ipv4(10, 0, 2, 2), 2) + route(24, 253, 1, ipv4(10, 0, 2, 0), "", 2) +
                   route(8, 254, 2, ipv4(127, 0, 0, 0), "", 1) + route(32, 253, 3, ipv4(10, 0, 2, 255), "", 2) +
                   route(12, 200, 12, ipv4(172, 16, 0, 0), "", 7),
               error_message(-16)});
    reply(22, {address6(64, 2, ipv6(1)) + address6(128, 1, ipv6(2, true)), done_message()}, 10);
    reply(26, {route(64, 0, 1, ipv6(0), "", 2, 10) + route(0, 0, 1, "", ipv6(1), 2, 10), done_message()}, 10);

    EXPECT_TRUE(probe_.test());
    EXPECT_TRUE(probe_.run());

    // Links once; addresses and routes for IPv4, then IPv6.
    std::vector<std::pair<int, int>> requests;
    for (const bytes& request : fake().requests) requests.push_back({uint8_t(request[4]), uint8_t(request[16])});
    EXPECT_EQ(requests, (std::vector<std::pair<int, int>>{{18, 2}, {22, 2}, {22, 10}, {26, 2}, {26, 10}}));
    EXPECT_EQ(fake().opens, 5);
    EXPECT_EQ(fake().closes, 5);
    EXPECT_EQ(report(),
              "------------------\nNetwork Interfaces\n------------------\n"
              "  Interface       : lo\n  Type            : loopback\n  Address         : 00:00:00:00:00:00\n"
              "  Flags           : UP RUNNING LOOPBACK\n  MTU             : 65536\n"
              "  Driver          : Unknown\n  Firmware Version: Unknown\n  Speed           : Unknown\n"
              "  Duplex          : Unknown\n  Oper State      : Unknown\n  Carrier         : Unknown\n"
              "  Carrier Changes : Unknown\n\n"
              "  Interface       : eth0\n  Type            : ether\n  Address         : 52:54:00:12:34:56\n"
              "  Flags           : UP RUNNING BROADCAST MULTICAST\n  MTU             : 1500\n"
              "  Driver          : Unknown\n  Firmware Version: Unknown\n  Speed           : Unknown\n"
              "  Duplex          : Unknown\n  Oper State      : Unknown\n  Carrier         : Unknown\n"
              "  Carrier Changes : Unknown\n\n"
              "  Interface       : wlan0\n  Type            : ieee802.11\n  Address         : 00:1b:2c:3d:4e:5f\n"
              "  Flags           : BROADCAST MULTICAST\n  MTU             : 2304\n"
              "  Driver          : Unknown\n  Firmware Version: Unknown\n  Speed           : Unknown\n"
              "  Duplex          : Unknown\n  Oper State      : Unknown\n  Carrier         : Unknown\n"
              "  Carrier Changes : Unknown\n\n"
              "----------------------------\nNetwork Interface Statistics\n----------------------------\n"
              "  Name      : lo\n  rx packets: 3000000000\n  tx packets: 200\n  rx bytes  : 300\n  tx bytes  : 400\n"
              "  rx errors : 500\n  tx errors : 600\n  rx dropped: 700\n  tx dropped: 800\n"
              "  multicast : 900\n  collisions: 1000\n\n"
              "  Name      : eth0\n  rx packets: 0\n  tx packets: 0\n  rx bytes  : 0\n  tx bytes  : 0\n"
              "  rx errors : 0\n  tx errors : 0\n  rx dropped: 0\n  tx dropped: 0\n"
              "  multicast : 0\n  collisions: 0\n\n"
              "  Name      : wlan0\n  rx packets: 0\n  tx packets: 0\n  rx bytes  : 0\n  tx bytes  : 0\n"
              "  rx errors : 0\n  tx errors : 0\n  rx dropped: 0\n  tx dropped: 0\n"
              "  multicast : 0\n  collisions: 0\n\n"
              "-----------------\nNetwork Addresses\n-----------------\n"
              "  Name     : lo\n  Family   : inet\n  Address  : 127.0.0.1\n  Netmask  : 255.0.0.0\n"
              "  Broadcast: \n  Interface: lo\n\n"
              "  Name     : eth0\n  Family   : inet\n  Address  : 10.0.2.15\n  Netmask  : 255.255.255.0\n"
              "  Broadcast: 10.0.2.255\n  Interface: eth0\n\n"
              "  Name     : eth0:1\n  Family   : inet\n  Address  : 10.0.2.16\n  Netmask  : 255.255.255.0\n"
              "  Broadcast: 10.0.2.255\n  Interface: eth0\n\n"
              "  Name     : ghost\n  Family   : inet\n  Address  : 192.168.9.9\n  Netmask  : 255.255.255.255\n"
              "  Broadcast: \n  Interface: unknown\n\n"
              "  Name     : eth0\n  Family   : inet6\n  Address  : fe80::1\n  Netmask  : ffff:ffff:ffff:ffff::\n"
              "  Broadcast: \n  Interface: eth0\n\n"
              "  Name     : lo\n  Family   : inet6\n  Address  : fd00::2\n"
              "  Netmask  : ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff\n  Broadcast: \n  Interface: lo\n\n"
              "---------------------\nNetwork Routing Table\n---------------------\n"
              "  Destination: default\n  Gateway    : 10.0.2.2\n  Netmask    : 0.0.0.0\n"
              "  Scope      : universe\n  Type       : unicast\n  Interface  : eth0\n\n"
              "  Destination: 10.0.2.0\n  Gateway    : \n  Netmask    : 255.255.255.0\n"
              "  Scope      : link\n  Type       : unicast\n  Interface  : eth0\n\n"
              "  Destination: 127.0.0.0\n  Gateway    : \n  Netmask    : 255.0.0.0\n"
              "  Scope      : host\n  Type       : local\n  Interface  : lo\n\n"
              "  Destination: 10.0.2.255\n  Gateway    : \n  Netmask    : 255.255.255.255\n"
              "  Scope      : link\n  Type       : broadcast\n  Interface  : eth0\n\n"
              "  Destination: 172.16.0.0\n  Gateway    : \n  Netmask    : 255.240.0.0\n"
              "  Scope      : 200\n  Type       : 0xc\n  Interface  : unknown\n\n"
              "  Destination: fe80::\n  Gateway    : \n  Netmask    : ffff:ffff:ffff:ffff::\n"
              "  Scope      : universe\n  Type       : unicast\n  Interface  : eth0\n\n"
              "  Destination: default\n  Gateway    : fe80::1\n  Netmask    : ::\n"
              "  Scope      : universe\n  Type       : unicast\n  Interface  : eth0\n\n"
              "--------------------------------\nNetwork Bonds, Bridges and VLANs\n"
              "--------------------------------\n");
    EXPECT_NE(debug().find("RTM_GETLINK: Device or resource busy\n"), std::string::npos);

    // A second run lists every interface once.
    probe_.run();
    EXPECT_EQ(probe_.interface_list.size(), 3u);
}

TEST_F(NetProbeTest, WithoutNetlinkEveryTableIsEmpty) {
    fake().open_error = EPROTONOSUPPORT;
    set_output_mode(4);

    EXPECT_FALSE(probe_.run());

    EXPECT_TRUE(probe_.interface_list.empty());
    for (const char* title : {"Network Interfaces", "Network Interface Statistics", "Network Addresses",
                              "Network Routing Table", "Network Bonds, Bridges and VLANs"})
        EXPECT_NE(report().find(std::string("<TABLE ID=\"") + title + "\">\n<COLS>"), std::string::npos) << title;
    EXPECT_EQ(count_of(report(), "<ROWS>0</ROWS>"), 5);
    EXPECT_EQ(count_of(report(), "<ROW "), 0);
}

// The kernel's own tables: every network namespace has a loopback interface,
// and an up loopback has the local 127.0.0.0/8 route.
TEST_F(ProbeTest, KernelSocketListsTheLoopback) {
    set_netlink_socket(nullptr);
    section_list list;
    probe_section section(list, "Network Devices");
    net_probe probe(section, "NETWORK", 3);
    probe.collect_interfaces();

    const InterfaceRecord* loopback = nullptr;
    for (const InterfaceRecord& record : probe.interface_list)
        if (record.hardware_type == "loopback") loopback = &record;
    ASSERT_NE(loopback, nullptr) << debug();
    EXPECT_EQ(loopback->name, "lo");
    EXPECT_EQ(loopback->hardware_address, "00:00:00:00:00:00");
    const bool up = loopback->flags == "UP RUNNING LOOPBACK";
    if (!up) {
        EXPECT_EQ(loopback->flags, "LOOPBACK");
    }
    EXPECT_STREQ(probe.interface_name(loopback->index), "lo");

    NetlinkBuffer* nlb = netlink_open();
    ASSERT_NE(nlb, nullptr);
    bool local_route = false;
    RouteRow row;
    int rc;
    while ((rc = parse_route_message(nlb, row)) == 0) {
        if (row.destination == "127.0.0.0" && row.netmask == "255.0.0.0" && row.type == "local" &&
            row.scope == "host" && row.output_interface == loopback->index)
            local_route = true;
        row = RouteRow{};
    }
    netlink_close(nlb);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(local_route, up);
}

}  // namespace

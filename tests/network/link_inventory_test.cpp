// 64-bit counters, the driver and link state of each interface, damaged
// attributes that lose only their own message, and the interfaces that bonds,
// bridges and VLANs are made of.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "netlink_fixture.h"
#include "network/net_probe.h"
#include "report/report.h"

namespace {

constexpr uint16_t stats = 7, stats64 = 23, master = 10, lower_link = 5, link_info = 18;

bytes le64(uint64_t value) { return le32(uint32_t(value)) + le32(uint32_t(value >> 32)); }

// A link message: name, MTU and further attributes.
bytes link_message(int32_t index, const char* name, const bytes& extra = "") {
    return message(16, link_body(1, index, 0x1043) + attribute(3, text(name)) + attribute(4, le32(1500)) + extra);
}

// Counters block: the first counter is first, every other one its position.
bytes counters32(uint32_t first) {
    bytes block = le32(first);
    for (uint32_t i = 2; i <= 23; ++i) block += le32(i);
    return block;
}
bytes counters64(uint64_t first, size_t count = 24) {
    bytes block = le64(first);
    for (uint64_t i = 2; i <= count; ++i) block += le64(i * 1000);
    return block;
}

class LinkInventory : public NetlinkTest {
protected:
    void SetUp() override {
        NetlinkTest::SetUp();
        set_output_mode(4);
    }
    // The cell of a column in the row of an interface, in the table titled so.
    std::string cell(const std::string& title, const std::string& row, const std::string& column) {
        std::string text = report();
        size_t table = text.find("<TABLE ID=\"" + title + "\">");
        size_t at = text.find("<ROW ID=\"" + row + "\">", table);
        size_t end = text.find("</ROW>", at);
        if (table == std::string::npos || at == std::string::npos) return "(no row)";
        size_t found = text.find(" ID=\"" + column + "\"", at);
        if (found == std::string::npos || found > end) return "(no cell)";
        size_t start = text.find('>', found) + 1;
        return text.substr(start, text.find('<', start) - start);
    }
    section_list list_;
    probe_section section_{list_, "Network Devices"};
    net_probe probe_{section_, "NETWORK", 3};
};

TEST_F(LinkInventory, SixtyFourBitCountersWhereGiven) {
    struct counter_case {
        const char* name;
        bytes attributes;
        const char* rx_packets;
        const char* tx_bytes;
    };
    const counter_case cases[] = {
        {"old", attribute(stats, counters32(4000000000u)), "4000000000", "4"},
        {"wide", attribute(stats64, counters64(6000000000ull)), "6000000000", "4000"},
        {"both", attribute(stats, counters32(7)) + attribute(stats64, counters64(uint64_t{1} << 40)),
         "1099511627776", "4000"},
        {"wide first", attribute(stats64, counters64(9)) + attribute(stats, counters32(7)), "9", "4000"},
        {"short wide", attribute(stats, counters32(5)) + attribute(stats64, counters64(8, 4)), "5", "4"},
        {"none", "", "0", "0"},
    };
    bytes datagram;
    int32_t index = 1;
    for (const counter_case& c : cases) datagram += link_message(index++, c.name, c.attributes);
    reply(18, {datagram, done_message()});
    probe_.run();
    for (const counter_case& c : cases) {
        EXPECT_EQ(cell("Network Interface Statistics", c.name, "rx packets"), c.rx_packets) << c.name;
        EXPECT_EQ(cell("Network Interface Statistics", c.name, "tx bytes"), c.tx_bytes) << c.name;
    }
}

// A damaged attribute ends its own message: the interface keeps what came
// before it, and the interfaces after it are all there.
TEST_F(LinkInventory, DamagedAttributeLosesOnlyItsOwnMessage) {
    bytes damaged = message(16, link_body(1, 2, 0x1043) + attribute(3, text("eth0")) + le16(200) + le16(4) +
                                    le32(9000) + attribute(4, le32(1400)));
    reply(18, {link_message(1, "lo") + damaged + link_message(3, "eth1"), link_message(4, "eth2") + done_message()});
    probe_.run();
    std::vector<std::string> names;
    for (const InterfaceRecord& record : probe_.interface_list) names.push_back(record.name);
    EXPECT_EQ(names, (std::vector<std::string>{"lo", "eth0", "eth1", "eth2"}));
    EXPECT_EQ(probe_.interface_list[1].mtu, 0);  // after the damaged attribute: not read
    EXPECT_EQ(probe_.interface_list[2].mtu, 1500);
    EXPECT_NE(debug().find("runs past its message"), std::string::npos);
}

void write_attributes(const std::string& folder, const std::vector<std::pair<const char*, const char*>>& files) {
    mkdir(folder.c_str(), 0755);
    for (auto [name, value] : files) write_file(folder + "/" + name, value);
}

TEST_F(LinkInventory, DriverFirmwareAndLinkState) {
    fake_drivers()["eth0"] = {"ixgbe", "0x800007f6, 1.2829.0"};
    fake_drivers()["eth1"] = {"virtio_net", ""};
    fake_drivers()["dummy0"] = {"dummy", "1.0"};
    mkdir((folder_.path() + "/net").c_str(), 0755);
    write_attributes(folder_.path() + "/net/eth0", {{"speed", "10000\n"}, {"duplex", "full\n"}, {"operstate", "up\n"},
                                                   {"carrier", "1\n"}, {"carrier_changes", "3\n"}});
    write_attributes(folder_.path() + "/net/eth1", {{"speed", "-1\n"}, {"duplex", "unknown\n"},
                                                   {"operstate", "down\n"}, {"carrier", "0\n"}});
    reply(18, {link_message(2, "eth0") + link_message(3, "eth1") + link_message(4, "dummy0") + done_message()});
    probe_.run();
    struct details_case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> cells;
    };
    const details_case cases[] = {
        {"eth0", {{"Driver", "ixgbe"}, {"Firmware Version", "0x800007f6, 1.2829.0"}, {"Speed", "10000"},
                  {"Duplex", "full"}, {"Oper State", "up"}, {"Carrier", "1"}, {"Carrier Changes", "3"}}},
        {"eth1", {{"Driver", "virtio_net"}, {"Firmware Version", "Unknown"}, {"Speed", "-1"}, {"Duplex", "unknown"},
                  {"Oper State", "down"}, {"Carrier", "0"}, {"Carrier Changes", "Unknown"}}},
        // Gone from /sys by the time it is looked at: not asked.
        {"dummy0", {{"Driver", "Unknown"}, {"Speed", "Unknown"}, {"Oper State", "Unknown"}}},
    };
    for (const details_case& c : cases)
        for (auto [column, value] : c.cells)
            EXPECT_EQ(cell("Network Interfaces", c.name, column), value) << c.name << " " << column;
    EXPECT_NE(report().find("<COLS>12</COLS>"), std::string::npos);
}

// Names that would leave the interface folder are not looked up at all.
TEST_F(LinkInventory, NamesOutsideTheInterfaceFolderAreNotRead) {
    write_attributes(folder_.path() + "/net", {{"speed", "100\n"}});
    fake_drivers()[".."] = {"x", "y"};
    for (const char* name : {"", ".", "..", "a/b", "0123456789abcdef"}) {
        link_details details = read_link_details(name);
        EXPECT_EQ(details.driver, "Unknown") << name;
        EXPECT_EQ(details.speed, "Unknown") << name;
    }
}

bytes kind(const char* name, const bytes& data = "") {
    return attribute(link_info, attribute(1, text(name)) + (data.empty() ? "" : attribute(2, data)));
}

TEST_F(LinkInventory, BondsBridgesAndVlansWithTheirMembers) {
    reply(18, {link_message(1, "lo") + link_message(2, "eth0", attribute(master, le32(5))) +
                   link_message(3, "eth1", attribute(master, le32(5))) +
                   link_message(5, "bond0", kind("bond") + attribute(master, le32(6))) +
                   link_message(6, "br0", kind("bridge")) +
                   link_message(7, "bond0.100", kind("vlan", attribute(1, le16(100))) + attribute(lower_link, le32(5))) +
                   link_message(8, "br1", kind("bridge")),
               link_message(9, "tap0", attribute(master, le32(42))) + done_message()});
    probe_.run();
    struct member_case {
        const char* name;
        const char* kind;
        const char* members;
        const char* vlan;
    };
    const member_case cases[] = {
        {"bond0", "bond", "eth0, eth1", ""},
        {"br0", "bridge", "bond0", ""},
        {"bond0.100", "vlan", "bond0", "100"},
        {"br1", "bridge", "", ""},
    };
    const std::string title = "Network Bonds, Bridges and VLANs";
    for (const member_case& c : cases) {
        EXPECT_EQ(cell(title, c.name, "Kind"), c.kind) << c.name;
        EXPECT_EQ(cell(title, c.name, "Members"), c.members) << c.name;
        EXPECT_EQ(cell(title, c.name, "VLAN ID"), c.vlan) << c.name;
    }
    for (const char* plain : {"lo", "eth0", "tap0"}) EXPECT_EQ(cell(title, plain, "Kind"), "(no row)") << plain;
    EXPECT_EQ(count_of(report(), "<ROWS>4</ROWS>"), 1);
}

}  // namespace

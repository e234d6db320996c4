// Every bus of every domain the kernel shows, and what it says about each
// function's driver, node and link.
#include <gtest/gtest.h>

#include <unistd.h>

#include <tuple>
#include <vector>

#include "pci/pci_listing.h"
#include "pci_tree_fixture.h"
#include "report/report.h"

namespace {

using visit = std::tuple<uint32_t, unsigned, unsigned>;  // domain, bus, device

config_space plain_device() { return config_space(0x8086, 0x100E, 0x02, 0x00, 0x00); }

TEST(PciDomains, WalksEveryBusFolderInDomainAndBusOrder) {
    struct folder_case {
        const char* folder;
        bool walked;
        visit seen;
    };
    const folder_case cases[] = {
        {"0001:3a", true, {1, 0x3a, 2}},       // a second segment
        {"ff", true, {0, 0xff, 3}},            // the last bus of domain 0
        {"00", true, {0, 0x00, 1}},
        {"42", true, {0, 0x42, 4}},            // behind an expander bus
        {"10000:00", true, {0x10000, 0, 5}},   // a five-digit domain
        {"0001:00", true, {1, 0x00, 6}},
        {"0000:00", false, {}},                // domain 0's bus 0 once more: walked once
        {"001", false, {}},                    // three digits: not a bus
        {"zz", false, {}},
        {"01:02", false, {}},                  // a domain has at least four digits
        {"0001:", false, {}},
        {"0001:3a0", false, {}},
    };
    pci_tree tree;
    for (const folder_case& c : cases) tree.add_in(c.folder, c.walked ? std::get<2>(c.seen) : 7, 0, plain_device());
    write_file(tree.dir.file("devices"), "0000\t8086100e\n");  // the kernel's listing file
    std::vector<visit> seen;
    pci_scan([&](uint8_t bus, uint8_t device, uint8_t, const uint8_t*) {
        seen.push_back({pci_current_domain(), bus, device});
    });
    const std::vector<visit> expected = {{0, 0x00, 1}, {0, 0x42, 4},    {0, 0xff, 3},
                                         {1, 0x00, 6}, {1, 0x3a, 2}, {0x10000, 0, 5}};
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(0u, pci_current_domain());  // restored after the walk
}

TEST(PciDomains, PathsNameTheDomainOutsideDomainZero) {
    const std::tuple<uint32_t, unsigned, const char*> cases[] = {
        {0, 0x3a, "/proc/bus/pci/3a/01.2"},
        {1, 0x3a, "/proc/bus/pci/0001:3a/01.2"},
        {0x10000, 0, "/proc/bus/pci/10000:00/01.2"},
    };
    set_pci_config_directory(nullptr);
    for (auto [domain, bus, path] : cases) {
        pci_set_domain(domain);
        char text[256];
        pci_config_path(static_cast<uint8_t>(bus), 1, 2, text, sizeof text);
        EXPECT_STREQ(path, text);
    }
    pci_set_domain(0);
}

// A device folder under sys/ with the given attribute files and driver.
void add_sysfs_function(pci_tree& tree, const std::string& address, const char* driver,
                        const std::vector<std::pair<const char*, const char*>>& attributes) {
    std::string folder = tree.dir.file("sys");
    mkdir(folder.c_str(), 0755);
    folder += "/" + address;
    mkdir(folder.c_str(), 0755);
    for (auto [name, text] : attributes) write_file(folder + "/" + name, text);
    if (driver) {
        std::string drivers = tree.dir.file("drivers");
        mkdir(drivers.c_str(), 0755);
        mkdir((drivers + "/" + driver).c_str(), 0755);
        ASSERT_EQ(0, symlink((drivers + "/" + driver).c_str(), (folder + "/driver").c_str()));
    }
}

TEST(PciDomains, SummaryColumnsFromTheKernelsDeviceFolders) {
    reset_report_state();
    set_output_mode(4);
    pci_tree tree;
    tree.add(0x00, 3, 0, plain_device());
    tree.add_in("0001:5d", 0, 0, plain_device());
    tree.add_in("d7", 0, 1, plain_device());  // no folder under sys/
    tree.add_in("d7", 0, 0, config_space(0x8086, 0x100E, 0x02, 0x00, 0x80));
    add_sysfs_function(tree, "0000:00:03.0", "e1000",
                       {{"numa_node", "0\n"}, {"current_link_speed", "2.5 GT/s PCIe\n"},
                        {"max_link_speed", "8.0 GT/s PCIe\n"}, {"current_link_width", "1\n"},
                        {"max_link_width", "4\n"}});
    add_sysfs_function(tree, "0001:5d:00.0", "nvme",
                       {{"numa_node", "1\n"}, {"current_link_speed", "16.0 GT/s PCIe\n"},
                        {"max_link_speed", "16.0 GT/s PCIe\n"}, {"current_link_width", "4\n"},
                        {"max_link_width", "4\n"}});
    add_sysfs_function(tree, "0000:d7:00.0", nullptr, {{"numa_node", "-1\n"}, {"current_link_speed", ""}});
    captured_stream report;
    EXPECT_STREQ("OK", summarize_pci_devices(report.get()));
    std::string text = report.text();
    auto cells = [](const char* address, const char* driver, const char* node, const char* speed,
                    const char* max_speed, const char* width, const char* max_width) {
        return std::string("<ASC ID=\"Address\" W=\"7\">") + address + "</ASC>\n<ASC ID=\"Driver\" W=\"6\">" +
               driver + "</ASC>\n<ASC ID=\"NUMA Node\" W=\"9\">" + node +
               "</ASC>\n<ASC ID=\"Link Speed\" W=\"10\">" + speed + "</ASC>\n<ASC ID=\"Max Link Speed\" W=\"14\">" +
               max_speed + "</ASC>\n<ASC ID=\"Link Width\" W=\"10\">" + width +
               "</ASC>\n<ASC ID=\"Max Link Width\" W=\"14\">" + max_width + "</ASC>\n";
    };
    const std::pair<const char*, std::string> rows[] = {
        {"82540EM Gigabit Ethernet Controller - 0:3:0",
         cells("0000:00:03.0", "e1000", "0", "2.5 GT/s PCIe", "8.0 GT/s PCIe", "1", "4")},
        {"82540EM Gigabit Ethernet Controller - 215:0:0",
         cells("0000:d7:00.0", "None", "-1", "Unknown", "Unknown", "Unknown", "Unknown")},
        {"82540EM Gigabit Ethernet Controller - 215:0:1",
         cells("0000:d7:00.1", "None", "Unknown", "Unknown", "Unknown", "Unknown", "Unknown")},
        {"82540EM Gigabit Ethernet Controller - 1:93:0:0",
         cells("0001:5d:00.0", "nvme", "1", "16.0 GT/s PCIe", "16.0 GT/s PCIe", "4", "4")},
    };
    size_t last = 0;
    for (const auto& [key, expected] : rows) {
        size_t row = text.find(std::string("<ROW ID=\"") + key + "\">");
        ASSERT_NE(std::string::npos, row) << key << "\n" << text;
        EXPECT_GT(row, last) << key << ": rows in walk order";
        last = row;
        size_t end = text.find("</ROW>", row);
        EXPECT_NE(std::string::npos, text.substr(row, end - row).find(expected)) << key << "\n" << text;
    }
    EXPECT_NE(std::string::npos, text.find("<COLS>22</COLS>"));
    reset_report_state();
}

TEST(PciDomains, TextListingNamesTheDomain) {
    reset_report_state();
    set_output_mode(0);
    pci_tree tree;
    tree.add(0x00, 3, 0, plain_device());
    tree.add_in("0002:00", 1, 0, plain_device());
    captured_stream report;
    EXPECT_STREQ("OK", list_pci_devices(report.get()));
    std::string text = report.text();
    EXPECT_NE(std::string::npos,
              text.find("  Bus Address   : Bus 0, Device 1, Func 0\n  Command       : 0000h\n  Status        : 0000h\n"
                        "  Rev ID        : 00h\n  Header Type   : 00h\n  Address       : 0002:00:01.0\n"))
        << text;
    EXPECT_EQ(1u, [&] {
        size_t n = 0;
        for (size_t at = text.find("  Address       :"); at != std::string::npos; at = text.find("  Address", at + 1)) ++n;
        return n;
    }());
    reset_report_state();
}

}  // namespace

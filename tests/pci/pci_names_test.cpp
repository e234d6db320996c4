#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pci/pci_ids_parser.h"
#include "pci/pci_names.h"

namespace {

struct row_text {
    char kind;
    uint16_t id;
    uint16_t second;
    std::string name;
    bool operator==(const row_text&) const = default;
};

// A name table built from readable rows.
struct fixture_table {
    explicit fixture_table(const std::vector<row_text>& rows) {
        for (const row_text& r : rows) {
            data.rows.push_back({r.kind, r.id, r.second, static_cast<uint32_t>(data.texts.size())});
            data.texts += r.name;
            data.texts += '\0';
        }
    }
    pci_name_list list() const { return pci_name_list(data.rows.data(), data.rows.size(), data.texts.data()); }
    pci_name_data data;
};

std::vector<row_text> readable(const pci_name_data& data) {
    std::vector<row_text> rows;
    for (const pci_name_row& r : data.rows) rows.push_back({r.kind, r.id, r.second_id, data.texts.c_str() + r.name});
    return rows;
}

const std::vector<row_text> small_table = {
    {'V', 0x0000, 0, "Gammagraphx, Inc"},
    {'V', 0x0E11, 0, "Compaq"},
    {'D', 0xA0F7, 0, "PCI Hot Plug Controller"},
    {'O', 0x0E11, 0, "PCI Hot Plug Controller"},
    {'S', 0xA2F8, 0, "Proliant DL580 Hot Plug Controller (CPQPHP Installed)"},
    {'O', 0x8086, 0, "PCI Hotplug Controller"},
    {'S', 0x002A, 0, "PCI Hotplug Controller A"},
    {'S', 0x002B, 0, "PCI Hotplug Controller B"},
    {'D', 0xB000, 0, "Bridge"},
    {'X', 0x1111, 0x2222, "Combined row"},
    {'X', 0xB001, 0xB001, "Not a device"},
    {'V', 0x8086, 0, "Intel"},
    {'D', 0x1229, 0, "Ethernet Pro 100"},
    {'V', 0xFFFE, 0, "VMWare Inc (Older Product Versions)"},
    {'D', 0x0710, 0, "Virtual SVGA"},
};

TEST(PciNames, VendorAndDeviceLookups) {
    fixture_table table(small_table);
    pci_name_list names = table.list();
    struct {
        uint16_t vendor, device;
        const char* vendor_name;
        const char* device_name;
    } cases[] = {
        {0x0000, 0xA0F7, "Gammagraphx, Inc", "Unknown"},  // first row; its block is empty
        {0x0E11, 0xA0F7, "Compaq", "PCI Hot Plug Controller"},
        {0x0E11, 0x1229, "Compaq", "Unknown"},          // only under another vendor
        {0x0E11, 0xB001, "Compaq", "Unknown"},          // an 'X' row is never a device
        {0x0E11, 0x1111, "Compaq", "Unknown"},
        {0xFFFE, 0x0710, "VMWare Inc (Older Product Versions)", "Virtual SVGA"},  // last row
        {0xFFFE, 0x0711, "VMWare Inc (Older Product Versions)", "Unknown"},       // runs off the end
        {0xFFFF, 0x0710, "Unknown", "Unknown"},
        {0x1234, 0x1229, "Unknown", "Unknown"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(c.vendor_name, names.vendor_name(c.vendor)) << std::hex << c.vendor;
        EXPECT_STREQ(c.device_name, names.device_name(c.vendor, c.device)) << std::hex << c.vendor << ":" << c.device;
    }
}

TEST(PciNames, SubsystemNameIsTheMostSpecificFound) {
    std::vector<row_text> rows = small_table;
    // The table ends inside a subsystem vendor's rows.
    rows.push_back({'O', 0x1028, 0, "Dell"});
    rows.push_back({'S', 0x0001, 0, "Dell board"});
    fixture_table table(rows);
    pci_name_list names = table.list();
    struct {
        uint16_t vendor, device, sub_vendor, sub_device;
        const char* expected;
    } cases[] = {
        {0x0E11, 0xA0F7, 0x0E11, 0xA2F8, "Proliant DL580 Hot Plug Controller (CPQPHP Installed)"},
        {0x0E11, 0xA0F7, 0x0E11, 0x1234, "PCI Hot Plug Controller"},   // the 'O' row's name
        {0x0E11, 0xA0F7, 0x8086, 0x002B, "PCI Hotplug Controller B"},
        {0x0E11, 0xA0F7, 0x8086, 0xA2F8, "PCI Hotplug Controller"},    // 'S' of another 'O' group
        {0x0E11, 0xA0F7, 0x1234, 0xA2F8, "PCI Hot Plug Controller"},   // the device's name
        {0x0E11, 0xB000, 0x1111, 0x2222, "Bridge"},                    // 'X' rows never match
        {0x0E11, 0xA0F1, 0x0E11, 0xA2F8, "Unknown"},                   // no such device
        {0x0001, 0xA0F7, 0x0E11, 0xA2F8, "Unknown"},                   // no such vendor
        {0xFFFE, 0x0710, 0x1028, 0x0001, "Dell board"},
        {0xFFFE, 0x0710, 0x1028, 0x0002, "Dell"},                      // end of the table: still the 'O' name
        {0xFFFE, 0x0710, 0x8086, 0x0001, "Virtual SVGA"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.expected, names.subsystem_name(c.vendor, c.device, c.sub_vendor, c.sub_device))
            << std::hex << c.vendor << ":" << c.device << " " << c.sub_vendor << ":" << c.sub_device;
}

// The first 'V' row of a vendor, found the plain way.
size_t scan_vendor_row(const pci_name_list& names, uint16_t vendor) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names.row(i).kind == 'V' && names.row(i).id == vendor) return i;
    return names.size();
}

TEST(PciNames, VendorIndexAgreesWithAPlainScan) {
    // A table out of order with a vendor twice: the first row still wins.
    fixture_table odd({{'V', 0x5000, 0, "Five"},
                       {'D', 0x0001, 0, "Five one"},
                       {'V', 0x1000, 0, "One"},
                       {'V', 0x5000, 0, "Five again"},
                       {'D', 0x0002, 0, "Five two"}});
    pci_name_list odd_names = odd.list();
    EXPECT_STREQ("Five", odd_names.vendor_name(0x5000));
    EXPECT_STREQ("Unknown", odd_names.device_name(0x5000, 0x0002));
    for (const pci_name_list* names : {&builtin_pci_names(), static_cast<const pci_name_list*>(&odd_names)}) {
        // Every listed vendor, both ends, and the ID after every eighth
        // vendor (mostly absent ones, which cost a whole scan each).
        std::vector<unsigned> vendors = {0x0000, 0xFFFF};
        for (size_t i = 0, listed = 0; i < names->size(); ++i) {
            if (names->row(i).kind != 'V') continue;
            vendors.push_back(names->row(i).id);
            if (listed++ % 8 == 0) vendors.push_back((names->row(i).id + 1u) & 0xFFFF);
        }
        for (unsigned vendor : vendors)
            ASSERT_EQ(scan_vendor_row(*names, static_cast<uint16_t>(vendor)),
                      names->vendor_row(static_cast<uint16_t>(vendor)))
                << std::hex << vendor;
    }
}

TEST(PciNames, BuiltInTableHasTheRowForm) {
    const pci_name_list& names = builtin_pci_names();
    ASSERT_GT(names.size(), 1000u);
    ASSERT_EQ('V', names.row(0).kind);
    char before = 0;  // kind of the row before
    int last_vendor = -1, last_device = -1;
    for (size_t i = 0; i < names.size(); ++i) {
        const pci_name_row& r = names.row(i);
        ASSERT_NE('\0', names.name_of(r)[0]) << "row " << i;
        switch (r.kind) {
        case 'V':
            ASSERT_GT(static_cast<int>(r.id), last_vendor) << "row " << i;
            last_vendor = r.id;
            last_device = -1;
            break;
        case 'D':
            ASSERT_GT(static_cast<int>(r.id), last_device) << "row " << i;
            last_device = r.id;
            break;
        case 'O':
        case 'X':
            ASSERT_NE(-1, last_device) << "row " << i;
            break;
        case 'S':
            ASSERT_TRUE(before == 'O' || before == 'S') << "row " << i;
            break;
        default:
            FAIL() << "row " << i << " kind " << r.kind;
        }
        if (r.kind != 'X') {
            ASSERT_EQ(0, r.second_id) << "row " << i;
        }
        before = r.kind;
    }
}

TEST(PciNames, BuiltInTableKnowsCommonHardware) {
    EXPECT_STREQ("Intel Corporation", pci_vendor_name(0x8086));
    EXPECT_STREQ("Red Hat, Inc.", pci_vendor_name(0x1AF4));
    EXPECT_STREQ("82540EM Gigabit Ethernet Controller", pci_device_name(0x8086, 0x100E));
    EXPECT_STREQ("53c895a", pci_device_name(0x1000, 0x0012));
    EXPECT_STREQ("QEMU PCI-PCI bridge", pci_device_name(0x1B36, 0x0001));
    EXPECT_STREQ("Virtio network device", pci_device_name(0x1AF4, 0x1000));
    EXPECT_STREQ("PRO/1000 MT Desktop Adapter", pci_subsystem_name(0x8086, 0x100E, 0x8086, 0x001E));
    EXPECT_STREQ("QEMU Virtual Machine", pci_subsystem_name(0x8086, 0x100E, 0x1AF4, 0x1100));
    // A subsystem vendor the device lists, with an ID it does not: the vendor's name.
    EXPECT_STREQ("Dell", pci_subsystem_name(0x8086, 0x100E, 0x1028, 0x7777));
    EXPECT_STREQ("Unknown", pci_vendor_name(0x0002));
}

TEST(PciNames, ClassAndSubclassNames) {
    struct {
        uint8_t code;
        const char* name;
    } classes[] = {{0x00, "Unknown"}, {0x01, "Storage"}, {0x0F, "Sattelite Communications"},
                   {0x11, "Data Aquisition & Signal Processing"}, {0x12, "Unknown"}, {0xFF, "Unknown"}};
    for (const auto& c : classes) EXPECT_STREQ(c.name, pci_class_name(c.code)) << int(c.code);
    struct {
        uint16_t key;
        const char* name;
    } subclasses[] = {{0x0000, "Undefined"}, {0x0001, "Undefined VGA"}, {0x0180, "Other"},
                      {0x0680, "PCI-to-Other"}, {0x0604, "PCI-to-PCI"}, {0x0C05, "SMBus Controller"},
                      {0x0C80, "Other"},        {0x0D80, "Unknown"},    {0x0105, "Unknown"},
                      {0x0B40, "Coprocessor"}};
    for (const auto& c : subclasses) EXPECT_STREQ(c.name, pci_subclass_name(c.key)) << std::hex << c.key;
}

TEST(PciIdsList, BecomesRowsInTableOrder) {
    const char* list =
        "#\tList of PCI ID's\n"
        "\n"
        "0e11  Compaq\n"
        "\ta0f7  PCI Hot Plug Controller\n"
        "\t\t8086 002a  Hotplug A\n"
        "\t\t0e11 a2f8  Proliant \"DL580\"\n"
        "\t\t8086 002b  Hotplug B\n"  // joins the 8086 group above
        "\t\t0000 0001  No vendor\n"
        "# a comment between devices\n"
        "\ta0f8  Second\n"
        "8086  Intel\n"
        "C 00  Unclassified device\n"
        "\t00  Non-VGA unclassified device\n"
        "\t\t00  anything here is not used\n";
    pci_name_data data;
    std::string error;
    ASSERT_TRUE(parse_pci_ids(list, data, error)) << error;
    std::vector<row_text> expected = {
        {'V', 0x0E11, 0, "Compaq"},
        {'D', 0xA0F7, 0, "PCI Hot Plug Controller"},
        {'O', 0x8086, 0, "Intel"},  // named after a vendor further down
        {'S', 0x002A, 0, "Hotplug A"},
        {'S', 0x002B, 0, "Hotplug B"},
        {'O', 0x0E11, 0, "Compaq"},
        {'S', 0xA2F8, 0, "Proliant \"DL580\""},
        {'X', 0x0000, 0x0001, "No vendor"},
        {'D', 0xA0F8, 0, "Second"},
        {'V', 0x8086, 0, "Intel"},
    };
    EXPECT_EQ(expected, readable(data));
    EXPECT_EQ(data.rows[0].name, data.rows[5].name);  // one copy of each name

    std::string source = pci_name_source(data, "pci.ids");
    EXPECT_NE(source.find("\"Proliant \\042DL580\\042\\000\"\n"), std::string::npos) << source;
    EXPECT_NE(source.find("{'X',0x0000,0x0001,"), std::string::npos);
}

TEST(PciIdsList, MalformedListsNameTheLine) {
    struct {
        const char* list;
        const char* error;
    } cases[] = {
        {"0e11 Compaq\n", "line 1: malformed vendor line"},
        {"0e11  \n", "line 1: malformed vendor line"},
        {"0e11  Compaq\r\n", "line 1: malformed vendor line"},
        {"# c\n\ta0f7  Device\n", "line 2: device line before any vendor line"},
        {"0e11  Compaq\n\t\t0e11 a2f8  Board\n", "line 2: subsystem line outside a device"},
        {"0e11  Compaq\n\ta0f7  Device\n\t\t0e11a2f8  Board\n", "line 3: malformed subsystem line"},
        {"0e11  Compaq\n\ta0f7  Device\n\ta0f7  Again\n", "line 3: device a0f7 is not above the device before it"},
        {"0e11  Compaq\n0e10  Before\n", "line 2: vendor 0e10 is not above the vendor before it"},
        {"0e11  Compaq\n\ta0f7  Device\n\t\t\t0e11 a2f8  Deep\n", "line 3: more than two tabs"},
        {"# only comments\n", "line 1: the list holds no vendor lines"},
    };
    for (const auto& c : cases) {
        pci_name_data data;
        std::string error;
        EXPECT_FALSE(parse_pci_ids(c.list, data, error)) << c.list;
        EXPECT_EQ(0u, error.rfind(c.error, 0)) << c.list << " gave: " << error;
    }
}

}  // namespace

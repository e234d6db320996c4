#include <gtest/gtest.h>

#include "pci/pci_vpd.h"
#include "pci_tree_fixture.h"

namespace {

bytes text_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

// A large resource: tag, 16-bit length, data.
bytes resource(uint8_t name, const bytes& data) {
    bytes r = {static_cast<uint8_t>(0x80 | name), 0, 0};
    put_u16(r, 1, static_cast<uint16_t>(data.size()));
    for (uint8_t byte : data) r.push_back(byte);  // not insert(): g++ 12 warns wrongly on it
    return r;
}

// A keyword item of a read-only or read-write resource.
bytes item(const char* keyword, const std::string& text) {
    bytes i = {static_cast<uint8_t>(keyword[0]), static_cast<uint8_t>(keyword[1]), static_cast<uint8_t>(text.size())};
    for (char c : text) i.push_back(static_cast<uint8_t>(c));
    return i;
}

bytes join(const std::vector<bytes>& parts) {
    bytes all;
    for (const bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const bytes end_tag = {0x78};
constexpr uint8_t cap = 0x50;

// A function whose VPD capability at 0x50 follows a power-management one.
config_space vpd_function() { return config_space(0x8086, 0x100E, 0x02, 0x00, 0x00).capabilities({{0x40, 1}, {cap, 3}}); }

std::string printed(pci_vpd& vpd) {
    captured_stream out;
    print_vpd(out.get(), vpd);
    return out.text();
}

TEST(PciVpd, ResourcesFillTheirSlots) {
    struct {
        const char* what;
        bytes image;
        std::string lines;
    } cases[] = {
        {"every kind of keyword",
         join({resource(0x02, text_bytes("ABC\x01")),
               resource(0x10, join({item("PN", "first"), item("PN", "part 7"), item("EC", "E1"), item("mn", "1028"),
                                    item("SN", "SER\tNO"), item("V0", "zero"), item("VA", "aa"), item("Vz", "last z"),
                                    item("XX", "dropped"), item("CP", "cap"), item("RV", "\x12")})),
               resource(0x11, join({item("Y1", "rw dropped"), item("V9", "nine")})), end_tag}),
         "  Product Name  : 'ABC.'\n"
         "  Part Number   : 'part 7'\n"
         "  EC Level      : 'E1'\n"
         "  Manufacture ID: '1028'\n"
         "  Serial Number : 'SER.NO'\n"
         "  Ext Capability: 'cap'\n"
         "  V0            : 'zero'\n"
         "  V9            : 'nine'\n"
         "  VA            : 'aa'\n"
         "  VZ            : 'last z'\n"},
        {"small resources", join({{0x13, 'X', 'Y', 'Z'}, {0x80 | 0x10, 0, 0}, end_tag}), "  Product Name  : 'XYZ'\n"},
        {"an end tag first", join({end_tag, resource(0x02, text_bytes("never"))}), ""},
        {"an unknown resource ends the read", join({resource(0x05, text_bytes("??")), resource(0x02, text_bytes("X"))}),
         ""},
        {"an item running past its resource ends only that resource",
         join({resource(0x10, join({item("PN", "P1"), bytes{'S', 'N', 9, 'x'}})), resource(0x11, item("EC", "E2")),
               end_tag}),
         "  Part Number   : 'P1'\n  EC Level      : 'E2'\n"},
        {"an item header cut short", join({resource(0x10, join({item("MN", "M"), bytes{'S', 'N'}})), end_tag}),
         "  Manufacture ID: 'M'\n"},
    };
    for (auto& c : cases) {
        pci_tree tree;
        fake_vpd_device device(tree.add(0, 3, 0, vpd_function()), cap, c.image);
        ASSERT_EQ(cap, find_vpd_capability(0, 3, 0));
        pci_vpd vpd;
        vpd.slot[7] = "left from before";
        read_vpd(0, 3, 0, cap, vpd);
        EXPECT_EQ(c.lines, printed(vpd)) << c.what;
        for (const auto& text : vpd.slot) EXPECT_FALSE(text.has_value()) << c.what;  // printing empties them
    }
}

TEST(PciVpd, MuteDeviceEndsTheReadAfterAThousandPolls) {
    pci_tree tree;
    fake_vpd_device device(tree.add(0, 3, 0, vpd_function()), cap, resource(0x02, text_bytes("ABC")), true);
    pci_vpd vpd;
    read_vpd(0, 3, 0, cap, vpd);
    EXPECT_EQ(1000, device.sleeps);
    EXPECT_EQ("", printed(vpd));
}

TEST(PciVpd, NeverAsksForAnAddressAbove7FFF) {
    // The identifier string, then a read-only resource whose data would
    // reach 0x8002: the read stops before fetching any of it.
    bytes image = join({resource(0x02, text_bytes("ABC")), bytes{0x90, 0, 0}});
    put_u16(image, image.size() - 2, 0x7FFA);
    pci_tree tree;
    fake_vpd_device device(tree.add(0, 3, 0, vpd_function()), cap, image);
    pci_vpd vpd;
    read_vpd(0, 3, 0, cap, vpd);
    EXPECT_EQ((std::vector<unsigned>{0, 3, 4, 5, 6}), device.addresses);
    EXPECT_EQ(0x8006u, device.address_register());  // the last fetch, answered
    EXPECT_EQ("  Product Name  : 'ABC'\n", printed(vpd));

}

TEST(PciVpd, CapabilityWalk) {
    struct {
        const char* what;
        config_space space;
        uint8_t expected;
    } cases[] = {
        {"VPD second in the chain", vpd_function(), cap},
        {"status bit 4 clear", vpd_function().u16(0x06, 0), 0},
        {"pointer into the header", config_space(1, 2, 2, 0, 0).capabilities({{0x3C, 3}}), 0},
        {"chain without VPD", config_space(1, 2, 2, 0, 0).capabilities({{0x40, 1}, {0x48, 5}, {0x60, 0x10}}), 0},
        {"next pointer 0xFF", config_space(1, 2, 2, 0, 0).capabilities({{0x40, 1}}).u8(0x41, 0xFF), 0},
        {"chain that loops", config_space(1, 2, 2, 0, 0).capabilities({{0x40, 1}}).u8(0x41, 0x40), 0},
        // A broken next pointer into the header must not be taken for VPD
        // (the header byte at 0x10 happens to be 3).
        {"next pointer into the header", config_space(1, 2, 2, 0, 0).capabilities({{0x40, 1}}).u8(0x41, 0x10).u8(0x10, 3),
         0},
        {"VPD on the last byte", config_space(1, 2, 2, 0, 0).capabilities({}).u8(0x34, 0xFF).u8(0xFF, 3), 0},
    };
    for (const auto& c : cases) {
        pci_tree tree;
        tree.add(0, 1, 0, c.space);
        EXPECT_EQ(c.expected, find_vpd_capability(0, 1, 0)) << c.what;
    }
    pci_tree short_file;
    short_file.add(0, 1, 0, vpd_function());
    write_file(short_file.dir.file("00/01.0"), read_file(short_file.dir.file("00/01.0")).substr(0, 64));
    EXPECT_EQ(0, find_vpd_capability(0, 1, 0)) << "capabilities past a 64-byte file";
}

TEST(PciVpd, CapabilityTooHighForItsRegistersIsNotUsed) {
    // Registers at 0xFC + 4 would wrap to the vendor ID: nothing is written.
    pci_tree tree;
    std::string path = tree.add(0, 3, 0, config_space(1, 2, 2, 0, 0).capabilities({{0xFC, 3}}));
    std::string before = read_file(path);
    fake_vpd_device device(path, 0xF8, resource(0x02, text_bytes("ABC")));  // counts sleeps only
    pci_vpd vpd;
    read_vpd(0, 3, 0, 0xFC, vpd);
    EXPECT_EQ(0, device.sleeps);
    EXPECT_EQ(before, read_file(path));
    EXPECT_EQ("", printed(vpd));
}

}  // namespace

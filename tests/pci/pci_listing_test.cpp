#include <gtest/gtest.h>

#include <cstring>

#include "pci/pci_listing.h"
#include "pci/physical_memory.h"
#include "pci_tree_fixture.h"
#include "report/report.h"

namespace {

// Sets the report's output mode for one test and restores the start state.
struct report_mode {
    explicit report_mode(int mode) {
        reset_report_state();
        set_output_mode(mode);
    }
    ~report_mode() { reset_report_state(); }
};

// Functions of many kinds; the comments say what each one tests.
void add_sample_functions(pci_tree& tree) {
    // A device with its subsystem, address ranges and interrupt.
    tree.add(0, 3, 0,
             config_space(0x8086, 0x100E, 0x02, 0x00, 0x00)
                 .u16(0x04, 0x0107)
                 .u16(0x06, 0x0200)
                 .u8(0x08, 0x03)
                 .u32(0x10, 0xFEBC0000)
                 .u32(0x18, 0x0000C001)
                 .u32(0x28, 0x00000123)
                 .u16(0x2C, 0x8086)
                 .u16(0x2E, 0x001E)
                 .u32(0x30, 0xFEB80000)
                 .u8(0x3C, 11)
                 .u8(0x3D, 1));
    // Multi-function, with a gap at function 2 that does not hide function 3.
    // Function 1's subsystem is not shown (only function 0's is).
    tree.add(0, 1, 0, config_space(0x8086, 0x7000, 0x06, 0x01, 0x80));
    tree.add(0, 1, 1, config_space(0x8086, 0x7010, 0x01, 0x01, 0x00).u16(0x2C, 0x1AF4).u16(0x2E, 0x1100));
    tree.add(0, 1, 3, config_space(0x8086, 0x7113, 0x06, 0x80, 0x00));
    // Single-function: the file of function 1 is ignored.
    tree.add(0, 2, 0, config_space(0x1234, 0x1111, 0x03, 0x00, 0x00));
    tree.add(0, 2, 1, config_space(0x1234, 0x2222, 0x03, 0x00, 0x00));
    // A PCI-to-PCI bridge.
    tree.add(0, 5, 0, config_space(0x1B36, 0x0001, 0x06, 0x04, 0x01).u8(0x19, 1).u32(0x38, 0xFE000000).u8(0x3D, 1));
    // A two-function CardBus bridge: its subsystem lines for both functions.
    tree.add(1, 0, 0,
             config_space(0x104C, 0xAC56, 0x06, 0x07, 0x82).u16(0x40, 0x1014).u16(0x42, 0x0528).u32(0x44, 0x3E1));
    tree.add(1, 0, 1, config_space(0x104C, 0xAC56, 0x06, 0x07, 0x02).u16(0x40, 0x17AA).u16(0x42, 0x2012));
    // A layout without lines of its own.
    tree.add(2, 0, 0, config_space(0xFFFF, 0xFFFF, 0xFF, 0xFF, 0x7F));
    // Buses 16 and above are walked too.
    tree.add(16, 0, 0, config_space(0x8086, 0x100E, 0x02, 0x00, 0x00));
}

// The lines every function starts with, for a zero command, status and revision.
std::string head(const char* vendor, const char* device, const char* class_names, const char* address,
                 const char* header_type) {
    return std::string("  Vendor        : ") + vendor + "\n  Device        : " + device + "\n" + class_names +
           "  Bus Address   : " + address + "\n  Command       : 0000h\n  Status        : 0000h\n" +
           "  Rev ID        : 00h\n  Header Type   : " + header_type + "\n";
}

TEST(PciListing, TextListingOfEveryKindOfFunction) {
    report_mode mode(0);
    pci_tree tree;
    add_sample_functions(tree);
    captured_stream report;
    EXPECT_STREQ("OK", list_pci_devices(report.get()));
    const char* bridge = "  Class         : Bridge\n  Subclass      : PCI-to-";
    std::string expected =
        "\n===============\n  PCI DEVICES  \n===============\n" +
        head("Intel Corporation (8086h)", "82371SB PIIX3 ISA [Natoma/Triton II] (7000h)",
             (bridge + std::string("ISA\n")).c_str(), "Bus 0, Device 1, Func 0", "80h") + "\n" +
        head("Intel Corporation (8086h)", "82371SB PIIX3 IDE [Natoma/Triton II] (7010h)",
             "  Class         : Storage\n  Subclass      : IDE\n", "Bus 0, Device 1, Func 1", "00h") + "\n" +
        head("Intel Corporation (8086h)", "82371AB/EB/MB PIIX4 ACPI (7113h)", (bridge + std::string("Other\n")).c_str(),
             "Bus 0, Device 1, Func 3", "00h") + "\n" +
        head("Unknown (1234h)", "Unknown (1111h)", "  Class         : Display\n  Subclass      : VGA\n",
             "Bus 0, Device 2, Func 0", "00h") + "\n" +
        "  Vendor        : Intel Corporation (8086h)\n"
        "  Device        : 82540EM Gigabit Ethernet Controller (100Eh)\n"
        "  Class         : Network\n"
        "  Subclass      : Ethernet\n"
        "  Bus Address   : Bus 0, Device 3, Func 0\n"
        "  Command       : 0107h\n"
        "  Status        : 0200h\n"
        "  Rev ID        : 03h\n"
        "  Header Type   : 00h\n"
        "  BaseAddress 0 : FEBC0000h\n"
        "  BaseAddress 2 : 0000C001h\n"
        "  CardBus Ptr   : 00000123h\n"
        "  Subsys Vendor : (8086h) Intel Corporation\n"
        "  Subsys Device : (001Eh) PRO/1000 MT Desktop Adapter\n"
        "  Exp ROM Addr  : FEB80000h\n"
        "  IRQ Line      : 11\n"
        "  IRQ Pin       : 1\n\n" +
        head("Red Hat, Inc. (1B36h)", "QEMU PCI-PCI bridge (0001h)", (bridge + std::string("PCI\n")).c_str(),
             "Bus 0, Device 5, Func 0", "01h") +
        "  BaseAddress 0 : 00000000h\n"
        "  BaseAddress 1 : 00000000h\n"
        "  Primary Bus   : 0\n"
        "  Secondary Bus : 1\n"
        "  Exp ROM Addr  : FE000000h\n"
        "  IRQ Pin       : 1\n\n" +
        head("Texas Instruments (104Ch)", "PCI1510 PC card Cardbus Controller (AC56h)",
             (bridge + std::string("Cardbus\n")).c_str(), "Bus 1, Device 0, Func 0", "82h") +
        "  Subsys Vendor : (1014h) IBM\n"
        "  Subsys Device : (0528h) ThinkPad R40e\n"
        "  Legacy Addr   : 000003E1h\n\n" +
        head("Texas Instruments (104Ch)", "PCI1510 PC card Cardbus Controller (AC56h)",
             (bridge + std::string("Cardbus\n")).c_str(), "Bus 1, Device 0, Func 1", "02h") +
        "  Subsys Vendor : (17AAh) Lenovo\n"
        "  Subsys Device : (2012h) ThinkPad T60/R60 series\n\n" +
        head("Illegal Vendor ID (FFFFh)", "Unknown (FFFFh)", "  Class         : Unknown\n  Subclass      : Unknown\n",
             "Bus 2, Device 0, Func 0", "7Fh") + "\n" +
        head("Intel Corporation (8086h)", "82540EM Gigabit Ethernet Controller (100Eh)",
             "  Class         : Network\n  Subclass      : Ethernet\n", "Bus 16, Device 0, Func 0", "00h") + "\n\n";
    EXPECT_EQ(expected, report.text());
}

TEST(PciListing, VpdLinesEndTheDeviceBlock) {
    report_mode mode(0);
    pci_tree tree;
    std::string path = tree.add(0, 4, 0, config_space(0x8086, 0x100E, 0x02, 0x00, 0x00).capabilities({{0x40, 3}}));
    bytes vpd = {0x82, 2, 0, 'N', 'C', 0x90, 5, 0, 'S', 'N', 2, '4', '2', 0x78};
    fake_vpd_device device(path, 0x40, vpd);
    captured_stream report;
    EXPECT_STREQ("OK", list_pci_devices(report.get()));
    std::string text = report.text();
    EXPECT_NE(std::string::npos,
              text.find("  Header Type   : 00h\n  Product Name  : 'NC'\n  Serial Number : '42'\n\n\n"))
        << text;
}

TEST(PciListing, SummaryTableRows) {
    report_mode mode(3);
    pci_tree tree;
    tree.add(0, 1, 0, config_space(0x8086, 0x7000, 0x06, 0x01, 0x00));
    // VPD is read for bridges too in the summary.
    std::string path =
        tree.add(0, 5, 0, config_space(0x1B36, 0x0001, 0x06, 0x04, 0x01).capabilities({{0x40, 1}, {0x48, 3}}));
    bytes vpd = {0x82, 3, 0, 'B', 'R', 1, 0x90, 10, 0, 'P', 'N', 1, 'p', 'E', 'C', 1, 'e', 0x78};
    fake_vpd_device device(path, 0x48, vpd);
    captured_stream report;
    EXPECT_STREQ("OK", summarize_pci_devices(report.get()));
    std::string text = report.text();
    const char* empty_vpd =
        "  Product Name  : \n  Part Number   : \n  EC Level      : \n  Manufacture ID: \n  Serial Number : \n"
        "  Address       : 0000:00:01.0\n  Driver        : None\n";
    EXPECT_NE(std::string::npos,
              text.find("  Bus           : 0\n  Device        : 1\n  Function      : 0\n  Slot          : Unknown\n"
                        "  Vendor ID     : 8086h\n  Vendor Name   : Intel Corporation\n  Device ID     : 7000h\n"
                        "  Device Name   : 82371SB PIIX3 ISA [Natoma/Triton II]\n  Class         : Bridge\n"
                        "  Sub Class     : PCI-to-ISA\n" +
                        std::string(empty_vpd)))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("  Sub Class     : PCI-to-PCI\n  Product Name  : BR.\n  Part Number   : p\n  EC Level      : e\n"
                        "  Manufacture ID: \n  Serial Number : \n  Address       : 0000:00:05.0\n"))
        << text;
}

TEST(PciListing, SummaryRowNamesInTheStructuredReport) {
    report_mode mode(4);
    pci_tree tree;
    tree.add(0, 3, 0, config_space(0x8086, 0x100E, 0x02, 0x00, 0x00));
    captured_stream report;
    EXPECT_STREQ("OK", summarize_pci_devices(report.get()));
    std::string text = report.text();
    EXPECT_NE(std::string::npos, text.find("<SECTION ID=\"PCI DEVICES\">")) << text;
    EXPECT_NE(std::string::npos, text.find("<TABLE ID=\"PCI Device Summary\">")) << text;
    EXPECT_NE(std::string::npos, text.find("<ROW ID=\"82540EM Gigabit Ethernet Controller - 0:3:0\">")) << text;
}

TEST(PciListing, NoConfigurationFilesAtAll) {
    pci_tree tree;  // an empty directory
    {
        report_mode mode(0);
        captured_stream report;
        EXPECT_STREQ("Not Found", list_pci_devices(report.get()));
        EXPECT_EQ("", report.text());
    }
    {
        report_mode mode(4);
        captured_stream report;
        EXPECT_STREQ("OK", summarize_pci_devices(report.get()));
        std::string text = report.text();
        EXPECT_NE(std::string::npos, text.find("<ROWS>0</ROWS>")) << text;
        EXPECT_NE(std::string::npos, text.find("</SECTION>")) << text;
    }
    EXPECT_STREQ("FAILED", list_pci_devices(nullptr));
    EXPECT_STREQ("FAILED", summarize_pci_devices(nullptr));
}

int count_of(const std::string& text, const char* needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// A file standing for physical memory.
class ExpansionRoms : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("mem");
        set_physical_memory_path(path.c_str());
    }
    void TearDown() override { set_physical_memory_path(nullptr); }

    static bytes rom(uint8_t blocks, const char* text, uint16_t pci_data_offset) {
        bytes r(26, 0);
        r[0] = 0x55;
        r[1] = 0xAA;
        r[2] = blocks;
        std::memcpy(&r[6], text, 18);
        put_u16(r, 24, pci_data_offset);
        return r;
    }
    static bytes pci_data(uint16_t vendor, uint16_t device, uint16_t vpd, uint8_t indicator) {
        bytes d(26, 0);
        std::memcpy(d.data(), "PCIR", 4);
        put_u16(d, 4, vendor);
        put_u16(d, 6, device);
        put_u16(d, 8, vpd);
        put_u16(d, 10, 0x18);
        d[13] = 0x00;
        d[14] = 0x00;
        d[15] = 0x02;
        put_u16(d, 16, 1);
        put_u16(d, 18, 0x0102);
        d[21] = indicator;
        return d;
    }

    temp_dir dir;
    std::string path;
};

TEST_F(ExpansionRoms, EveryImageOnA512ByteBoundary) {
    bytes text_with_controls = rom(1, "Intel\x01\x7F\x80 BootAgent", 0x1C);
    bytes swapped = rom(1, "swapped signature ", 0x1C);
    std::swap(swapped[0], swapped[1]);
    write_memory(path, {
                           // Two images of one ROM, listed one by one.
                           {0xC0000, text_with_controls},
                           {0xC001C, pci_data(0x8086, 0x100E, 0x0040, 0x00)},
                           {0xC0200, rom(2, "second image      ", 0x1C)},
                           {0xC021C, pci_data(0x8086, 0x100E, 0, 0x80)},
                           {0xC8000, swapped},
                           {0xC9001, rom(1, "off the boundary  ", 0x1C)},
                           // The last address examined; its PCI data lies past the memory.
                           {0xDFE00, rom(3, "last one          ", 0xFFFF)},
                           {0xE0000, rom(4, "never examined    ", 0x1C)},
                       });
    report_mode mode(0);
    captured_stream report;
    EXPECT_STREQ("OK", list_expansion_roms(report.get()));
    std::string text = report.text();
    const std::string first_rom =
        "\n=========================\n"
        "  EXPANSION ROM LISTING\n"
        "=========================\n"
        "  ROM Head Signature     : AA55\n"
        "  ROM Start Address      : C0000\n"
        "  ROM Image size (bytes) : 512\n"
        "  ROM Text               : Intel.\x7F. BootAgent\n"
        "  ROM PCI Structure Sig. : PCIR\n"
        "  ROM Vendor Description : 8086 (Intel Corporation)\n"
        "  ROM Device Description : 100E (82540EM Gigabit Ethernet Controller)\n"
        "  ROM VPD Address        : 0040 \n"
        "  ROM VPD Abs. Address   : C0040\n"
        "  ROM Data Struc. Length : 24\n"
        "  ROM Data Struc. Rev.   : 0\n"
        "  ROM Class Code         : 02 (Network)\n"
        "  ROM SubClass Code      : 00 (Ethernet)\n"
        "  ROM Image Length       : 1\n"
        "  ROM Code Revision      : 258\n"
        "  ROM COde Type          : 0\n"
        "  ROM Indicator          : 0\n\n"
        "  ROM Head Signature     : AA55\n"
        "  ROM Start Address      : C0200\n"
        "  ROM Image size (bytes) : 1024\n"
        "  ROM Text               : second image      \n";
    EXPECT_EQ(0u, text.rfind(first_rom, 0)) << text;
    EXPECT_NE(std::string::npos, text.find("  ROM VPD Address        : 0000 \n  ROM Data Struc. Length : 24\n"));
    // The last boundary below 0xE0000, whose PCI data cannot be read: zeros.
    EXPECT_NE(std::string::npos,
              text.find("  ROM Start Address      : DFE00\n  ROM Image size (bytes) : 1536\n"
                        "  ROM Text               : last one          \n  ROM PCI Structure Sig. : ....\n"
                        "  ROM Vendor Description : 0000 (Unknown)\n  ROM Device Description : 0000 (Unknown)\n"
                        "  ROM VPD Address        : 0000 \n  ROM Data Struc. Length : 0\n"))
        << text;
    EXPECT_EQ(3, count_of(text, "ROM Start Address"));
    EXPECT_TRUE(text.ends_with("  ROM Indicator          : 0\n\n\n"));
}

TEST_F(ExpansionRoms, NothingFoundWritesNothing) {
    write_memory(path, {{0xE0000, rom(1, "outside the window", 0)}});
    captured_stream report;
    EXPECT_STREQ("Not Found", list_expansion_roms(report.get()));
    EXPECT_EQ("", report.text());
}

}  // namespace

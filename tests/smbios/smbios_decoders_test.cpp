// The memory, cache, connector, slot, string, device and probe tables, and
// the computed texts they use.
#include "smbios/section_fixture.h"
#include "smbios/smbios_texts.h"

namespace {

using strings = std::vector<std::string>;

// Memory controller: error correcting capability, supported types and the
// largest module size.
structure controller(uint8_t capability, uint16_t types, uint8_t max_module) {
    return structure(5, 15).u8(4, 6).u8(5, capability).u8(6, 4).u8(7, 9).u8(8, max_module).u16(9, 0x0C)
        .u16(11, types).u8(13, 0x03).u8(14, 4);
}

TEST_F(SmbiosSection, MemoryControllerCells) {
    section_result r = run({controller(0x08, 0x0180, 0x87), controller(0x0C, 0, 0x7F), controller(0x20, 0x0800, 10)});
    const decoded_table& c = r.table("Memory Controller Information");
    EXPECT_EQ(c.rows[0]["Err Detect Method"], "64-bit ECC");
    EXPECT_EQ(c.column("Err Correct Capability"), (strings{"Single Bit", "Error: Invalid Type", "Error Scrubbing"}));
    EXPECT_EQ(c.rows[0]["Supported Interleave"], "2 Way");
    EXPECT_EQ(c.rows[0]["Current Interleave"], "Error: Invalid Interleave");
    EXPECT_EQ(c.column("Supported Types"), (strings{"SIMM, DIMM", "None", "Error: Invalid Type"}));
    EXPECT_EQ(c.column("Max Module Sz"), (strings{"128 MB", "Not Installed", "1 GB"}));
    EXPECT_EQ(c.rows[0]["Supp Speeds"], "70 ns, 60 ns");
    EXPECT_EQ(c.rows[0]["Voltage"], "5V, 3.3V");
    EXPECT_EQ(c.rows[0]["Num slots"], "4");
}

TEST_F(SmbiosSection, MemoryModuleCells) {
    section_result r = run({structure(6, 12).u8(4, 1).u8(5, 0x01).u8(6, 60).u16(7, 0x0100).u8(9, 0x87).u8(10, 0x7D)
                                .u8(11, 0x02).strings({"DIMM 0"}),
                            structure(6, 12).u8(5, 0xF2).u8(11, 0x01), structure(6, 12).u8(5, 0xFF)});
    const decoded_table& m = r.table("Memory Module Information");
    EXPECT_EQ(m.rows[0]["Socket"], "DIMM 0");
    EXPECT_EQ(m.column("Bank Connections"), (strings{"RAS 0, RAS 1", "RAS 2", ""}));
    EXPECT_EQ(m.rows[0]["Speed"], "60");
    EXPECT_EQ(m.rows[0]["Type"], "DIMM");
    EXPECT_EQ(m.rows[0]["Installed Size"], "128 MB");
    EXPECT_EQ(m.rows[0]["Enabled Size"], "Not Determinable");
    EXPECT_EQ(m.column("Errs Corrected"), (strings{"Yes", "None", "None"}));
    EXPECT_EQ(m.column("Errs UnCor"), (strings{"None", "Yes", "None"}));
}

TEST_F(SmbiosSection, CacheCellsAndShortCache) {
    structure full = structure(7, 19).u8(4, 1).u16(5, 0x0181).u16(7, 0x8010).u16(9, 0x8010).u16(11, 0x20)
                         .u16(13, 0x20).u8(15, 7).u8(16, 5).u8(17, 5).u8(18, 2).strings({"L2 Cache"});
    section_result r = run({full, structure(7, 15).u16(5, 0x0002).u16(9, 0x0100).u8(13, 0x00)});
    const decoded_table& c = r.table("Cache Information");
    EXPECT_EQ(c.rows[0]["Socket"], "L2 Cache");
    EXPECT_EQ(c.column("Lvl"), (strings{"L2", "L3"}));
    EXPECT_EQ(c.column("Status"), (strings{"Enabled", "Disabled"}));
    EXPECT_EQ(c.column("Type"), (strings{"WB", "WT"}));
    EXPECT_EQ(c.column("Size"), (strings{"  1 M", "?????"}));
    EXPECT_EQ(c.rows[0]["SRAM Type"], "Synchronous");
    EXPECT_EQ(c.column("Speed"), (strings{"7", "0"}));
    EXPECT_EQ(c.column("ECC Type"), (strings{"Single-bit ECC", "Unknown"}));
    EXPECT_EQ(c.column("System Cache"), (strings{"Unified", "Unknown"}));
    EXPECT_EQ(c.column("Associativity"), (strings{"Unknown", "Unknown"}));
}

TEST_F(SmbiosSection, PhysicalMemoryArrayCapacity) {
    section_result r = run({structure(16, 15).handle(0x1000).u8(4, 3).u8(5, 3).u8(6, 3).u32(7, 0x80000000)
                                .u16(11, 0xFFFE).u16(13, 2),
                            structure(16, 15).u8(4, 0xA3).u8(5, 8).u8(6, 8).u32(7, 524288)});
    const decoded_table& a = r.table("Physical Memory Array Information");
    EXPECT_EQ(a.rows[0]["Handle"], "1000h");
    EXPECT_EQ(a.column("Location"), (strings{"System Board", "PC-98/Local bus card"}));
    EXPECT_EQ(a.column("Use"), (strings{"System Memory", "Error: Invalid Usage"}));
    EXPECT_EQ(a.column("Error Correction"), (strings{"None", "Error: Invalid Type"}));
    EXPECT_EQ(a.column("Max Capacity"), (strings{"Unknown", "524288"}));
    EXPECT_EQ(a.rows[0]["Error Handle"], "FFFE");
    EXPECT_EQ(a.rows[0]["Memory Devices"], "2");
}

TEST_F(SmbiosSection, MemoryDeviceCells) {
    section_result r = run({structure(17, 21).handle(0x11ab).u16(4, 0x1000).u16(6, 0xFFFE).u16(8, 72).u16(10, 64)
                                .u16(12, 2048).u8(14, 9).u8(15, 0).u8(16, 1).u8(17, 2).u8(18, 17).u16(19, 0x0080)
                                .strings({"DIMM 0", "BANK 0"})});
    const decoded_row& d = r.row("Memory Device Information");
    EXPECT_EQ(d["Handle"], "11abh");
    EXPECT_EQ(d["Dev Locator"], "DIMM 0");
    EXPECT_EQ(d["Bank Locator "], "BANK 0");
    EXPECT_EQ(d["Width Tot/Data"], " 72/ 64");
    EXPECT_EQ(d["Size"], "2048");
    EXPECT_EQ(d["Form Factor"], "DIMM");
    EXPECT_EQ(d["Type"], "RDRAM");
    EXPECT_EQ(d["Detail"], "0080h");
    EXPECT_EQ(d["Array Handle"], "1000");
    EXPECT_EQ(d["Err Handle"], "FFFE");
}

TEST_F(SmbiosSection, MemoryErrorAndMappedAddresses) {
    section_result r = run({structure(18, 23).u8(4, 3).u32(7, 0xDEADBEEF).u32(19, 1),
                            structure(19, 15).u32(8, 0x7FFFF).u16(12, 0x1000).u8(14, 1),
                            structure(20, 19).u16(12, 0x1100).u16(14, 0x1300).u8(16, 0xFF).u8(18, 2)});
    const decoded_row& e = r.row("Memory Error Information");
    EXPECT_EQ(e["Err Type"], "03h");
    EXPECT_EQ(e["Vend Syndrome"], "DEADBEEFh");
    EXPECT_EQ(e["Resolution"], "00000001h");
    const decoded_row& a = r.row("Memory Array Mapped Address Information");
    EXPECT_EQ(a["End Addr"], "0007FFFFh");
    EXPECT_EQ(a["Array Handle"], "1000h");
    EXPECT_EQ(a["Partition Width"], "01h");
    const decoded_row& d = r.row("Memory Device Mapped Address Information");
    EXPECT_EQ(d["Array Mapped Addr Handle"], "1300h");
    EXPECT_EQ(d["Partit Row Posn"], "FFh");
    EXPECT_EQ(d["I/Leave Data Depth"], "02h");
}

// Keyed by the external designator, else the internal one, else the port
// type; a designator of one character does not count, "(none)" does.
TEST_F(SmbiosSection, PortConnectorKeys) {
    section_result r = run({structure(8, 9).u8(4, 1).u8(5, 0).u8(6, 2).u8(7, 9).u8(8, 9).strings({"J1", "COM1"}),
                            structure(8, 9).u8(4, 1).u8(6, 2).u8(8, 9).strings({"J2", "A"}),
                            structure(8, 9).u8(4, 1).u8(6, 2).u8(8, 9).strings({"B", "C"}),
                            structure(8, 9).u8(4, 1).u8(6, 0).u8(8, 18).strings({"J4"}),
                            structure(8, 9).u8(4, 1).u8(6, 2).u8(7, 0x22).u8(8, 18).strings({"x", "y"})});
    const decoded_table& p = r.table("Port Connector Information");
    EXPECT_EQ(p.keys(), (strings{"COM1", "J2", "Serial Port 16550A Compatible", "(none)", "Error: Invalid Type"}));
    EXPECT_EQ(p.rows[0]["Port Type"], "Serial Port 16550A Compatible");
    EXPECT_EQ(p.rows[0]["Internal Designator"], "J1");
    EXPECT_EQ(p.rows[0]["Internal Connector Type"], "None");
    EXPECT_EQ(p.rows[0]["External Designator"], "COM1");
    EXPECT_EQ(p.rows[0]["External Connector Type"], "DB9 pin female");
    EXPECT_EQ(p.rows[4]["External Connector Type"], "Error: Invalid Type");
}

TEST_F(SmbiosSection, SlotCellsAndCharacteristicsByLength) {
    section_result r = run({structure(9, 12).u8(4, 1).u8(5, 6).u8(6, 5).u8(7, 4).u8(8, 4).u16(9, 3).u8(11, 0x04)
                                .strings({"PCI1"}),
                            structure(9, 13).u8(4, 1).u8(11, 0x04).u8(12, 0).strings({"PCI2"}),
                            structure(9, 13).u8(4, 1).u8(11, 0x06).u8(12, 0x03).strings({"PCI3"}),
                            structure(9, 13).u8(4, 1).strings({"PCI4"})});
    const decoded_table& s = r.table("Adapter Slot Information");
    EXPECT_EQ(s.keys(), (strings{"PCI1", "PCI2", "PCI3", "PCI4"}));
    EXPECT_EQ(s.rows[0]["Type"], "PCI");
    EXPECT_EQ(s.rows[0]["Bus Width"], "32 bit");
    EXPECT_EQ(s.rows[0]["In Use"], "In Use");
    EXPECT_EQ(s.rows[0]["Length "], "Full");
    EXPECT_EQ(s.rows[0]["ID"], "3");
    EXPECT_EQ(s.rows[1]["Type"], "Error: Invalid Type");
    EXPECT_EQ(s.column("Characteristics"), (strings{"Provides 3.3v", "Provides 3.3v, ",
                                                    "Provides 5v, Provides 3.3v, Supports PME#, Hot Plug", ", "}));
}

TEST_F(SmbiosSection, OnBoardDevicesOnePerEntry) {
    section_result r = run({structure(10, 8).u8(4, 0x83).u8(5, 1).u8(6, 0x05).u8(7, 0).strings({"VGA"}),
                            structure(10, 4), structure(10, 7).u8(4, 0x09).u8(5, 1).strings({"odd"})});
    const decoded_table& d = r.table("On-board Device Information");
    EXPECT_EQ(d.keys(), (strings{"Video", "Ethernet", "Error: Invalid Type"}));
    EXPECT_EQ(d.column("Status"), (strings{"Enabled", "Disabled", "Disabled"}));
    EXPECT_EQ(d.column("Description"), (strings{"VGA", "None", "odd"}));
}

TEST_F(SmbiosSection, OemStringsAndConfigurationOptions) {
    section_result r = run({structure(11, 5).u8(4, 3).strings({"a", "b", "c"}), structure(11, 5).u8(4, 0),
                            structure(11, 5).u8(4, 2).strings({"d", "e"}),
                            structure(12, 5).u8(4, 2).strings({"JP1", "JP2"})});
    const decoded_table& oem = r.table("OEM Strings");
    EXPECT_EQ(oem.keys(), (strings{"1", "1", "1", "3", "3"}));
    EXPECT_EQ(oem.column("String"), (strings{"a", "b", "c", "d", "e"}));
    const decoded_table& options = r.table("System Configuration Options");
    EXPECT_EQ(options.keys(), (strings{"", ""}));
    EXPECT_EQ(options.column("Config Option"), (strings{"JP1", "JP2"}));
    // Five rows of two structures keyed by position.
    EXPECT_EQ(run({structure(11, 5).u8(4, 3).strings({"a", "b", "c"}), structure(11, 5).u8(4, 2).strings({"d", "e"})})
                  .table("OEM Strings").keys(),
              (strings{"1", "1", "1", "2", "2"}));
}

TEST_F(SmbiosSection, BiosLanguages) {
    section_result r = run({structure(13, 22).u8(4, 2).u8(21, 2).strings({"en|US|iso8859-1", "fr|FR|iso8859-1"}),
                            structure(13, 22).u8(4, 1).u8(21, 0).strings({"de|DE|iso8859-1"}),
                            structure(13, 22).u8(4, 1).u8(21, 2).strings({"it|IT|iso8859-1"})});
    const decoded_table& l = r.table("BIOS Language Information");
    EXPECT_EQ(l.keys(), (strings{"Current Language", "Installable Language 1", "Installable Language 2",
                                 "Current Language", "Installable Language 1", "Current Language",
                                 "Installable Language 1"}));
    EXPECT_EQ(l.column("Status"), l.keys());
    EXPECT_EQ(l.column("Language"), (strings{"fr|FR|iso8859-1", "en|US|iso8859-1", "fr|FR|iso8859-1",
                                             "Error: Invalid Language", "de|DE|iso8859-1",
                                             "Error: Invalid Language", "it|IT|iso8859-1"}));
}

TEST_F(SmbiosSection, GroupAssociations) {
    section_result r = run({structure(14, 8).u8(4, 1).u8(5, 4).u16(6, 0x0400).strings({"CPUs"}),
                            structure(14, 8).u8(4, 0).u8(5, 4)});
    const decoded_table& g = r.table("Group Associations");
    EXPECT_EQ(g.column("Group Number"), (strings{"1", "0"}));
    EXPECT_EQ(g.column("Group Name"), (strings{"CPUs", "Invalid Group Name"}));
    EXPECT_EQ(g.rows[0]["Item Type"], "4");
    EXPECT_EQ(g.rows[0]["Item Handle"], "0400h");
}

TEST_F(SmbiosSection, PointingDevices) {
    section_result r = run({structure(21, 7).u8(4, 7).u8(5, 162).u8(6, 2), structure(21, 7).u8(4, 9).u8(5, 9)});
    const decoded_table& p = r.table("Built-In Pointing Device Information");
    EXPECT_EQ(p.column("Type"), (strings{"Touch Pad", "Error: Invalid Type"}));
    EXPECT_EQ(p.column("Interface"), (strings{"USB", "Error: Invalid Interface"}));
    EXPECT_EQ(p.rows[0]["Number of Buttons"], "2");
}

// The smart-battery fields follow the table's revision, not the length.
TEST_F(SmbiosSection, BatteryByRevision) {
    structure battery = structure(22, 26).u8(4, 1).u8(6, 2).u8(7, 3).u8(8, 4).u16(10, 4400).u16(12, 10800)
                            .u8(14, 5).u8(15, 3).u16(16, 0x1234).u16(18, 0x2A21).u8(20, 6).u8(21, 10)
                            .u32(22, 0xCAFE).strings({"Rear", "2002-12-04", "BAT-1", "Li-ion 4400", "1.1", "LION"});
    const std::vector<std::pair<uint8_t, strings>> cases = {
        {0x21, {"Unknown", "Unknown", "Unknown", "Unknown", "Unknown"}},
        {0x23, {"1234h", "2A21h", "06h", "0Ah", "0000CAFEh"}},
    };
    for (const auto& [revision, late] : cases) {
        section_result r = run({battery}, revision);
        const decoded_row& b = r.row("Portable Battery Information");
        EXPECT_EQ(b["Location"], "Rear");
        EXPECT_EQ(b["Mfg Date"], "2002-12-04");
        EXPECT_EQ(b["Serial Number"], "BAT-1");
        EXPECT_EQ(b["Dev Name"], "Li-ion 4400");
        EXPECT_EQ(b["Capacity"], "4400");
        EXPECT_EQ(b["Design Voltage"], "10800");
        EXPECT_EQ(b["Ver Number"], "1.1");
        EXPECT_EQ(b["Max Err in Data"], "3");
        EXPECT_EQ((strings{b["SBDS SN"], b["SBDS Mfg Date"], b["Chemistry"], b["Cap Mult"], b["OEM Data"]}), late)
            << std::hex << int(revision);
    }
}

TEST_F(SmbiosSection, RawSystemFields) {
    section_result r = run({structure(23, 13).u8(4, 0x3B).u16(5, 2).u16(7, 5).u16(9, 60).u16(11, 0xFFFF),
                            structure(24, 5).u8(4, 0x5A), structure(25, 9).u8(4, 0x12).u8(8, 0x59),
                            structure(27, 12).u16(4, 0x2700).u8(6, 0x63).u8(7, 1).u32(8, 0x12345678),
                            structure(30, 6).u8(4, 1).u8(5, 3).strings({"ACME RAC"}),
                            structure(32, 11).u8(10, 0x80)});
    const decoded_row& reset = r.row("System Reset Information");
    EXPECT_EQ(reset["Capabilities"], "3Bh");
    EXPECT_EQ(reset["Reset Count"], "2");
    EXPECT_EQ(reset["Timeout"], "65535");
    EXPECT_EQ(r.row("Hardware Security Information")["Settings"], "5Ah");
    EXPECT_EQ(r.row("Next Scheduled Power On Information")["Month"], "18");
    EXPECT_EQ(r.row("Next Scheduled Power On Information")["Second"], "89");
    const decoded_row& fan = r.row("Cooling Devices");
    EXPECT_EQ(fan["Temp Probe Handle"], "2700h");
    EXPECT_EQ(fan["Device Type & Status"], "63h");
    EXPECT_EQ(fan["OEM Data "], "12345678h");
    EXPECT_EQ(r.row("Out-of-Band Remote Access")["Manufacturer Name"], "ACME RAC");
    EXPECT_EQ(r.row("Out-of-Band Remote Access")["Connections"], "3");
    EXPECT_EQ(r.row("Boot Status")["Boot Status"], "80h");
}

TEST_F(SmbiosSection, ProbesShareOneLayout) {
    auto probe = [](uint8_t type) {
        return structure(type, 22).u8(4, 1).u8(5, 0x67).u16(6, 0x8000).u16(8, 0x10).u16(14, 0xFFFF)
            .u32(16, 0xA5).strings({"CPU Core"});
    };
    section_result r = run({probe(26), probe(28), probe(29)});
    ASSERT_EQ(r.titles(), (strings{"Voltage Probes", "Temperature Probes", "Electrical Current Probes"}));
    for (const decoded_table& t : r.tables) {
        ASSERT_EQ(t.rows.size(), 1u);
        EXPECT_EQ(t.rows[0]["Description"], "CPU Core");
        EXPECT_EQ(t.rows[0]["Locn & Status"], "67h");
        EXPECT_EQ(t.rows[0]["Max Value"], "8000h");
        EXPECT_EQ(t.rows[0]["Min Value"], "0010h");
        EXPECT_EQ(t.rows[0]["Accuracy"], "FFFFh");
        EXPECT_EQ(t.rows[0]["OEM Data "], "000000A5h");
    }
}

TEST(SmbiosTexts, ProcessorStatus) {
    const std::pair<uint8_t, const char*> cases[] = {
        {0x41, "Populated, Enabled"},  {0x00, "Unpopulated, Status Unknown"}, {0x47, "Populated, Status Other"},
        {0x44, "Populated, Idle"},     {0x45, "Error: Invalid Status"},       {0x81, "Error: Invalid Status"},
    };
    std::string buffer;
    for (auto [status, text] : cases) EXPECT_STREQ(processor_status_text(status, buffer), text) << int(status);
}

TEST(SmbiosTexts, ModuleSize) {
    const std::pair<uint8_t, const char*> cases[] = {
        {0, "1 MB"},         {0x89, "512 MB"},        {10, "1 GB"},
        {11, "Error: Invalid Size"}, {124, "Error: Invalid Size"}, {125, "Not Determinable"},
        {0xFE, "Installed, Not Enabled"}, {0x7F, "Not Installed"},
    };
    std::string buffer;
    for (auto [size, text] : cases) EXPECT_STREQ(module_size_text(size, buffer), text) << int(size);
}

TEST(SmbiosTexts, BitListsJoinSetBitsLowestFirst) {
    const std::tuple<const bit_names*, unsigned, const char*> cases[] = {
        {&memory_type_bits, 0x0180, "SIMM, DIMM"},
        {&memory_type_bits, 0, "None"},
        {&memory_type_bits, 0x0801, "Other, Error: Invalid Type"},
        {&speed_bits, 0, ""},
        {&speed_bits, 0xFFE0, ""},  // only bits 0-4 have names
        {&voltage_bits, 0x07, "5V, 3.3V, 2.9V"},
        {&sram_type_bits, 0x41, "Other, Asynchronous"},
        {&sram_type_bits, 0x80, "None"},
        {&slot_characteristics_2_bits, 0x06, "Hot Plug, SMBus"},
    };
    std::string buffer;
    for (auto [names, value, text] : cases) EXPECT_STREQ(bit_list(*names, value, buffer), text) << value;
}

}  // namespace

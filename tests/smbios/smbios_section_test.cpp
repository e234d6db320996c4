// The SMBIOS section as a whole, and the BIOS, system, enclosure and
// processor tables.
#include "smbios/section_fixture.h"

namespace {

using strings = std::vector<std::string>;

// Serial number string 4 at offset 32 and part number string 6 at offset 34,
// where the length holds them.
structure processor(unsigned length) {
    structure s(4, length);
    s.u8(4, 1).u8(7, 2).u32(8, 0x663).u32(12, 0x078BFBFF).u8(16, 3).u16(20, 2000).u16(22, 1800).u8(24, 0x41);
    if (length > 32) s.u8(32, 4);
    if (length > 34) s.u8(34, 6);
    return s.strings({"CPU 0", "ACME", "ACME Processor 3000", "PSN-1", "AT-2", "PN-3"});
}

structure bios(unsigned length, uint8_t characteristics_byte_10, uint8_t extension = 0) {
    structure s(0, length);
    s.u8(4, 1).u8(5, 2).u16(6, 0xE800).u8(8, 3).u8(9, 15).u8(10, characteristics_byte_10);
    if (length > 18) s.u8(18, extension);
    return s.strings({"ACME BIOS Inc.", "AC8670.1.04", "03/15/2023"});
}

TEST_F(SmbiosSection, WritesOneTablePerDecodedTypeInTypeOrder) {
    section_result r = run({processor(35), system_information("ACME", "8670", "SN1"), structure(15, 8),
                            structure(31, 8), structure(33, 8), structure(40, 8), structure(126, 8)});
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.titles(), (strings{"System Information", "Processor Information"}));
    EXPECT_EQ(r.text.rfind("<SECTION ID=\"SMBIOS INFORMATION\">\n", 0), 0u) << r.text;
    EXPECT_NE(r.text.find("</SECTION>\n"), std::string::npos);
    report_check_result check = check_report(whole_document(r.text));
    EXPECT_TRUE(check.ok) << check.error;
    EXPECT_EQ(r.misuse, "");
}

TEST_F(SmbiosSection, FailsWithoutTableAndWritesNothing) {
    set_physical_memory_path(dir.file("absent").c_str());
    section_result r = run_loaded();
    EXPECT_EQ(r.status, "Failed");
    EXPECT_EQ(r.text, "");
}

// A structure of every type with a decoder, all fields set to non-zero
// bytes: each gives its table, in type order, every row full and the
// document's checksums sound.
TEST_F(SmbiosSection, EveryDecoderWritesFullRows) {
    std::vector<bytes> structures;
    for (unsigned type = 0; type <= 43; ++type) {
        structure s(static_cast<uint8_t>(type), 40);
        for (unsigned offset = 4; offset < 40; ++offset) s.u8(offset, static_cast<uint8_t>(offset % 3 + 1));
        // A memory controller's strings would be taken for the next structure.
        if (type != 5) s.strings({"one", "two", "three"});
        structures.push_back(s);
    }
    section_result r = run(structures);
    EXPECT_EQ(r.titles(), (strings{
        "BIOS Information", "Supported Features", "System Information", "Baseboard Information",
        "System Enclosure Information", "Processor Information", "Memory Controller Information",
        "Memory Module Information", "Cache Information", "Port Connector Information", "Adapter Slot Information",
        "On-board Device Information", "OEM Strings", "System Configuration Options", "BIOS Language Information",
        "Group Associations", "Physical Memory Array Information", "Memory Device Information",
        "Memory Error Information", "Memory Array Mapped Address Information",
        "Memory Device Mapped Address Information", "Built-In Pointing Device Information",
        "Portable Battery Information", "System Reset Information", "Hardware Security Information",
        "Next Scheduled Power On Information", "Voltage Probes", "Cooling Devices", "Temperature Probes",
        "Electrical Current Probes", "Out-of-Band Remote Access", "Boot Status", "IPMI Device Information",
        "System Power Supply Information", "Onboard Devices Extended Information", "TPM Device Information"}));
    for (const decoded_table& t : r.tables) {
        EXPECT_FALSE(t.rows.empty()) << t.title;
        for (const decoded_row& row : t.rows) EXPECT_EQ(static_cast<int>(row.cells.size()), t.columns) << t.title;
    }
    EXPECT_EQ(r.misuse, "");
    report_check_result check = check_report(whole_document(r.text));
    EXPECT_TRUE(check.ok) << check.error;
}

// Structures that end right after their header: no field is read, every text
// cell is "Unknown" (or the empty text the short system structure gives) and
// every number 0; the multi-row types give no rows.
TEST_F(SmbiosSection, HeaderOnlyStructuresShowUnknownAndZero) {
    std::vector<bytes> structures;
    for (unsigned type = 0; type <= 32; ++type) {
        structure s(static_cast<uint8_t>(type), 4);
        if (type != 5) s.strings({"present"});
        structures.push_back(s);
    }
    section_result r = run(structures, 0x30);
    ASSERT_EQ(r.status, "OK");
    for (const decoded_table& t : r.tables) {
        for (const decoded_row& row : t.rows) {
            for (const decoded_cell& c : row.cells) {
                bool label = c.column == "Handle" || c.column == "Feature Name" || c.text == "Current Language";
                if (c.kind == "DEC") {
                    EXPECT_EQ(c.text, "0") << t.title << " / " << c.column;
                } else if (!label) {
                    EXPECT_TRUE(c.text == "Unknown" || (c.text.empty() && t.title == "System Information"))
                        << t.title << " / " << c.column << ": " << c.text;
                }
            }
        }
    }
    EXPECT_EQ(r.table("OEM Strings").rows.size(), 0u);
    EXPECT_EQ(r.table("On-board Device Information").rows.size(), 0u);
    EXPECT_EQ(r.row("BIOS Language Information")["Language"], "Unknown");
    EXPECT_EQ(r.row("Port Connector Information").key, "Unknown");
    EXPECT_EQ(r.table("Supported Features").rows.size(), 16u);
    EXPECT_EQ(r.misuse, "");
}

TEST_F(SmbiosSection, BiosRowsAndFeaturesOfTheLastBios) {
    // Bit 4 (ISA) set in the first, bit 7 (PCI) in the second; ACPI in the
    // extension byte of the second.
    section_result r = run({bios(18, 0x10), bios(19, 0x80, 0x01)});
    const decoded_table& b = r.table("BIOS Information");
    EXPECT_EQ(b.keys(), (strings{"", ""}));
    EXPECT_EQ(b.rows[0]["Vendor"], "ACME BIOS Inc.");
    EXPECT_EQ(b.rows[0]["Version"], "AC8670.1.04");
    EXPECT_EQ(b.rows[0]["Start Addr"], "E800h");
    EXPECT_EQ(b.rows[0]["Release Date"], "03/15/2023");
    EXPECT_EQ(b.rows[0]["ROM Size"], "1M");
    EXPECT_EQ(b.rows[0].cells[1].width, 25);

    ASSERT_EQ(r.titles(), (strings{"BIOS Information", "Supported Features"}));
    const decoded_table& f = r.table("Supported Features");
    ASSERT_EQ(f.rows.size(), 24u);
    EXPECT_EQ(f.rows[0].key, "ISA");
    EXPECT_EQ(f.rows[0]["Supported"], "No");
    EXPECT_EQ(f.rows[3].key, "PCI");
    EXPECT_EQ(f.rows[3]["Feature Name"], "PCI Supported");
    EXPECT_EQ(f.rows[3]["Supported"], "Yes");
    EXPECT_EQ(f.rows[16].key, "ACPI");
    EXPECT_EQ(f.rows[16]["Supported"], "Yes");
    EXPECT_EQ(f.rows[23].key, "Smart Battery BIOS");
}

TEST_F(SmbiosSection, FeatureRowsFollowTheFormattedLength) {
    EXPECT_EQ(run({bios(18, 0)}).table("Supported Features").rows.size(), 16u);
    EXPECT_EQ(run({bios(19, 0)}).table("Supported Features").rows.size(), 24u);
}

TEST_F(SmbiosSection, RomSizes) {
    const std::pair<uint8_t, const char*> cases[] = {{0, "64K"}, {1, "128K"}, {2, "Unknown"}, {127, "8M"}};
    for (auto [code, text] : cases) {
        EXPECT_EQ(run({bios(18, 0).u8(9, code)}).row("BIOS Information")["ROM Size"], text) << int(code);
    }
}

TEST_F(SmbiosSection, ProcessorCells) {
    section_result r = run({processor(35), processor(35).u16(22, 0).u8(24, 0x81), processor(35).u8(24, 0x00)});
    const decoded_table& p = r.table("Processor Information");
    EXPECT_EQ(p.keys(), (strings{"1", "2", "3"}));
    EXPECT_EQ(p.rows[0]["Socket"], "CPU 0");
    EXPECT_EQ(p.rows[0]["Manufacturer"], "ACME");
    EXPECT_EQ(p.rows[0]["Processor ID"], "00000663 078BFBFF");
    EXPECT_EQ(p.rows[0]["Version"], "ACME Processor 3000");
    EXPECT_EQ(p.column("Current Speed"), (strings{"1800", "2000", "1800"}));
    EXPECT_EQ(p.column("Status"), (strings{"Populated, Enabled", "Error: Invalid Status", "Unpopulated, Status Unknown"}));
    EXPECT_EQ(p.rows[0]["Serial Number"], "PSN-1");
    EXPECT_EQ(p.rows[0]["Part Number"], "PN-3");
}

// Serial and part numbers by formatted length: none at 32; at 33 the serial
// number only, since the part number's byte lies beyond the structure.
TEST_F(SmbiosSection, ProcessorSerialAndPartByLength) {
    const std::tuple<unsigned, const char*, const char*> cases[] = {
        {32, "Unknown", "Unknown"}, {33, "PSN-1", "Unknown"}, {35, "PSN-1", "PN-3"}};
    for (auto [length, serial, part] : cases) {
        section_result r = run({processor(length)});
        EXPECT_EQ(r.row("Processor Information")["Serial Number"], serial) << length;
        EXPECT_EQ(r.row("Processor Information")["Part Number"], part) << length;
    }
}

TEST_F(SmbiosSection, SystemUuidAndWakeUpNeedTheLongStructure) {
    structure full = structure(1, 25).u8(4, 1).u8(5, 0).u8(24, 6).strings({"ACME"});
    for (unsigned i = 0; i < 16; ++i) full.u8(8 + i, static_cast<uint8_t>(0x40 + i * 0x11));
    section_result r = run({full, structure(1, 8).u8(4, 1).u8(5, 2).strings({"ACME", "8670"}),
                            structure(1, 25).u8(24, 9)});
    const decoded_table& s = r.table("System Information");
    EXPECT_EQ(s.rows[0]["Manufacturer"], "ACME");
    EXPECT_EQ(s.rows[0]["Product Name"], "(none)");
    EXPECT_EQ(s.rows[0]["UUID"], "405162738495a6b7c8d9eafb0c1d2e3f");
    EXPECT_EQ(s.rows[0]["Wake-up Type"], "Power Switch");
    EXPECT_EQ(s.rows[1]["Product Name"], "8670");
    EXPECT_EQ(s.rows[1]["UUID"], "");
    EXPECT_EQ(s.rows[1]["Wake-up Type"], "");
    EXPECT_EQ(s.rows[2]["Wake-up Type"], "Error: Invalid Type");
    EXPECT_EQ(s.rows[2]["Manufacturer"], "(none)");
}

TEST_F(SmbiosSection, StructureWithoutStringsShowsNullStringEverywhere) {
    section_result r = run({structure(2, 8).u8(4, 1).u8(5, 2).u8(6, 3).u8(7, 4)});
    for (const char* column : {"Manufacturer", "Product", "Version", "Serial Number"})
        EXPECT_EQ(r.row("Baseboard Information")[column], "(null string)") << column;
}

TEST_F(SmbiosSection, EnclosureTypeAndBootupState) {
    section_result r = run({structure(3, 13).u8(5, 0x97).u8(7, 1).u8(9, 3).strings({"CH12345"}),
                            structure(3, 12).u8(5, 2).u8(9, 3), structure(3, 13).u8(9, 7)});
    const decoded_table& e = r.table("System Enclosure Information");
    EXPECT_EQ(e.column("Type"), (strings{"Rack Mount Chassis", "Unknown", "Unknown"}));
    EXPECT_EQ(e.column("Bootup State"), (strings{"Safe", "Unknown", "Error: Invalid State"}));
    EXPECT_EQ(e.rows[0]["Serial Number"], "CH12345");
}

}  // namespace

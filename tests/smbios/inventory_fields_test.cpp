// The fields a part is ordered by: memory device identities and sizes,
// processor counts, board, chassis and system identities, cache sizes of
// every encoding, extended capacities and addresses, and the tables of
// BMCs, power supplies, onboard devices and TPMs. One row per case.
#include "smbios/section_fixture.h"

namespace {

using cells = std::vector<std::pair<std::string, std::string>>;

// A structure and the cells its row must show.
struct row_case {
    const char* what;
    structure s;
    cells expected;
};

structure& u64(structure& s, unsigned offset, uint64_t v) {
    return s.u32(offset, static_cast<uint32_t>(v)).u32(offset + 4, static_cast<uint32_t>(v >> 32));
}

class InventoryFields : public SmbiosSection {
protected:
    // Runs all cases' structures in one table and checks row i against case i.
    void check(const char* title, std::vector<row_case> cases, uint8_t revision = 0x37) {
        std::vector<bytes> structures;
        for (const row_case& c : cases) structures.push_back(c.s);
        section_result r = run(structures, revision);
        const decoded_table& t = r.table(title);
        ASSERT_EQ(t.rows.size(), cases.size()) << title;
        for (size_t i = 0; i < cases.size(); ++i) {
            for (const auto& [column, text] : cases[i].expected)
                EXPECT_EQ(t.rows[i][column], text) << cases[i].what << ", column " << column;
        }
        EXPECT_EQ(r.misuse, "");
    }
};

structure memory_device(unsigned length, uint16_t size, uint32_t extended = 0) {
    structure s = structure(17, length).u16(12, size).u8(18, 26).u8(23, 1).u8(24, 2).u8(25, 3).u8(26, 4)
        .strings({"Samsung", "S123", "AT9", "M393A4K40"});
    if (length >= 32) s.u32(28, extended);
    return s;
}

TEST_F(InventoryFields, MemoryDeviceSizesAndIdentities) {
    check("Memory Device Information",
          {
              {"32 GB and up in the extended size", memory_device(40, 0x7FFF, 65536), {{"Size", "32767"}, {"Device Size", "65536 MB"}}},
              {"kilobyte granularity", memory_device(40, 0x8200), {{"Size", "33280"}, {"Device Size", "512 KB"}}},
              {"megabytes", memory_device(40, 16384), {{"Device Size", "16384 MB"}}},
              {"empty socket", memory_device(40, 0), {{"Device Size", "Not Installed"}}},
              {"unknown size", memory_device(40, 0xFFFF), {{"Device Size", "Unknown"}}},
              {"marker without the extended field", memory_device(28, 0x7FFF), {{"Device Size", "32767 MB"}}},
              {"identities", memory_device(40, 8192),
               {{"Manufacturer", "Samsung"}, {"Serial Number", "S123"}, {"Asset Tag", "AT9"},
                {"Part Number", "M393A4K40"}, {"Memory Type", "DDR4"}}},
              {"2.1 structure", structure(17, 21).u16(12, 512).u8(18, 17),
               {{"Manufacturer", "Unknown"}, {"Part Number", "Unknown"}, {"Type", "RDRAM"},
                {"Memory Type", "RDRAM"}, {"Speed (MT/s)", "0"}, {"Rank", "0"}}},
          });
}

TEST_F(InventoryFields, MemoryDeviceTypeSpeedAndRank) {
    structure extended_speed = structure(17, 92).u8(18, 34).u16(21, 0xFFFF).u16(32, 0xFFFF).u8(27, 0x12);
    extended_speed.u32(84, 8800).u32(88, 6400);
    check("Memory Device Information",
          {
              {"DDR4", structure(17, 40).u8(18, 26).u16(21, 3200).u16(32, 2933).u8(27, 0x02),
               {{"Memory Type", "DDR4"}, {"Speed (MT/s)", "3200"}, {"Configured Speed (MT/s)", "2933"}, {"Rank", "2"}}},
              {"DDR5 with extended speeds", extended_speed,
               {{"Memory Type", "DDR5"}, {"Type", "Error: Invalid Type"}, {"Speed (MT/s)", "8800"},
                {"Configured Speed (MT/s)", "6400"}, {"Rank", "2"}}},
              {"all ones without the extended field", structure(17, 34).u16(21, 0xFFFF).u8(18, 21),
               {{"Speed (MT/s)", "0"}, {"Memory Type", "Unknown"}}},
          });
}

structure processor(unsigned length, uint8_t cores, uint8_t enabled, uint8_t threads) {
    return structure(4, length).u8(33, 1).u8(35, cores).u8(36, enabled).u8(37, threads).strings({"CPU-AT-0"});
}

TEST_F(InventoryFields, ProcessorCounts) {
    structure wide = processor(50, 0xFF, 0xFF, 0xFF);
    wide.u16(42, 96).u16(44, 94).u16(46, 192);
    check("Processor Information",
          {
              {"byte counts", processor(40, 28, 26, 56),
               {{"Asset Tag", "CPU-AT-0"}, {"Core Count", "28"}, {"Core Enabled", "26"}, {"Thread Count", "56"}}},
              {"16-bit counts", wide, {{"Core Count", "96"}, {"Core Enabled", "94"}, {"Thread Count", "192"}}},
              {"0xFF without the 16-bit counts", processor(40, 0xFF, 0xFF, 0xFF), {{"Core Count", "255"}}},
              {"2.3 structure", structure(4, 35).u8(33, 1).strings({"CPU-AT-0"}),
               {{"Asset Tag", "CPU-AT-0"}, {"Core Count", "0"}, {"Thread Count", "0"}}},
          });
}

TEST_F(InventoryFields, BoardAndChassisIdentities) {
    check("Baseboard Information",
          {{"asset tag", structure(2, 9).u8(8, 2).strings({"ACME", "BOARD-7"}), {{"Asset Tag", "BOARD-7"}}},
           {"2.0 structure", structure(2, 8), {{"Asset Tag", "Unknown"}}}});
    check("System Enclosure Information",
          {
              {"two contained elements of three bytes", structure(3, 28).u8(19, 2).u8(20, 3).u8(27, 1).strings({"SKU-2U"}),
               {{"SKU Number", "SKU-2U"}}},
              {"no contained elements", structure(3, 22).u8(21, 1).strings({"SKU-1U"}), {{"SKU Number", "SKU-1U"}}},
              {"elements run past the structure", structure(3, 22).u8(19, 9).u8(20, 9).u8(21, 1).strings({"x"}),
               {{"SKU Number", "Unknown"}}},
              {"2.3 structure", structure(3, 13), {{"SKU Number", "Unknown"}}},
          });
}

structure system_uuid(std::initializer_list<uint8_t> uuid, unsigned length = 27) {
    structure s(1, length);
    unsigned at = 8;
    for (uint8_t b : uuid) s.u8(at++, b);
    return s.u8(25, 1).u8(26, 2).strings({"SKU-42", "PowerEdge"});
}

constexpr std::initializer_list<uint8_t> dell_uuid = {0x44, 0x45, 0x4c, 0x4c, 0x42, 0x00, 0x10, 0x35,
                                                      0x80, 0x51, 0xb4, 0xc0, 0x4f, 0x4a, 0x31, 0x32};

TEST_F(InventoryFields, SystemUuidSkuAndFamily) {
    check("System Information",
          {
              {"little-endian fields", system_uuid(dell_uuid),
               {{"UUID", "44454c4c420010358051b4c04f4a3132"}, {"UUID Text", "4c4c4544-0042-3510-8051-b4c04f4a3132"},
                {"SKU Number", "SKU-42"}, {"Family", "PowerEdge"}}},
              {"not settable", system_uuid({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF}),
               {{"UUID Text", "Not Settable"}}},
              {"not present", system_uuid({}), {{"UUID Text", "Not Present"}}},
              {"2.1 structure", structure(1, 8), {{"UUID", ""}, {"UUID Text", "Unknown"}, {"SKU Number", "Unknown"}}},
          });
}

// Before 2.6 the UUID is shown in the order it is stored.
TEST_F(InventoryFields, UuidBeforeLittleEndianFields) {
    check("System Information",
          {{"stored order", system_uuid(dell_uuid), {{"UUID Text", "44454c4c-4200-1035-8051-b4c04f4a3132"}}}}, 0x25);
}

structure cache(unsigned length, uint16_t installed, uint32_t installed_2 = 0) {
    structure s = structure(7, length).u16(7, installed).u16(9, installed);
    if (length >= 27) s.u32(19, installed_2).u32(23, installed_2);
    return s;
}

TEST_F(InventoryFields, CacheSizesOfEveryEncoding) {
    check("Cache Information",
          {
              {"512 KB at 1K granularity", cache(19, 0x0200), {{"Size", "?????"}, {"Installed Size", "512 KB"}}},
              {"1280 KB", cache(19, 0x0500), {{"Installed Size", "1280 KB"}, {"Maximum Size", "1280 KB"}}},
              {"24 MB at 64K granularity", cache(19, 0x8180), {{"Installed Size", "24 MB"}}},
              {"32 MB", cache(19, 0x8200), {{"Installed Size", "32 MB"}}},
              {"1 MB as the table lists it", cache(19, 0x8010), {{"Size", "  1 M"}, {"Installed Size", "1 MB"}}},
              {"no cache", cache(19, 0), {{"Installed Size", "0 KB"}}},
              {"32-bit size at 64K granularity", cache(27, 0xFFFF, 0x80000800), {{"Installed Size", "128 MB"}}},
              {"32-bit size at 1K granularity", cache(27, 0xFFFF, 0x00100000), {{"Installed Size", "1 GB"}}},
              {"all ones without the 32-bit field", cache(19, 0xFFFF), {{"Installed Size", "2097088 KB"}}},
              {"associativity beyond the older list", cache(19, 0).u8(18, 8),
               {{"Associativity", "Unknown"}, {"Cache Associativity", "16-way Set"}}},
          });
}

TEST_F(InventoryFields, ExtendedCapacitiesAndAddresses) {
    structure large_array = structure(16, 23).u32(7, 0x80000000);
    u64(large_array, 15, uint64_t{1} << 41);
    check("Physical Memory Array Information",
          {{"extended capacity", large_array, {{"Max Capacity", "Unknown"}, {"Max Capacity (KB)", "2147483648"}}},
           {"32-bit capacity", structure(16, 23).u32(7, 524288), {{"Max Capacity (KB)", "524288"}}},
           {"marker without the extended field", structure(16, 15).u32(7, 0x80000000),
            {{"Max Capacity (KB)", "Unknown"}}}});

    structure high_range = structure(19, 31).u32(4, 0xFFFFFFFF).u32(8, 0xFFFFFFFF);
    u64(u64(high_range, 15, 0x100000000), 23, 0x17FFFFFFF);
    check("Memory Array Mapped Address Information",
          {{"extended addresses", high_range,
            {{"Start Addr", "FFFFFFFFh"}, {"Start Address", "0000000100000000h"}, {"End Address", "000000017FFFFFFFh"}}},
           {"kilobyte addresses", structure(19, 15).u32(8, 0x7FFFF),
            {{"Start Address", "0000000000000000h"}, {"End Address", "000000001FFFFFFFh"}}},
           {"marker without the extended fields", structure(19, 15).u32(4, 0xFFFFFFFF),
            {{"Start Address", "Unknown"}}}});

    structure high_device = structure(20, 35).u32(4, 0xFFFFFFFF);
    u64(u64(high_device, 19, 0x2000000000), 27, 0x27FFFFFFFF);
    check("Memory Device Mapped Address Information",
          {{"extended addresses", high_device,
            {{"Start Address", "0000002000000000h"}, {"End Address", "00000027FFFFFFFFh"}}},
           {"kilobyte addresses", structure(20, 19).u32(4, 0x100000).u32(8, 0x1FFFFF),
            {{"Start Address", "0000000040000000h"}, {"End Address", "000000007FFFFFFFh"}}}});
}

TEST_F(InventoryFields, BmcInterfaces) {
    structure io = structure(38, 18).u8(4, 1).u8(5, 0x20).u8(6, 0x20).u8(7, 0xFF).u8(17, 10);
    structure memory = structure(38, 18).u8(4, 4).u8(5, 0x15).u8(16, 0x10);
    u64(io, 8, 0x0CA3);
    u64(memory, 8, 0xFED40000);
    check("IPMI Device Information",
          {{"KCS in I/O space", io,
            {{"Interface Type", "KCS"}, {"IPMI Revision", "2.0"}, {"I2C Target Address", "20h"},
             {"NV Storage Address", "FFh"}, {"Base Address", "0000000000000CA2h"}, {"Address Space", "I/O"},
             {"Interrupt", "10"}}},
           {"SSIF, lowest bit from the modifier", memory,
            {{"Interface Type", "SSIF"}, {"IPMI Revision", "1.5"}, {"Base Address", "00000000FED40001h"},
             {"Address Space", "Memory"}}},
           {"unlisted interface", structure(38, 16).u8(4, 9), {{"Interface Type", "Unknown"}, {"Interrupt", "0"}}}});
}

TEST_F(InventoryFields, PowerSupplies) {
    std::vector<std::string> texts = {"PSU1", "PWR SPLY,750W", "DELL", "CN179", "AT-1", "0TCVRR", "A05"};
    check("System Power Supply Information",
          {{"hot-replaceable, present, OK", structure(39, 22).u8(4, 1).u8(5, 1).u8(6, 2).u8(7, 3).u8(8, 4)
                                                .u8(9, 5).u8(10, 6).u8(11, 7).u16(12, 750).u16(14, 0x11A3)
                                                .strings(texts),
            {{"Location", "PSU1"}, {"Device Name", "PWR SPLY,750W"}, {"Manufacturer", "DELL"},
             {"Serial Number", "CN179"}, {"Asset Tag", "AT-1"}, {"Part Number", "0TCVRR"}, {"Revision", "A05"},
             {"Max Power (W)", "750"}, {"Status", "OK"}, {"Present", "Yes"}, {"Plugged", "Yes"},
             {"Hot Replaceable", "Yes"}, {"Supply Type", "Switching"}, {"Input Voltage Range", "Auto-switch"}}},
           {"unplugged and absent, critical", structure(39, 22).u16(12, 0x8000).u16(14, 0x0284),
            {{"Max Power (W)", "Unknown"}, {"Status", "Critical"}, {"Present", "No"}, {"Plugged", "No"},
             {"Hot Replaceable", "No"}}}});
}

// Types above 39 share one list: the table holds its own type only.
TEST_F(InventoryFields, OnboardDevicesWithAddresses) {
    section_result r = run({structure(41, 11).u8(4, 1).u8(5, 0x85).u8(6, 1).u8(9, 0x3b).strings({"NIC1"}),
                            structure(40, 6), structure(42, 6),
                            structure(41, 11).u8(4, 1).u8(5, 0x0F).u8(6, 2).u16(7, 1).u8(9, 0x5d).u8(10, 0x0a)
                                .strings({"NVMe0"}),
                            structure(41, 11).u8(5, 0x83).u16(7, 0xFFFF).u8(9, 0xFF).u8(10, 0xFF)});
    const decoded_table& t = r.table("Onboard Devices Extended Information");
    ASSERT_EQ(t.keys(), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(t.column("Reference Designation"), (std::vector<std::string>{"NIC1", "NVMe0", "(none)"}));
    EXPECT_EQ(t.column("Device Type"), (std::vector<std::string>{"Ethernet", "NVMe Controller", "Video"}));
    EXPECT_EQ(t.column("Status"), (std::vector<std::string>{"Enabled", "Disabled", "Enabled"}));
    EXPECT_EQ(t.column("Type Instance"), (std::vector<std::string>{"1", "2", "0"}));
    EXPECT_EQ(t.column("PCI Address"), (std::vector<std::string>{"0000:3b:00.0", "0001:5d:01.2", "Not Applicable"}));
}

TEST_F(InventoryFields, TpmDevices) {
    check("TPM Device Information",
          {{"TPM 2.0", structure(43, 31).u8(4, 'I').u8(5, 'F').u8(6, 'X').u8(8, 2).u32(10, 0x00070055).u8(18, 1)
                           .u32(19, 0x10).strings({"TPM 2.0 module"}),
            {{"Vendor ID", "IFX"}, {"Spec Version", "2.0"}, {"Firmware Version", "7.85"},
             {"Description", "TPM 2.0 module"}, {"Characteristics", "0000000000000010h"}, {"OEM Data", "00000000h"}}},
           {"TPM 1.2", structure(43, 31).u8(4, 'N').u8(5, 'T').u8(6, 'C').u8(7, 1).u8(8, 1).u8(9, 2).u8(10, 1)
                           .u8(11, 2).u8(12, 3).u8(13, 0x13),
            {{"Vendor ID", "NTC."}, {"Spec Version", "1.2"}, {"Firmware Version", "3.19"}}},
           {"short structure", structure(43, 12), {{"Description", "Unknown"}, {"Characteristics", "Unknown"}}}});
}

}  // namespace

#include "smbios/smbios_texts.h"

namespace {

constexpr const char* invalid_type = "Error: Invalid Type";

constexpr enum_text rom_sizes[] = {
    {0, "64K"}, {1, "128K"}, {3, "256K"}, {7, "512K"}, {15, "1M"}, {31, "2M"}, {63, "4M"}, {127, "8M"},
};
constexpr enum_text wake_up_types[] = {
    {0, "Reserved"},   {1, "Other"},      {2, "Unknown"},  {3, "APM Timer"},         {4, "Modem Ring"},
    {5, "LAN Remote"}, {6, "Power Switch"}, {7, "PCI PME#"}, {8, "AC Power Restored"},
};
constexpr enum_text bootup_states[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "Safe"}, {4, "Warning"}, {5, "Critical"}, {6, "Non-Recoverable"},
};
constexpr enum_text processor_states[] = {
    {0, "Status Unknown"}, {1, "Enabled"}, {2, "Disabled by User"},
    {3, "Disabled by BIOS"}, {4, "Idle"},  {7, "Status Other"},
};

constexpr enum_text error_detect_methods[] = {
    {1, "Other"},      {2, "Unknown"},    {3, "None"},        {4, "8-bit Parity"},
    {5, "32-bit ECC"}, {6, "64-bit ECC"}, {7, "128-bit ECC"}, {8, "CRC"},
};
constexpr enum_text error_correct_capabilities[] = {
    {1, "Other"}, {2, "Unknown"}, {4, "None"}, {8, "Single Bit"}, {16, "Double Bit"}, {32, "Error Scrubbing"},
};
constexpr enum_text interleaves[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "1 Way"}, {4, "2 Way"}, {5, "4 Way"}, {6, "8 Way"}, {7, "16 Way"},
};
constexpr enum_text cache_modes[] = {{0, "WT"}, {1, "WB"}, {2, "Varies"}, {3, "Unknown"}};
constexpr enum_text cache_sizes[] = {
    {0, "  0 K"},      {8, "  8 K"},      {16, " 16 K"},     {32, " 32 K"},     {0x8001, " 64 K"},
    {0x8002, "128 K"}, {0x8004, "256 K"}, {0x8008, "512 K"}, {0x8010, "  1 M"}, {0x8020, "  2 M"},
    {0x8040, "  4 M"}, {0x8080, "  8 M"}, {0x8100, " 16 M"},
};
constexpr enum_text memory_technologies[] = {
    {1, "Other"},  {2, "Unknown"}, {3, "DRAM"},     {4, "EDRAM"},    {5, "VRAM"},        {6, "SRAM"},
    {7, "RAM"},    {8, "ROM"},     {9, "Flash"},    {10, "EEPROM"},  {11, "FEPROM"},     {12, "EPROM"},
    {13, "CDRAM"}, {14, "3DRAM"},  {15, "SDRAM"},   {16, "SGRAM"},   {17, "RDRAM"},      {18, "DDR"},
    {19, "DDR2"},  {20, "DDR2 FB-DIMM"}, {24, "DDR3"}, {25, "FBD2"}, {26, "DDR4"},       {27, "LPDDR"},
    {28, "LPDDR2"}, {29, "LPDDR3"}, {30, "LPDDR4"}, {31, "Logical non-volatile device"}, {32, "HBM"},
    {33, "HBM2"},  {34, "DDR5"},   {35, "LPDDR5"},  {36, "HBM3"},
};
constexpr enum_text cache_associativities[] = {
    {1, "Other"},          {2, "Unknown"},         {3, "Direct Mapped"},    {4, "2-way Set"},
    {5, "4-way Set"},      {6, "Fully Associative"}, {7, "8-way Set"},      {8, "16-way Set"},
    {9, "12-way Set"},     {10, "24-way Set"},     {11, "32-way Set"},      {12, "48-way Set"},
    {13, "64-way Set"},    {14, "20-way Set"},
};
constexpr enum_text onboard_devices_extended[] = {
    {1, "Other"},           {2, "Unknown"},        {3, "Video"},           {4, "SCSI Controller"},
    {5, "Ethernet"},        {6, "Token Ring"},     {7, "Sound"},           {8, "PATA Controller"},
    {9, "SATA Controller"}, {10, "SAS Controller"}, {11, "Wireless LAN"},  {12, "Bluetooth"},
    {13, "WWAN"},           {14, "eMMC"},          {15, "NVMe Controller"}, {16, "UFS Controller"},
};
constexpr enum_text bmc_interfaces[] = {{0, "Unknown"}, {1, "KCS"}, {2, "SMIC"}, {3, "BT"}, {4, "SSIF"}};
constexpr enum_text power_supply_states[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "OK"}, {4, "Non-critical"}, {5, "Critical"},
};
constexpr enum_text power_supply_types[] = {
    {1, "Other"},     {2, "Unknown"}, {3, "Linear"},  {4, "Switching"},
    {5, "Battery"},   {6, "UPS"},     {7, "Converter"}, {8, "Regulator"},
};
constexpr enum_text power_supply_ranges[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "Manual"}, {4, "Auto-switch"}, {5, "Wide Range"}, {6, "Not Applicable"},
};
constexpr enum_text cache_error_corrections[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "None"}, {4, "Parity"}, {5, "Single-bit ECC"}, {6, "Multi-bit ECC"},
};
constexpr enum_text system_cache_types[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "Instruction"}, {4, "Data"}, {5, "Unified"},
};
constexpr enum_text associativities[] = {
    {1, "Other"}, {3, "Direct Mapped"}, {4, "2-way Set"}, {5, "4-way Set"}, {6, "Fully Associative"},
};
constexpr enum_text array_locations[] = {
    {1, "Other"},
    {2, "Unknown"},
    {3, "System Board"},
    {4, "ISA add-on card"},
    {5, "EISA add-on card"},
    {6, "PCI add-on card"},
    {7, "MCA add-on card"},
    {8, "PCMCIA add-on card"},
    {9, "Proprietary add-on card"},
    {10, "NuBus"},
    {160, "PC-98/C20 add-on card"},
    {161, "PC-98/C24 add-on card"},
    {162, "PC-98/E add-on card"},
    {163, "PC-98/Local bus card"},
};
constexpr enum_text array_uses[] = {
    {1, "Other"},        {2, "Unknown"},      {3, "System Memory"}, {4, "Video Memory"},
    {5, "Flash Memory"}, {6, "Non-volatile RAM"}, {7, "Cache"},
};
constexpr enum_text array_error_corrections[] = {
    {1, "Other"},          {2, "Unknown"},       {3, "None"}, {4, "Parity"},
    {5, "Single-bit ECC"}, {6, "Multi-bit ECC"}, {7, "CRC"},
};
constexpr enum_text form_factors[] = {
    {1, "Other"},  {3, "SIMM"},          {4, "SIP"},  {5, "Chip"},   {6, "DIP"},
    {7, "ZIP"},    {8, "Proprietary Card"}, {9, "DIMM"}, {10, "TSOP"}, {11, "Row of Chips"},
    {12, "RIMM"}, {13, "SODIMM"},        {14, "SRIMM"},
};
constexpr enum_text memory_device_types[] = {
    {1, "Other"},   {2, "Unknown"}, {3, "DRAM"},    {4, "EDRAM"},   {5, "VRAM"},   {6, "SRAM"},
    {7, "RAM"},     {8, "ROM"},     {9, "Flash"},   {10, "EEPROM"}, {11, "FEPROM"}, {12, "EPROM"},
    {13, "CDRAM"},  {14, "3DRAM"},  {15, "SDRAM"},  {16, "SGRAM"},  {17, "RDRAM"},
};
constexpr const char* speeds[] = {"Other", "Unknown", "70 ns", "60 ns", "50 ns"};
constexpr const char* memory_types[] = {
    "Other", "Unknown", "Standard", "FPM", "EDO", "Parity", "ECC", "SIMM", "DIMM", "Burst EDO", "SDRAM",
    invalid_type, invalid_type, invalid_type, invalid_type, invalid_type,
};
constexpr const char* voltages[] = {"5V", "3.3V", "2.9V"};
constexpr const char* sram_types[] = {
    "Other", "Unknown", "Non-Burst", "Burst", "Pipeline Burst", "Synchronous", "Asynchronous",
};
constexpr enum_text module_states[] = {
    {125, "Not Determinable"}, {126, "Installed, Not Enabled"}, {127, "Not Installed"},
};

constexpr enum_text connector_types[] = {
    {0, "None"},
    {1, "Centronics"},
    {2, "Mini Centronics"},
    {3, "Proprietary"},
    {4, "DB25 pin male"},
    {5, "DB25 pin female"},
    {6, "DB15 pin male"},
    {7, "DB15 pin female"},
    {8, "DB9 pin male"},
    {9, "DB9 pin female"},
    {10, "RJ11"},
    {11, "RJ45"},
    {12, "50 pin MiniSCSI"},
    {13, "Mini-DIN"},
    {14, "Micro-DIN"},
    {15, "PS/2"},
    {16, "Infrared"},
    {17, "HP-HIL"},
    {18, "Access Bus (USB)"},
    {19, "SSA SCSI"},
    {20, "Circular DIN-8 male"},
    {21, "Circular DIN-8 female"},
    {22, "On Board IDE"},
    {23, "On Board Floppy"},
    {24, "9 Pin DIL (pin 10 cut)"},
    {25, "25 Pin DIL (pin 26 cut)"},
    {26, "50 Pin DIL"},
    {27, "68 Pin DIL"},
    {28, "Sound I/P from CD-ROM"},
    {29, "Mini-Centronics Type-14"},
    {30, "Mini-Centronics Type-26"},
    {31, "Mini-jack (headphones)"},
    {32, "BNC"},
    {33, "1394"},
    {160, "PC-98"},
    {161, "PC-98-Hireso"},
    {162, "PC-H98"},
    {163, "PC-98Note"},
    {164, "PC-98Full"},
    {255, "Other"},
};
constexpr enum_text port_types[] = {
    {0, "None"},
    {1, "Parallel Port XT/AT Compatible"},
    {2, "Parallel Port PS/2"},
    {3, "Parallel Port ECP"},
    {4, "Parallel Port EPP"},
    {5, "Parallel Port ECP/EPP"},
    {6, "Serial Port XT/AT Compatible"},
    {7, "Serial Port 16450 Compatible"},
    {8, "Serial Port 16550 Compatible"},
    {9, "Serial Port 16550A Compatible"},
    {10, "SCSI Port"},
    {11, "MIDI Port"},
    {12, "Joystick Port"},
    {13, "Keyboard Port"},
    {14, "Mouse Port"},
    {15, "SSA SCSI"},
    {16, "USB"},
    {17, "FireWire (IEEE P1394)"},
    {19, "PCMCIA Type II"},
    {20, "PCMCIA Type III"},
    {21, "CardBus"},
    {22, "Access Bus Port"},
    {23, "SCSI II"},
    {24, "SCSI Wide"},
    {25, "PC-98"},
    {26, "PC-98-Hireso"},
    {27, "PC-H98"},
    {28, "Video Port"},
    {29, "Audio Port"},
    {30, "Modem Port"},
    {31, "Network Port"},
    {160, "8251 Compatible"},
    {161, "8251 FIFO Compatible"},
    {255, "Other"},
};
constexpr enum_text slot_types[] = {
    {1, "Other"},
    {2, "Unknown"},
    {3, "ISA"},
    {4, "MCA"},
    {5, "EISA"},
    {6, "PCI"},
    {7, "PC Card"},
    {8, "VL-VESA"},
    {9, "Proprietary"},
    {10, "Processor Card"},
    {11, "Proprietary Memory Card"},
    {12, "I/O Riser Card Slot"},
    {13, "NuBus"},
    {14, "66MHz PCI"},
    {15, "AGP"},
    {16, "AGP 2X"},
    {17, "AGP 4X"},
    {18, "PCI-X"},
    {160, "PC-98/C20"},
    {161, "PC-98/C24"},
    {162, "PC-98/E"},
    {163, "PC-98/Local Bus"},
    {164, "PC-98/Card"},
};
constexpr enum_text bus_widths[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "8 bit"}, {4, "16 bit"}, {5, "32 bit"}, {6, "64 bit"}, {7, "128 bit"},
};
constexpr enum_text slot_usages[] = {{1, "Other"}, {2, "Unknown"}, {3, "Available"}, {4, "In Use"}};
constexpr enum_text slot_lengths[] = {{1, "Other"}, {2, "Unknown"}, {3, "Half"}, {4, "Full"}};
constexpr enum_text onboard_devices[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "Video"}, {4, "SCSI Controller"}, {5, "Ethernet"}, {6, "Token Ring"},
    {7, "Sound"},
};
constexpr const char* slot_characteristics_1[] = {
    "Unknown", "Provides 5v", "Provides 3.3v", "Shared", "PC Card-16", "CardBus", "Zoom Video", "Modem Ring Resume",
};
constexpr const char* slot_characteristics_2[] = {"Supports PME#", "Hot Plug", "SMBus"};

constexpr enum_text pointing_types[] = {
    {1, "Other"}, {2, "Unknown"}, {3, "Mouse"}, {4, "Track Ball"}, {5, "Track Point"}, {6, "Glide Point"},
    {7, "Touch Pad"},
};
constexpr enum_text pointing_interfaces[] = {
    {1, "Other"},     {2, "Unknown"},   {3, "Serial"},           {4, "PS/2"},
    {5, "Infrared"},  {6, "HP-HIL"},    {7, "Bus Mouse"},        {8, "ADB"},
    {160, "Bus Mouse DB-9"}, {161, "Bus Mouse micro-DIN"}, {162, "USB"},
};

}  // namespace

const text_table rom_size_texts{rom_sizes, "Unknown"};
const text_table wake_up_type_texts{wake_up_types, invalid_type};
const text_table bootup_state_texts{bootup_states, "Error: Invalid State"};
const text_table processor_status_texts{processor_states, "Error: Invalid Status"};

const text_table error_detect_texts{error_detect_methods, invalid_type};
const text_table error_correct_texts{error_correct_capabilities, invalid_type};
const text_table interleave_texts{interleaves, "Error: Invalid Interleave"};
const text_table cache_mode_texts{cache_modes, "Unknown"};
const text_table cache_size_texts{cache_sizes, "?????"};
const text_table cache_ecc_texts{cache_error_corrections, invalid_type};
const text_table system_cache_texts{system_cache_types, invalid_type};
const text_table associativity_texts{associativities, "Unknown"};
const text_table array_location_texts{array_locations, "Error: Invalid Location"};
const text_table array_use_texts{array_uses, "Error: Invalid Usage"};
const text_table array_ecc_texts{array_error_corrections, invalid_type};
const text_table form_factor_texts{form_factors, "Unknown"};
const text_table memory_device_type_texts{memory_device_types, invalid_type};
const text_table memory_technology_texts{memory_technologies, "Unknown"};
const text_table cache_associativity_texts{cache_associativities, "Unknown"};
const text_table onboard_device_extended_texts{onboard_devices_extended, "Unknown"};
const text_table bmc_interface_texts{bmc_interfaces, "Unknown"};
const text_table power_supply_status_texts{power_supply_states, "Unknown"};
const text_table power_supply_type_texts{power_supply_types, "Unknown"};
const text_table power_supply_range_texts{power_supply_ranges, "Unknown"};
const bit_names speed_bits{speeds, ""};
const bit_names memory_type_bits{memory_types, "None"};
const bit_names voltage_bits{voltages, ""};
const bit_names sram_type_bits{sram_types, "None"};

const text_table connector_type_texts{connector_types, invalid_type};
const text_table port_type_texts{port_types, invalid_type};
const text_table slot_type_texts{slot_types, invalid_type};
const text_table bus_width_texts{bus_widths, "Error: Invalid Width"};
const text_table slot_usage_texts{slot_usages, "Error: Invalid Usage"};
const text_table slot_length_texts{slot_lengths, "Error: Invalid Length"};
const text_table onboard_device_texts{onboard_devices, invalid_type};
const bit_names slot_characteristics_1_bits{slot_characteristics_1, ""};
const bit_names slot_characteristics_2_bits{slot_characteristics_2, ""};

const text_table pointing_type_texts{pointing_types, invalid_type};
const text_table pointing_interface_texts{pointing_interfaces, "Error: Invalid Interface"};

const char* processor_status_text(uint8_t status, std::string& buffer) {
    const char* state = enum_find(processor_status_texts, status & ~0x40u);
    if (!state) return processor_status_texts.otherwise;
    buffer = status & 0x40 ? "Populated" : "Unpopulated";
    buffer += ", ";
    buffer += state;
    return buffer.c_str();
}

const char* module_size_text(uint8_t size, std::string& buffer) {
    static const text_table states{module_states, "Error: Invalid Size"};
    unsigned n = size & 0x7F;
    if (n <= 9) return format_text(buffer, "%u MB", 1u << n);
    if (n == 10) return "1 GB";
    return enum_lookup(states, n);
}

const char* bank_connection_text(uint8_t connections, std::string& buffer) {
    buffer.clear();
    const unsigned nibbles[] = {static_cast<unsigned>(connections >> 4), connections & 0x0Fu};
    for (unsigned ras : nibbles) {
        if (ras == 15) continue;
        if (!buffer.empty()) buffer += ", ";
        buffer += "RAS " + std::to_string(ras);
    }
    return buffer.c_str();
}

const char* size_text(uint64_t kilobytes, std::string& buffer) {
    auto n = static_cast<unsigned long long>(kilobytes);
    if (n != 0 && n % (1024 * 1024) == 0) return format_text(buffer, "%llu GB", n / (1024 * 1024));
    if (n != 0 && n % 1024 == 0) return format_text(buffer, "%llu MB", n / 1024);
    return format_text(buffer, "%llu KB", n);
}

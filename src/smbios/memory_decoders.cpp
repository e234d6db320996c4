// Memory Controller (type 5), Memory Module (6), Cache (7), Physical Memory
// Array (16), Memory Device (17), Memory Error (18) and the two mapped
// address types (19, 20).
#include "smbios/smbios_decode.h"
#include "smbios/smbios_texts.h"

namespace {

// A module size byte at offset 8 (controllers), 9 or 10 (modules).
template <unsigned offset>
const char* module_size(const structure_fields& fields, std::string& buffer) {
    return module_size_text(fields.byte(offset), buffer);
}

constexpr column_def controller_columns[] = {
    enum_column("Err Detect Method", 4, error_detect_texts),
    enum_column("Err Correct Capability", 5, error_correct_texts),
    enum_column("Supported Interleave", 6, interleave_texts),
    enum_column("Current Interleave", 7, interleave_texts),
    text_column("Max Module Sz", STRING, 0, 8, 1, module_size<8>),
    bits_column("Supp Speeds", 9, 2, speed_bits),
    bits_column("Supported Types", 11, 2, memory_type_bits),
    bits_column("Voltage", 13, 1, voltage_bits),
    number_column("Num slots", 14),
};
constexpr table_def controller_def{"Memory Controller Information", "MEMORY_CONTROLLER_INSTANCE",
                                     controller_columns};

const char* bank_connections(const structure_fields& fields, std::string& buffer) {
    return bank_connection_text(fields.byte(5), buffer);
}

// Bit 1 of the error status: correctable errors; bit 0: uncorrectable ones.
template <unsigned bit>
const char* module_errors(const structure_fields& fields, std::string&) {
    return fields.byte(11) >> bit & 1 ? "Yes" : "None";
}

constexpr column_def module_columns[] = {
    string_column("Socket", 4),
    text_column("Bank Connections", ASCII_STRING, 0, 5, 1, bank_connections),
    number_column("Speed", 6),
    bits_column("Type", 7, 2, memory_type_bits, 11),
    text_column("Installed Size", STRING, 0, 9, 1, module_size<9>),
    text_column("Enabled Size", STRING, 0, 10, 1, module_size<10>),
    text_column("Errs Corrected", STRING, 0, 11, 1, module_errors<1>),
    text_column("Errs UnCor", STRING, 0, 11, 1, module_errors<0>),
};
constexpr table_def module_def{"Memory Module Information", "MEMORY_MODULE_INSTANCE", module_columns};

// The cache configuration word at 5: level in bits 0-2, enabled in bit 7,
// operational mode in bits 8-9.
const char* cache_level(const structure_fields& fields, std::string& buffer) {
    return format_text(buffer, "L%c", '1' + (fields.byte(5) & 7));
}
const char* cache_status(const structure_fields& fields, std::string&) {
    return fields.byte(5) & 0x80 ? "Enabled" : "Disabled";
}
const char* cache_mode(const structure_fields& fields, std::string&) {
    return enum_lookup(cache_mode_texts, fields.byte(6) & 3);
}

// A cache size field: the 16-bit form (bit 15 selects 64K granularity) or
// the 32-bit one (bit 31); all ones in the 16-bit form defers to the 32-bit.
const char* cache_size(const structure_fields& fields, unsigned offset16, unsigned offset32,
                       std::string& buffer) {
    uint16_t short_size = fields.word(offset16);
    uint64_t kilobytes;
    if (short_size == 0xFFFF && fields.has(offset32, 4)) {
        uint32_t size = fields.value(offset32, 4);
        kilobytes = (size & 0x80000000u) ? uint64_t{size & 0x7FFFFFFFu} * 64 : size;
    } else {
        kilobytes = (short_size & 0x8000) ? uint64_t{short_size & 0x7FFFu} * 64 : short_size & 0x7FFFu;
    }
    return size_text(kilobytes, buffer);
}
const char* cache_installed(const structure_fields& fields, std::string& buffer) {
    return cache_size(fields, 9, 23, buffer);
}
const char* cache_maximum(const structure_fields& fields, std::string& buffer) {
    return cache_size(fields, 7, 19, buffer);
}

// Speed and the last three fields came with the longer cache structure.
constexpr uint8_t long_cache = 19;

constexpr column_def cache_columns[] = {
    string_column("Socket", 4, 17),
    text_column("Lvl", ASCII_STRING, 0, 5, 1, cache_level),
    text_column("Status", STRING, 8, 5, 1, cache_status),
    text_column("Type", STRING, 6, 6, 1, cache_mode),
    enum_column("Size", 9, cache_size_texts, 6, 2),
    bits_column("SRAM Type", 13, 2, sram_type_bits, 18),
    number_column("Speed", 15).needing(long_cache),
    enum_column("ECC Type", 16, cache_ecc_texts).needing(long_cache),
    enum_column("System Cache", 17, system_cache_texts).needing(long_cache),
    enum_column("Associativity", 18, associativity_texts).needing(long_cache),
    text_column("Installed Size", STRING, 0, 9, 2, cache_installed),
    text_column("Maximum Size", STRING, 0, 7, 2, cache_maximum),
    enum_column("Cache Associativity", 18, cache_associativity_texts),
};
constexpr table_def cache_def{"Cache Information", "CACHE_INSTANCE", cache_columns};

// Kilobytes, or "Unknown" for the marker of a capacity given elsewhere.
const char* array_capacity(const structure_fields& fields, std::string& buffer) {
    uint32_t capacity = fields.value(7, 4);
    if (capacity == 0x80000000u) return unknown_text;
    return format_text(buffer, "%d", static_cast<int32_t>(capacity));
}

// Kilobytes, from the 64-bit byte count when the 32-bit field holds the marker.
const char* array_capacity_kb(const structure_fields& fields, std::string& buffer) {
    uint32_t capacity = fields.value(7, 4);
    if (capacity != 0x80000000u) return format_text(buffer, "%u", capacity);
    if (!fields.has(15, 8)) return unknown_text;
    return format_text(buffer, "%llu", static_cast<unsigned long long>(fields.qword(15) / 1024));
}

constexpr column_def array_columns[] = {
    handle_column(),
    enum_column("Location", 4, array_location_texts, 23),
    enum_column("Use", 5, array_use_texts, 20),
    enum_column("Error Correction", 6, array_ecc_texts),
    text_column("Max Capacity", STRING, 0, 7, 4, array_capacity),
    hex_column("Error Handle", 11, 2, "%04X"),
    number_column("Memory Devices", 13, 2),
    text_column("Max Capacity (KB)", STRING, 0, 7, 4, array_capacity_kb),
};
constexpr table_def array_def{"Physical Memory Array Information", "PHYSICAL_MEMORY_ARRAY_INSTANCE",
                                array_columns};

const char* device_widths(const structure_fields& fields, std::string& buffer) {
    return format_text(buffer, "%3d/%3d", fields.word(8), fields.word(10));
}

// Size: 0x7FFF defers to the extended size (MB, bits 0-30); bit 15 of the
// short form selects kilobytes.
const char* device_size(const structure_fields& fields, std::string& buffer) {
    uint16_t size = fields.word(12);
    if (size == 0) return "Not Installed";
    if (size == 0xFFFF) return unknown_text;
    if (size == 0x7FFF && fields.has(28, 4)) return format_text(buffer, "%u MB", fields.value(28, 4) & 0x7FFFFFFFu);
    if (size & 0x8000) return format_text(buffer, "%u KB", size & 0x7FFFu);
    return format_text(buffer, "%u MB", size);
}

// A speed word in MT/s; 0xFFFF defers to the 32-bit extended field.
int32_t speed_with_extension(const structure_fields& fields, unsigned offset, unsigned extended) {
    uint16_t speed = fields.word(offset);
    if (speed != 0xFFFF) return speed;
    return static_cast<int32_t>(fields.value(extended, 4) & 0x7FFFFFFFu);
}
int32_t device_speed(const structure_fields& fields) { return speed_with_extension(fields, 21, 84); }
int32_t configured_speed(const structure_fields& fields) { return speed_with_extension(fields, 32, 88); }
int32_t device_rank(const structure_fields& fields) { return fields.byte(27) & 0x0F; }

constexpr column_def device_columns[] = {
    handle_column(),
    string_column("Dev Locator", 16),
    string_column("Bank Locator ", 17),
    text_column("Width Tot/Data", ASCII_STRING, 0, 8, 4, device_widths),
    number_column("Size", 12, 2),
    enum_column("Form Factor", 14, form_factor_texts),
    number_column("Dev Set", 15),
    enum_column("Type", 18, memory_device_type_texts, 7),
    hex_column("Detail", 19, 2, "%04Xh"),
    hex_column("Array Handle", 4, 2, "%04X"),
    hex_column("Err Handle", 6, 2, "%04X"),
    string_column("Manufacturer", 23),
    string_column("Serial Number", 24),
    string_column("Asset Tag", 25),
    string_column("Part Number", 26),
    text_column("Device Size", STRING, 0, 12, 2, device_size),
    enum_column("Memory Type", 18, memory_technology_texts),
    computed_number_column("Speed (MT/s)", 21, 2, device_speed),
    computed_number_column("Configured Speed (MT/s)", 32, 2, configured_speed),
    computed_number_column("Rank", 27, 1, device_rank),
};
constexpr table_def device_def{"Memory Device Information", "MEMORY_DEVICE_INSTANCE", device_columns};

constexpr column_def error_columns[] = {
    handle_column(),
    hex_column("Err Type", 4, 1, "%02Xh"),
    hex_column("Granularity", 5, 1, "%02Xh"),
    hex_column("Operation", 6, 1, "%02Xh"),
    hex_column("Vend Syndrome", 7, 4, "%08Xh"),
    hex_column("Array Addr", 11, 4, "%08Xh"),
    hex_column("Device Addr", 15, 4, "%08Xh"),
    hex_column("Resolution", 19, 4, "%08Xh"),
};
constexpr table_def error_def{"Memory Error Information", "MEMORY_ERROR_INSTANCE", error_columns};

// Byte addresses of a mapped range: the 32-bit kilobyte fields, or the
// 64-bit byte fields when the start holds all ones.
template <unsigned extended_start, bool end>
const char* mapped_address(const structure_fields& fields, std::string& buffer) {
    uint64_t address;
    if (fields.value(4, 4) == 0xFFFFFFFFu) {
        if (!fields.has(extended_start + 8, 8)) return unknown_text;
        address = fields.qword(extended_start + (end ? 8 : 0));
    } else {
        address = end ? (uint64_t{fields.value(8, 4)} + 1) * 1024 - 1 : uint64_t{fields.value(4, 4)} * 1024;
    }
    return format_text(buffer, "%016llXh", static_cast<unsigned long long>(address));
}

constexpr column_def array_mapped_columns[] = {
    handle_column(),
    hex_column("Start Addr", 4, 4, "%08Xh"),
    hex_column("End Addr", 8, 4, "%08Xh"),
    hex_column("Array Handle", 12, 2, "%04Xh"),
    hex_column("Partition Width", 14, 1, "%02Xh"),
    text_column("Start Address", ASCII_STRING, 0, 4, 8, mapped_address<15, false>),
    text_column("End Address", ASCII_STRING, 0, 4, 8, mapped_address<15, true>),
};
constexpr table_def array_mapped_def{"Memory Array Mapped Address Information",
                                       "MEMORY_ARRAY_MAPPED_ADDRESS_INSTANCE", array_mapped_columns};

constexpr column_def device_mapped_columns[] = {
    hex_column("Start Addr", 4, 4, "%08Xh"),
    hex_column("End Addr", 8, 4, "%08Xh"),
    hex_column("Device Handle", 12, 2, "%04Xh"),
    hex_column("Array Mapped Addr Handle", 14, 2, "%04Xh"),
    hex_column("Partit Row Posn", 16, 1, "%02Xh"),
    hex_column("I/Leave Position", 17, 1, "%02Xh"),
    hex_column("I/Leave Data Depth", 18, 1, "%02Xh"),
    text_column("Start Address", ASCII_STRING, 0, 4, 8, mapped_address<19, false>),
    text_column("End Address", ASCII_STRING, 0, 4, 8, mapped_address<19, true>),
};
constexpr table_def device_mapped_def{"Memory Device Mapped Address Information",
                                        "MEMORY_DEVICE_MAPPED_ADDRESS_INSTANCE", device_mapped_columns};

constexpr smbios_decoder decoders[] = {
    {5, &controller_def},   {6, &module_def},         {7, &cache_def},
    {16, &array_def},       {17, &device_def},        {18, &error_def},
    {19, &array_mapped_def}, {20, &device_mapped_def},
};

}  // namespace

const std::span<const smbios_decoder> memory_decoders{decoders};

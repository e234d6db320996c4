// BIOS (type 0) with its supported features, System (1), Baseboard (2),
// System Enclosure (3) and Processor (4).
#include "smbios/smbios_decode.h"
#include "smbios/smbios_texts.h"

namespace {

const char* empty_key(const structure_fields&, std::string&) { return ""; }

constexpr column_def bios_columns[] = {
    string_column("Vendor", 4),
    string_column("Version", 5, 25),
    hex_column("Start Addr", 6, 2, "%04Xh"),
    string_column("Release Date", 8),
    enum_column("ROM Size", 9, rom_size_texts).as(ASCII_STRING),
};
constexpr table_def bios_def{"BIOS Information", nullptr, bios_columns, empty_key};

// A BIOS characteristic: row key, feature name and where its bit lies.
struct feature_bit {
    const char* key;
    const char* name;
    uint8_t offset;
    uint8_t bit;
};

constexpr uint8_t extension_offset = 18;

constexpr feature_bit features[] = {
    {"ISA", "ISA Supported", 10, 4},
    {"MCA", "MCA Supported", 10, 5},
    {"EISA", "EISA Supported", 10, 6},
    {"PCI", "PCI Supported", 10, 7},
    {"PCMCIA", "PCMCIA Supported", 11, 0},
    {"PnP", "PnP Supported", 11, 1},
    {"APM", "APM Supported", 11, 2},
    {"Flashable BIOS", "Flashable BIOS", 11, 3},
    {"BIOS shadowing", "BIOS shadowing", 11, 4},
    {"VL-VESA", "VL-VESA Supported", 11, 5},
    {"ESCD", "ESCD Supported", 11, 6},
    {"CD-Boot", "CD-Boot Supported", 11, 7},
    {"Selectable Boot", "Selectable Boot", 12, 0},
    {"BIOS ROM Socketed", "BIOS ROM Socketed", 12, 1},
    {"PC Card Bootable", "PC Card Bootable", 12, 2},
    {"Enhanced Disk Drive", "Enhanced Disk Drive", 12, 3},
    // The extension byte: rows only when the structure holds it.
    {"ACPI", "ACPI Supported", 18, 0},
    {"USB Legacy", "USB Legacy Supported", 18, 1},
    {"AGP", "AGP Supported", 18, 2},
    {"I2O Boot", "I2O Boot Supported", 18, 3},
    {"LS-120 Boot", "LS-120 Boot Supported", 18, 4},
    {"ATAPI Zip Booting", "ATAPI Zip Booting", 18, 5},
    {"1394 Boot", "1394 Boot Supported", 18, 6},
    {"Smart Battery BIOS", "Smart Battery BIOS", 18, 7},
};

constexpr column_def feature_columns[] = {
    heading_column("Feature Name", ASCII_STRING, 21),
    heading_column("Supported", STRING),
};

// The "Supported Features" table of one BIOS structure.
void write_features(FILE* report, const structure_fields& bios) {
    report_table table(report, "Supported Features", "FEATURE");
    write_heading(table, feature_columns);
    for (const feature_bit& feature : features) {
        bool present = bios.has(feature.offset, 1);
        if (feature.offset == extension_offset && !present) continue;
        table.start_row(feature.key);
        table.log_data(feature.name);
        table.log_data(!present ? unknown_text : bios.byte(feature.offset) >> feature.bit & 1 ? "Yes" : "No");
        table.end_row();
    }
}

void write_bios(FILE* report, smbios_table& smbios) {
    write_structure_table(report, smbios, 0, bios_def);
    unsigned count = smbios.structure_count(0);
    if (count > 0) write_features(report, {smbios, smbios.structure_at(0, count - 1)});
}

// The 16 UUID bytes in stored order, as 32 hexadecimal digits.
const char* uuid(const structure_fields& fields, std::string& buffer) {
    buffer.clear();
    for (unsigned i = 0; i < 16; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", fields.byte(8 + i));
        buffer += digits;
    }
    return buffer.c_str();
}

// The UUID in its usual text form. From 2.6 on the first three fields are
// stored little-endian; all ones means not settable, all zeros not present.
const char* uuid_text(const structure_fields& fields, std::string& buffer) {
    uint8_t b[16];
    bool ones = true, zeros = true;
    for (unsigned i = 0; i < 16; ++i) {
        b[i] = fields.byte(8 + i);
        ones = ones && b[i] == 0xFF;
        zeros = zeros && b[i] == 0;
    }
    if (ones) return "Not Settable";
    if (zeros) return "Not Present";
    static constexpr uint8_t swapped[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    bool little_endian = fields.table.loaded_revision() >= 0x26;
    buffer.clear();
    for (unsigned i = 0; i < 16; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", b[little_endian ? swapped[i] : i]);
        if (i == 4 || i == 6 || i == 8 || i == 10) buffer += '-';
        buffer += digits;
    }
    return buffer.c_str();
}

constexpr column_def system_columns[] = {
    string_column("Manufacturer", 4),
    string_column("Product Name", 5, 20),
    string_column("Version", 6),
    string_column("Serial Number", 7),
    text_column("UUID", ASCII_STRING, 32, 8, 16, uuid).needing(25, ""),
    enum_column("Wake-up Type", 24, wake_up_type_texts).needing(25, ""),
    string_column("SKU Number", 25),
    string_column("Family", 26),
    text_column("UUID Text", ASCII_STRING, 36, 8, 16, uuid_text),
};
constexpr table_def system_def{"System Information", "SYSTEM_INSTANCE", system_columns};

constexpr column_def baseboard_columns[] = {
    string_column("Manufacturer", 4),
    string_column("Product", 5, 20),
    string_column("Version", 6),
    string_column("Serial Number", 7),
    string_column("Asset Tag", 8),
};
constexpr table_def baseboard_def{"Baseboard Information", "MOTHERBOARD_INSTANCE", baseboard_columns};

const char* chassis_type(const structure_fields& fields, std::string&) {
    return chassis_type_name(fields.byte(5));
}

// The SKU number follows the contained elements (count at 19, record size
// at 20, records from 21).
const char* chassis_sku(const structure_fields& fields, std::string&) {
    return fields.string(21 + fields.byte(19) * fields.byte(20));
}

constexpr column_def enclosure_columns[] = {
    string_column("Manufacturer", 4),
    text_column("Type", STRING, 20, 5, 1, chassis_type),
    string_column("Version", 6),
    string_column("Serial Number", 7, 32),
    string_column("Asset Tag Number", 8),
    enum_column("Bootup State", 9, bootup_state_texts).needing(13),
    text_column("SKU Number", ASCII_STRING, 0, 19, 2, chassis_sku),
};
constexpr table_def enclosure_def{"System Enclosure Information", "ENCLOSURE_INSTANCE", enclosure_columns};

const char* processor_id(const structure_fields& fields, std::string& buffer) {
    return format_text(buffer, "%08X %08X", fields.value(8, 4), fields.value(12, 4));
}

// The current speed, or the maximum speed when the current one is not given.
int32_t processor_speed(const structure_fields& fields) {
    uint16_t current = fields.word(22);
    return current ? current : fields.word(20);
}

const char* processor_status(const structure_fields& fields, std::string& buffer) {
    return processor_status_text(fields.byte(24), buffer);
}

// A count byte; 0xFF defers to the 16-bit count that came with 3.0.
template <unsigned offset, unsigned wide_offset>
int32_t processor_count(const structure_fields& fields) {
    uint8_t count = fields.byte(offset);
    return count == 0xFF && fields.has(wide_offset, 2) ? fields.word(wide_offset) : count;
}

constexpr column_def processor_columns[] = {
    string_column("Socket", 4),
    string_column("Manufacturer", 7),
    text_column("Processor ID", ASCII_STRING, 17, 8, 8, processor_id),
    string_column("Version", 16, 20),
    computed_number_column("Current Speed", 20, 2, processor_speed),
    text_column("Status", STRING, 29, 24, 1, processor_status),
    string_column("Serial Number", 32, 10, STRING),
    string_column("Part Number", 34, 10, STRING),
    string_column("Asset Tag", 33),
    computed_number_column("Core Count", 35, 1, processor_count<35, 42>),
    computed_number_column("Core Enabled", 36, 1, processor_count<36, 44>),
    computed_number_column("Thread Count", 37, 1, processor_count<37, 46>),
};
constexpr table_def processor_def{"Processor Information", "PROCESSOR_INSTANCE", processor_columns};

constexpr smbios_decoder decoders[] = {
    {0, nullptr, write_bios},
    {1, &system_def},
    {2, &baseboard_def},
    {3, &enclosure_def},
    {4, &processor_def},
};

}  // namespace

const std::span<const smbios_decoder> platform_decoders{decoders};

// Port Connector (type 8), System Slots (9), On Board Devices (10), OEM
// Strings (11), System Configuration Options (12), BIOS Language (13) and
// Group Associations (14).
#include <cstring>

#include "smbios/smbios_decode.h"
#include "smbios/smbios_texts.h"

namespace {

// The external designator, else the internal one, else the port type: the
// first that says more than one character ("(none)" counts as saying more).
const char* port_key(const structure_fields& fields, std::string&) {
    for (unsigned offset : {6u, 4u}) {
        const char* designator = fields.string(offset);
        if (std::strlen(designator) > 1) return designator;
    }
    return fields.has(8, 1) ? enum_lookup(port_type_texts, fields.byte(8)) : unknown_text;
}

constexpr column_def port_columns[] = {
    enum_column("Port Type", 8, port_type_texts, 30),
    string_column("Internal Designator", 4, 45),
    enum_column("Internal Connector Type", 5, connector_type_texts, 23),
    string_column("External Designator", 6),
    enum_column("External Connector Type", 7, connector_type_texts, 23),
};
constexpr table_def port_def{"Port Connector Information", "CONNECTOR_INSTANCE", port_columns, port_key};

const char* slot_key(const structure_fields& fields, std::string&) { return fields.string(4); }

// Characteristics 1, then ", " and characteristics 2 when the structure is
// long enough to hold them (the separator is written even for empty lists).
const char* slot_characteristics(const structure_fields& fields, std::string& buffer) {
    bit_list(slot_characteristics_1_bits, fields.byte(11), buffer);
    if (fields.has(12, 1)) {
        std::string second;
        buffer += ", ";
        buffer += bit_list(slot_characteristics_2_bits, fields.byte(12), second);
    }
    return buffer.c_str();
}

constexpr column_def slot_columns[] = {
    string_column("Socket Designation", 4, 30),
    enum_column("Type", 5, slot_type_texts, 20),
    enum_column("Bus Width", 6, bus_width_texts),
    enum_column("In Use", 7, slot_usage_texts),
    enum_column("Length ", 8, slot_length_texts),
    number_column("ID", 9, 2),
    text_column("Characteristics", STRING, 50, 11, 1, slot_characteristics),
};
constexpr table_def slot_def{"Adapter Slot Information", "SLOT_INSTANCE", slot_columns, slot_key};

constexpr column_def onboard_columns[] = {
    heading_column("Device Type", STRING, 15),
    heading_column("Status", STRING, 8),
    heading_column("Description", ASCII_STRING, 50),
};

// One row per two-byte device entry: type (bit 7: enabled) and description.
void write_onboard_devices(FILE* report, smbios_table& smbios) {
    report_table table(report, "On-board Device Information", "DEVICE_INSTANCE");
    write_heading(table, onboard_columns);
    for (unsigned i = 0; i < smbios.structure_count(10); ++i) {
        structure_fields fields{smbios, smbios.structure_at(10, i)};
        for (unsigned entry = 4; entry + 2 <= fields.length(); entry += 2) {
            uint8_t type = fields.byte(entry);
            uint8_t description = fields.byte(entry + 1);
            const char* type_text = enum_lookup(onboard_device_texts, type & 0x7F);
            table.start_row(type_text);
            table.log_data(type_text);
            table.log_data(type & 0x80 ? "Enabled" : "Disabled");
            table.log_data(description ? fields.string_number(description) : "None");
            table.end_row();
        }
    }
}

// One row per string of each structure, the count in byte 4; keyed by the
// structure's position, or not at all.
void write_string_rows(FILE* report, smbios_table& smbios, unsigned type, const char* title,
                       const char* row_element, const column_def& column, bool keyed) {
    report_table table(report, title, row_element);
    write_heading(table, {&column, 1});
    std::string key;
    for (unsigned i = 0; i < smbios.structure_count(type); ++i) {
        structure_fields fields{smbios, smbios.structure_at(type, i)};
        format_text(key, "%u", i + 1);
        for (unsigned n = 1; n <= fields.byte(4); ++n) {
            table.start_row(keyed ? key.c_str() : "");
            table.log_data(fields.string_number(static_cast<uint8_t>(n)));
            table.end_row();
        }
    }
}

constexpr column_def oem_string_column = heading_column("String", ASCII_STRING, 80);
constexpr column_def config_option_column = heading_column("Config Option", ASCII_STRING, 80);

void write_oem_strings(FILE* report, smbios_table& smbios) {
    write_string_rows(report, smbios, 11, "OEM Strings", "STRING_INSTANCE", oem_string_column, true);
}

void write_config_options(FILE* report, smbios_table& smbios) {
    write_string_rows(report, smbios, 12, "System Configuration Options", "", config_option_column, false);
}

constexpr column_def language_columns[] = {
    heading_column("Status", ASCII_STRING, 25),
    heading_column("Language", STRING, 20),
};

// The current language, when its number is one of the installable ones.
const char* current_language(const structure_fields& fields) {
    if (!fields.has(21, 1)) return unknown_text;
    uint8_t current = fields.byte(21);
    if (current == 0 || current > fields.byte(4)) return "Error: Invalid Language";
    return fields.string_number(current);
}

void write_language_row(report_table& table, const char* status, const char* language) {
    table.start_row(status);
    table.log_data(status);
    table.log_data(language);
    table.end_row();
}

// The current language, then every installable one.
void write_languages(FILE* report, smbios_table& smbios) {
    report_table table(report, "BIOS Language Information", "BIOS_LANGUAGE_INSTANCE");
    write_heading(table, language_columns);
    std::string status;
    for (unsigned i = 0; i < smbios.structure_count(13); ++i) {
        structure_fields fields{smbios, smbios.structure_at(13, i)};
        write_language_row(table, "Current Language", current_language(fields));
        for (unsigned n = 1; n <= fields.byte(4); ++n) {
            format_text(status, "Installable Language %u", n);
            write_language_row(table, status.c_str(), fields.string_number(static_cast<uint8_t>(n)));
        }
    }
}

const char* group_name(const structure_fields& fields, std::string&) {
    return fields.byte(4) ? fields.string(4) : "Invalid Group Name";
}

constexpr column_def group_columns[] = {
    number_column("Group Number", 4, 1, 20),
    text_column("Group Name", STRING, 20, 4, 1, group_name),
    number_column("Item Type", 5, 1, 20),
    hex_column("Item Handle", 6, 2, "%04Xh", 20),
};
constexpr table_def group_def{"Group Associations", "GROUP_INSTANCE", group_columns};

constexpr smbios_decoder decoders[] = {
    {8, &port_def},
    {9, &slot_def},
    {10, nullptr, write_onboard_devices},
    {11, nullptr, write_oem_strings},
    {12, nullptr, write_config_options},
    {13, nullptr, write_languages},
    {14, &group_def},
};

}  // namespace

const std::span<const smbios_decoder> connector_decoders{decoders};

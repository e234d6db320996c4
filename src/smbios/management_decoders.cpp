// IPMI Device (type 38), System Power Supply (39), Onboard Devices Extended
// (41) and TPM Device (43): what support asks for when it replaces a power
// supply, finds the BMC or matches an onboard device to its PCI function.
#include "smbios/smbios_decode.h"
#include "smbios/smbios_texts.h"

namespace {

// The IPMI revision the BMC implements: major in the high nibble, minor in the low.
const char* ipmi_revision(const structure_fields& fields, std::string& buffer) {
    uint8_t revision = fields.byte(5);
    return format_text(buffer, "%u.%u", revision >> 4, revision & 0x0F);
}

// The base address: bit 0 marks I/O space. From the longer structure on,
// bit 4 of the modifier byte at 16 supplies the address's lowest bit.
const char* bmc_base_address(const structure_fields& fields, std::string& buffer) {
    uint64_t address = fields.qword(8);
    address &= ~uint64_t{1};
    if (fields.has(16, 1)) address |= fields.byte(16) >> 4 & 1;
    return format_text(buffer, "%016llXh", static_cast<unsigned long long>(address));
}
const char* bmc_address_space(const structure_fields& fields, std::string&) {
    return fields.qword(8) & 1 ? "I/O" : "Memory";
}

constexpr column_def bmc_columns[] = {
    enum_column("Interface Type", 4, bmc_interface_texts),
    text_column("IPMI Revision", ASCII_STRING, 0, 5, 1, ipmi_revision),
    hex_column("I2C Target Address", 6, 1, "%02Xh"),
    hex_column("NV Storage Address", 7, 1, "%02Xh"),
    text_column("Base Address", ASCII_STRING, 0, 8, 8, bmc_base_address),
    text_column("Address Space", STRING, 0, 8, 8, bmc_address_space),
    number_column("Interrupt", 17),
};
constexpr table_def bmc_def{"IPMI Device Information", "IPMI_DEVICE_INSTANCE", bmc_columns};

// The power supply characteristics word at 14.
unsigned supply_bits(const structure_fields& fields, unsigned shift, unsigned mask) {
    return fields.word(14) >> shift & mask;
}
const char* supply_status(const structure_fields& fields, std::string&) {
    return enum_lookup(power_supply_status_texts, supply_bits(fields, 7, 7));
}
const char* supply_type(const structure_fields& fields, std::string&) {
    return enum_lookup(power_supply_type_texts, supply_bits(fields, 10, 15));
}
const char* supply_range(const structure_fields& fields, std::string&) {
    return enum_lookup(power_supply_range_texts, supply_bits(fields, 3, 15));
}
const char* supply_present(const structure_fields& fields, std::string&) {
    return supply_bits(fields, 1, 1) ? "Yes" : "No";
}
const char* supply_plugged(const structure_fields& fields, std::string&) {
    return supply_bits(fields, 2, 1) ? "No" : "Yes";
}
const char* supply_hot_replaceable(const structure_fields& fields, std::string&) {
    return supply_bits(fields, 0, 1) ? "Yes" : "No";
}
// Watts; 0x8000 means unknown.
const char* supply_capacity(const structure_fields& fields, std::string& buffer) {
    uint16_t watts = fields.word(12);
    return watts == 0x8000 ? unknown_text : format_text(buffer, "%u", watts);
}

constexpr column_def power_supply_columns[] = {
    number_column("Unit Group", 4),
    string_column("Location", 5),
    string_column("Device Name", 6),
    string_column("Manufacturer", 7),
    string_column("Serial Number", 8),
    string_column("Asset Tag", 9),
    string_column("Part Number", 10),
    string_column("Revision", 11),
    text_column("Max Power (W)", STRING, 0, 12, 2, supply_capacity),
    text_column("Status", STRING, 0, 14, 2, supply_status),
    text_column("Present", STRING, 0, 14, 2, supply_present),
    text_column("Plugged", STRING, 0, 14, 2, supply_plugged),
    text_column("Hot Replaceable", STRING, 0, 14, 2, supply_hot_replaceable),
    text_column("Supply Type", STRING, 0, 14, 2, supply_type),
    text_column("Input Voltage Range", STRING, 0, 14, 2, supply_range),
};
constexpr table_def power_supply_def{"System Power Supply Information", "POWER_SUPPLY_INSTANCE",
                                       power_supply_columns};

const char* onboard_type(const structure_fields& fields, std::string&) {
    return enum_lookup(onboard_device_extended_texts, fields.byte(5) & 0x7F);
}
const char* onboard_status(const structure_fields& fields, std::string&) {
    return fields.byte(5) & 0x80 ? "Enabled" : "Disabled";
}
// Segment, bus, device and function as the kernel names PCI functions.
const char* onboard_address(const structure_fields& fields, std::string& buffer) {
    uint16_t segment = fields.word(7);
    uint8_t bus = fields.byte(9), device_function = fields.byte(10);
    if (segment == 0xFFFF && bus == 0xFF && device_function == 0xFF) return "Not Applicable";
    return format_text(buffer, "%04x:%02x:%02x.%x", segment, bus, device_function >> 3, device_function & 7);
}

constexpr column_def onboard_columns[] = {
    string_column("Reference Designation", 4),
    text_column("Device Type", STRING, 0, 5, 1, onboard_type),
    text_column("Status", STRING, 0, 5, 1, onboard_status),
    number_column("Type Instance", 6),
    text_column("PCI Address", ASCII_STRING, 0, 7, 4, onboard_address),
};
constexpr table_def onboard_def{"Onboard Devices Extended Information", "ONBOARD_DEVICE_INSTANCE",
                                  onboard_columns};

// Four vendor characters, each outside 32..126 shown as '.'.
const char* tpm_vendor(const structure_fields& fields, std::string& buffer) {
    buffer.clear();
    for (unsigned i = 0; i < 4; ++i) {
        uint8_t c = fields.byte(4 + i);
        if (c == 0) continue;  // some vendors pad their ID with NULs
        buffer += c >= 32 && c <= 126 ? static_cast<char>(c) : '.';
    }
    return buffer.c_str();
}
const char* tpm_spec_version(const structure_fields& fields, std::string& buffer) {
    return format_text(buffer, "%u.%u", fields.byte(8), fields.byte(9));
}
// A 1.x TPM gives its revision in bytes 2 and 3 of its version record; a
// 2.0 TPM a 16-bit major and minor firmware version.
const char* tpm_firmware(const structure_fields& fields, std::string& buffer) {
    if (fields.byte(8) == 1) return format_text(buffer, "%u.%u", fields.byte(12), fields.byte(13));
    uint32_t version = fields.value(10, 4);
    return format_text(buffer, "%u.%u", version >> 16, version & 0xFFFF);
}
const char* tpm_characteristics(const structure_fields& fields, std::string& buffer) {
    return format_text(buffer, "%016llXh", static_cast<unsigned long long>(fields.qword(19)));
}

constexpr column_def tpm_columns[] = {
    text_column("Vendor ID", ASCII_STRING, 0, 4, 4, tpm_vendor),
    text_column("Spec Version", ASCII_STRING, 0, 8, 2, tpm_spec_version),
    text_column("Firmware Version", ASCII_STRING, 0, 10, 8, tpm_firmware),
    string_column("Description", 18),
    text_column("Characteristics", ASCII_STRING, 0, 19, 8, tpm_characteristics),
    hex_column("OEM Data", 27, 4, "%08Xh"),
};
constexpr table_def tpm_def{"TPM Device Information", "TPM_DEVICE_INSTANCE", tpm_columns};

constexpr smbios_decoder decoders[] = {
    {38, &bmc_def},
    {39, &power_supply_def},
    {41, &onboard_def},
    {43, &tpm_def},
};

}  // namespace

const std::span<const smbios_decoder> management_decoders{decoders};

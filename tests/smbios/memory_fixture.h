// Builders for files that stand for physical memory and for SMBIOS tables.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

using bytes = std::vector<uint8_t>;

// Writes a sparse file whose bytes at each address are the given pieces.
inline void write_memory(const std::string& path, const std::vector<std::pair<uint64_t, bytes>>& pieces) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    for (const auto& [address, data] : pieces) {
        std::fseek(f, static_cast<long>(address), SEEK_SET);
        std::fwrite(data.data(), 1, data.size(), f);
    }
    std::fclose(f);
}

inline void put_u16(bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put_u32(bytes& b, size_t at, uint32_t v) {
    put_u16(b, at, static_cast<uint16_t>(v));
    put_u16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// A 15-byte "_DMI_" entry point; its checksum byte makes the sum zero unless
// bad_checksum is set.
inline bytes dmi_entry_point(uint32_t table_address, uint16_t table_length, uint8_t revision = 0x23,
                             bool bad_checksum = false) {
    bytes e = {'_', 'D', 'M', 'I', '_', 0, 0, 0, 0, 0, 0, 0, 0, 0, revision};
    put_u16(e, 6, table_length);
    put_u32(e, 8, table_address);
    put_u16(e, 12, 1);
    uint8_t sum = 0;
    for (uint8_t c : e) sum = static_cast<uint8_t>(sum + c);
    e[5] = static_cast<uint8_t>(-sum + (bad_checksum ? 1 : 0));
    return e;
}

inline void put_u64(bytes& b, size_t at, uint64_t v) {
    put_u32(b, at, static_cast<uint32_t>(v));
    put_u32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

inline void set_checksum(bytes& b, size_t from, size_t length, size_t checksum_at, bool bad = false) {
    b[checksum_at] = 0;
    uint8_t sum = 0;
    for (size_t i = from; i < from + length; ++i) sum = static_cast<uint8_t>(sum + b[i]);
    b[checksum_at] = static_cast<uint8_t>(-sum + (bad ? 1 : 0));
}

// A 24-byte "_SM3_" entry point: version, maximum table size, 64-bit address.
inline bytes smbios3_entry_point(uint64_t table_address, uint32_t maximum_size, uint8_t major = 3,
                                 uint8_t minor = 4, bool bad_checksum = false) {
    bytes e(0x18, 0);
    const uint8_t head[] = {'_', 'S', 'M', '3', '_', 0, 0x18, major, minor, 0, 1};
    std::copy(std::begin(head), std::end(head), e.begin());
    put_u32(e, 0x0C, maximum_size);
    put_u64(e, 0x10, table_address);
    set_checksum(e, 0, e.size(), 5, bad_checksum);
    return e;
}

// A 31-byte "_SM_" entry point with its "_DMI_" part at 0x10.
inline bytes smbios2_entry_point(uint32_t table_address, uint16_t table_length, uint8_t major = 2,
                                 uint8_t minor = 8) {
    bytes e(0x1F, 0);
    const uint8_t head[] = {'_', 'S', 'M', '_', 0, 0x1F, major, minor};
    std::copy(std::begin(head), std::end(head), e.begin());
    bytes dmi = {'_', 'D', 'M', 'I', '_', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
    put_u16(dmi, 6, table_length);
    put_u32(dmi, 8, table_address);
    std::copy(dmi.begin(), dmi.end(), e.begin() + 0x10);
    set_checksum(e, 0x10, 15, 0x15);
    set_checksum(e, 0, 0x1F, 4);
    return e;
}

// A folder standing for the kernel's copy: "smbios_entry_point" and "DMI".
inline void write_export(const std::string& folder, const bytes& entry_point, const bytes& table) {
    std::filesystem::create_directories(folder);
    write_memory(folder + "/smbios_entry_point", {{0, entry_point}});
    write_memory(folder + "/DMI", {{0, table}});
}

// One structure: type, formatted length (header plus formatted bytes), the
// formatted bytes after the 4-byte header, then the strings and the closing
// NUL (two NULs when there are none).
inline bytes smbios_structure(uint8_t type, const bytes& formatted, const std::vector<std::string>& strings = {},
                              uint16_t handle = 0) {
    bytes s = {type, static_cast<uint8_t>(4 + formatted.size()), 0, 0};
    put_u16(s, 2, handle);
    for (uint8_t byte : formatted) s.push_back(byte);
    for (const auto& text : strings) {
        s.insert(s.end(), text.begin(), text.end());
        s.push_back(0);
    }
    if (strings.empty()) s.push_back(0);
    s.push_back(0);
    return s;
}

// System Information (type 1) with manufacturer 1, product 2, serial 3.
inline bytes system_information(const std::string& vendor, const std::string& product, const std::string& serial) {
    std::vector<std::string> strings = {vendor, product};
    uint8_t serial_number = 0;
    if (!serial.empty()) {
        strings.push_back(serial);
        serial_number = 3;
    }
    return smbios_structure(1, {1, 2, 0, serial_number}, strings);
}

inline bytes end_of_table() { return smbios_structure(127, {}); }

inline bytes joined(const std::vector<bytes>& parts) {
    bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A 64 KiB window with the entry point at entry_offset and the table right
// after it (offset entry_offset + 16), both inside the window.
inline bytes window_with_table(const bytes& table, size_t entry_offset = 0x100, uint8_t revision = 0x23) {
    bytes window(65536, 0);
    uint32_t table_offset = static_cast<uint32_t>(entry_offset + 16);
    bytes e = dmi_entry_point(0xF0000 + table_offset, static_cast<uint16_t>(table.size()), revision);
    std::copy(e.begin(), e.end(), window.begin() + static_cast<long>(entry_offset));
    std::copy(table.begin(), table.end(), window.begin() + table_offset);
    return window;
}

#include "smbios/smbios_table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pci/physical_memory.h"

bool smbios_2_2_or_later = false;

namespace {

const char* const unknown_text = "Unknown";
const uint8_t dmi_anchor[4] = {'_', 'D', 'M', 'I'};
constexpr int entry_point_size = 15;
constexpr unsigned end_of_table_type = 127;
constexpr unsigned memory_controller_type = 5;

uint16_t read_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t read_u32(const uint8_t* p) { return read_u16(p) | static_cast<uint32_t>(read_u16(p + 2)) << 16; }

}  // namespace

smbios_table::smbios_table() = default;

bool smbios_table::load() {
    if (attempted_) return valid_;
    attempted_ = true;
    valid_ = false;
    std::memset(entry_point_, 0, sizeof entry_point_);
    uint8_t* window = read_physical(window_base, window_size);
    if (!window) return false;
    bool ok = index_window(window);
    std::free(window);
    return ok;
}

bool smbios_table::load_from_window(const uint8_t* window) {
    if (attempted_) return valid_;
    attempted_ = true;
    valid_ = false;
    std::memset(entry_point_, 0, sizeof entry_point_);
    return index_window(window);
}

bool smbios_table::index_window(const uint8_t* window) {
    if (!find_entry_point(window)) return false;
    if (!copy_table(window)) return false;
    index_structures();
    valid_ = true;
    return true;
}

// The first "_DMI" anchor, at any byte position, whose 15 bytes sum to zero.
// An anchor too close to the window's end to hold an entry point is skipped.
bool smbios_table::find_entry_point(const uint8_t* window) {
    const uint8_t* end = window + window_size;
    const uint8_t* at = window;
    while (end - at >= entry_point_size) {
        const void* hit = std::memchr(at, '_', static_cast<size_t>(end - at - entry_point_size + 1));
        if (!hit) return false;
        at = static_cast<const uint8_t*>(hit);
        if (std::memcmp(at, dmi_anchor, sizeof dmi_anchor) == 0) {
            uint8_t sum = 0;
            for (int i = 0; i < entry_point_size; ++i) sum = static_cast<uint8_t>(sum + at[i]);
            if (sum == 0) {
                std::memcpy(entry_point_, at, entry_point_size);
                return true;
            }
            at += sizeof dmi_anchor;
        } else {
            ++at;
        }
    }
    return false;
}

// Copies the table from the window when it starts inside it (strictly between
// its first and last byte), else from physical memory. A table longer than
// the copy, or running past the window's end, is cut.
bool smbios_table::copy_table(const uint8_t* window) {
    uint32_t address = read_u32(entry_point_ + 8);
    size_t length = read_u16(entry_point_ + 6);
    if (length > static_cast<size_t>(table_size)) length = table_size;
    if (address >= window_base + 1 && address <= window_base + window_size - 2) {
        size_t offset = address - window_base;
        if (length > window_size - offset) length = window_size - offset;
        std::memcpy(table_, window + offset, length);
        length_ = length;
        return true;
    }
    uint8_t* copy = read_physical(address, static_cast<int>(length));
    if (!copy) {
        std::memset(table_, 0, sizeof table_);
        length_ = 0;
        return false;
    }
    std::memcpy(table_, copy, length);
    std::free(copy);
    length_ = length;
    return true;
}

// Walks the copy and records each structure in its type's list. The walk
// ends at the table's length, at an end-of-table structure, and at anything
// that would make it leave the copy or stand still: a formatted length below
// 4, or a string set not closed inside the copy.
void smbios_table::index_structures() {
    size_t at = 0;
    while (at + 4 <= length_) {
        const uint8_t* s = table_ + at;
        if (s[0] == end_of_table_type || s[1] < 4) break;
        size_t size = structure_size(at);
        if (size == 0) break;
        record(s);
        at += size;
    }
}

// Bytes from the structure at offset to the next one, or 0 when it does not
// end inside the copy.
size_t smbios_table::structure_size(size_t offset) const {
    size_t formatted = table_[offset + 1];
    if (offset + formatted > length_) return 0;
    const uint8_t* strings = table_ + offset + formatted;
    size_t room = length_ - offset - formatted;
    if (table_[offset] == memory_controller_type) {
        bool empty_set = room >= 2 && strings[0] == 0 && strings[1] == 0;
        return empty_set ? formatted + 2 : formatted;
    }
    for (size_t i = 0; i + 1 < room; ++i) {
        if (strings[i] == 0 && strings[i + 1] == 0) return formatted + i + 2;
    }
    return 0;
}

void smbios_table::record(const uint8_t* s) {
    unsigned list = s[0] < indexed_types ? s[0] : indexed_types;
    if (counts_[list] >= max_per_type) return;
    if (list < indexed_types)
        by_type_[list][counts_[list]] = s;
    else
        others_[counts_[list]] = s;
    ++counts_[list];
}

uint8_t smbios_table::revision() {
    load();
    return valid_ ? entry_point_[14] : 0;
}

unsigned smbios_table::structure_count(unsigned type) {
    load();
    if (!valid_) return 0;
    return counts_[type < indexed_types ? type : indexed_types];
}

const uint8_t* smbios_table::structure_at(unsigned type, unsigned index) {
    if (index >= structure_count(type)) return nullptr;
    return type < indexed_types ? by_type_[type][index] : others_[index];
}

const uint8_t* smbios_table::first_of_type(unsigned type) {
    return structure_at(type, 0);
}

uint8_t smbios_table::field_byte(const uint8_t* s, unsigned offset) {
    return offset < s[1] ? s[offset] : 0;
}

const char* smbios_table::string_at(uint8_t n, const uint8_t* s) const {
    if (n == 0) return "(none)";
    auto start = reinterpret_cast<uintptr_t>(table_);
    auto where = reinterpret_cast<uintptr_t>(s);
    if (where < start || where + 2 > start + length_) return "(bad string)";
    const char* end = reinterpret_cast<const char*>(table_ + length_);
    const char* text = reinterpret_cast<const char*>(s + s[1]);
    if (text >= end) return "(bad string)";
    if (*text == 0) return "(null string)";
    for (unsigned number = 1;; ++number) {
        const void* nul = std::memchr(text, 0, static_cast<size_t>(end - text));
        if (!nul) return "(bad string)";
        if (number == n) return text;
        text = static_cast<const char*>(nul) + 1;
        if (text >= end || *text == 0) return "(bad string)";
    }
}

const char* smbios_table::system_vendor() {
    const uint8_t* s = first_of_type(1);
    return s ? string_at(field_byte(s, 4), s) : unknown_text;
}

// The product name, reduced to the part between "-[" and "]-" (cut at its
// first '-') when it has one: "x-[1234ABC]-" gives 1234ABC.
const char* smbios_table::system_model() {
    static char model[65];
    const uint8_t* s = first_of_type(1);
    if (!s) return unknown_text;
    std::strncpy(model, string_at(field_byte(s, 5), s), 64);
    model[64] = 0;
    char* open = std::strstr(model, "-[");
    if (!open) return model;
    char* inner = open + 2;
    char* close = std::strstr(inner, "]-");
    if (!close) return model;
    *close = 0;
    if (char* dash = std::strchr(inner, '-')) *dash = 0;
    return inner;
}

const char* smbios_table::system_serial() {
    const unsigned types[] = {1, 3};
    for (unsigned type : types) {
        for (unsigned i = 0; i < structure_count(type); ++i) {
            const uint8_t* s = structure_at(type, i);
            if (uint8_t n = field_byte(s, 7)) return string_at(n, s);
        }
    }
    return unknown_text;
}

void smbios_table::version_flags() {
    uint8_t r = revision();
    unsigned major = r >> 4, minor = r & 0x0F;
    smbios_2_2_or_later = major > 2 || (major == 2 && minor >= 2);
}

const char* chassis_type_name(uint8_t type) {
    static const char* const names[] = {
        "Unknown", "Other", "Unknown", "Desktop", "Low Profile Desktop", "Pizza Box",
        "Mini Tower", "Tower", "Portable", "Laptop", "Notebook", "Handheld",
        "Docking Station", "All In One", "Subnotebook", "Space Saving", "Lunch Box",
        "Main Server Chassis", "Expansion Chassis", "Sub Chassis", "Bus Expansion Chassis",
        "Peripheral Chassis", "RAID Chassis", "Rack Mount Chassis", "Sealed-case PC",
    };
    unsigned index = type & 0x7F;
    return index < sizeof names / sizeof names[0] ? names[index] : unknown_text;
}

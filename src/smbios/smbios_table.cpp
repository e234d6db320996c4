#include "smbios/smbios_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/run_context.h"
#include "pci/physical_memory.h"

bool smbios_2_2_or_later = false;

namespace {

const char* const unknown_text = "Unknown";
const uint8_t dmi_anchor[4] = {'_', 'D', 'M', 'I'};
const uint8_t smbios3_anchor[5] = {'_', 'S', 'M', '3', '_'};
const uint8_t smbios2_anchor[4] = {'_', 'S', 'M', '_'};
constexpr int entry_point_size = 15;
constexpr size_t smbios3_entry_point_size = 0x18;
constexpr size_t smbios2_entry_point_size = 0x1F;
constexpr size_t largest_entry_point = 0x40;
constexpr unsigned end_of_table_type = 127;
constexpr unsigned memory_controller_type = 5;

const char* const default_export_directory = "/sys/firmware/dmi/tables";
std::string export_directory = default_export_directory;

uint16_t read_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t read_u32(const uint8_t* p) { return read_u16(p) | static_cast<uint32_t>(read_u16(p + 2)) << 16; }
uint64_t read_u64(const uint8_t* p) { return read_u32(p) | static_cast<uint64_t>(read_u32(p + 4)) << 32; }

bool sums_to_zero(const uint8_t* p, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    return sum == 0;
}

// A 64-bit entry point: anchor, its length (at 6) covering its checksum.
bool is_smbios3_entry_point(const uint8_t* p, size_t room) {
    if (room < smbios3_entry_point_size || std::memcmp(p, smbios3_anchor, sizeof smbios3_anchor) != 0)
        return false;
    size_t length = p[6];
    return length >= smbios3_entry_point_size && length <= room && sums_to_zero(p, length);
}

// A 32-bit entry point: anchor, its length (at 5) covering its checksum, and
// the "_DMI_" part at 0x10 with its own checksum.
bool is_smbios2_entry_point(const uint8_t* p, size_t room) {
    if (room < smbios2_entry_point_size || std::memcmp(p, smbios2_anchor, sizeof smbios2_anchor) != 0)
        return false;
    size_t length = p[5];
    // Some 2.1 firmware states 0x1E for its 0x1F bytes; the sum covers the stated length.
    return length >= smbios2_entry_point_size - 1 && length <= room && sums_to_zero(p, length) &&
           std::memcmp(p + 0x10, dmi_anchor, sizeof dmi_anchor) == 0 &&
           sums_to_zero(p + 0x10, entry_point_size);
}

// Reads up to capacity bytes of a file; the count read, or -1 when it
// cannot be opened or read.
long read_file_into(const std::string& path, uint8_t* buffer, size_t capacity) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t total = 0;
    while (total < capacity) {
        ssize_t got = read(fd, buffer + total, capacity - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            close(fd);
            return -1;
        }
        if (got == 0) break;
        total += static_cast<size_t>(got);
    }
    close(fd);
    return static_cast<long>(total);
}

}  // namespace

void set_dmi_export_directory(const char* directory) {
    export_directory = directory ? directory : default_export_directory;
}

smbios_table::smbios_table() = default;

bool smbios_table::load() {
    if (attempted_) return valid_;
    uint8_t* window = read_physical(window_base, window_size);
    bool ok = load_from_window(window);
    std::free(window);
    return ok;
}

bool smbios_table::load_from_window(const uint8_t* window) {
    if (attempted_) return valid_;
    attempted_ = true;
    valid_ = false;
    std::memset(entry_point_, 0, sizeof entry_point_);
    if (!load_table(window)) {
        debug_printf("SMBIOS table not found\n");
        return false;
    }
    index_structures();
    valid_ = true;
    return true;
}

// The legacy anchor wins; the kernel's copy serves firmware whose entry
// point is not in the window (UEFI) or is only a 64-bit one; the window's
// own 64-bit entry point serves kernels without that copy.
bool smbios_table::load_table(const uint8_t* window) {
    if (window && find_entry_point(window)) {
        if (from_legacy_window(window)) return true;
        std::memset(entry_point_, 0, sizeof entry_point_);  // its table could not be read
    }
    if (from_kernel_export()) return true;
    return window && from_smbios3_window(window);
}

bool smbios_table::from_legacy_window(const uint8_t* window) {
    uint32_t address = read_u32(entry_point_ + 8);
    if (!copy_table(window, address, read_u16(entry_point_ + 6))) return false;
    revision_ = entry_point_[14];
    source_ = "legacy";
    debug_printf("SMBIOS table from the _DMI_ entry point: 0x%x, %zu bytes\n", address, length_);
    return true;
}

// The kernel's copy: the entry point as the firmware published it, and the
// table itself. The table's address in the entry point plays no part.
bool smbios_table::from_kernel_export() {
    uint8_t entry[largest_entry_point];
    std::string entry_path = export_directory + "/smbios_entry_point";
    long got = read_file_into(entry_path, entry, sizeof entry);
    if (got < 0) {
        debug_printf("%s: %s\n", entry_path.c_str(), std::strerror(errno));
        return false;
    }
    size_t entry_length = static_cast<size_t>(got);
    const char* kind;
    unsigned major, minor;
    size_t limit;
    bool has_dmi_part = false;
    if (is_smbios3_entry_point(entry, entry_length)) {
        kind = "_SM3_";
        major = entry[7];
        minor = entry[8];
        limit = read_u32(entry + 0x0C);
    } else if (is_smbios2_entry_point(entry, entry_length)) {
        kind = "_SM_";
        major = entry[6];
        minor = entry[7];
        limit = read_u16(entry + 0x16);
        has_dmi_part = true;
    } else {
        debug_printf("%s: no valid entry point\n", entry_path.c_str());
        return false;
    }
    std::string table_path = export_directory + "/DMI";
    if (limit > static_cast<size_t>(table_size)) limit = table_size;
    got = read_file_into(table_path, table_, limit);
    if (got < 0) {
        debug_printf("%s: %s\n", table_path.c_str(), std::strerror(errno));
        return false;
    }
    length_ = static_cast<size_t>(got);
    if (has_dmi_part) std::memcpy(entry_point_, entry + 0x10, entry_point_size);
    set_version(major, minor);
    source_ = "kernel";
    debug_printf("SMBIOS table from %s: %s entry point, version %u.%u, %zu bytes\n", export_directory.c_str(),
                 kind, major, minor, length_);
    return true;
}

// The first "_SM3_" entry point, at any byte position, whose checksum holds.
// It has no structure count: the walk ends at the end-of-table structure or
// at the table's maximum size.
bool smbios_table::from_smbios3_window(const uint8_t* window) {
    const uint8_t* end = window + window_size;
    for (const uint8_t* at = window; end - at >= static_cast<long>(smbios3_entry_point_size); ++at) {
        at = static_cast<const uint8_t*>(
            std::memchr(at, '_', static_cast<size_t>(end - at) - smbios3_entry_point_size + 1));
        if (!at) return false;
        if (!is_smbios3_entry_point(at, static_cast<size_t>(end - at))) continue;
        uint64_t address = read_u64(at + 0x10);
        uint32_t maximum = read_u32(at + 0x0C);
        if (!copy_table(window, address, maximum)) return false;
        set_version(at[7], at[8]);
        source_ = "smbios3";
        debug_printf("SMBIOS table from the _SM3_ entry point at 0x%lx: 0x%llx, %zu bytes\n",
                     static_cast<unsigned long>(window_base + (at - window)),
                     static_cast<unsigned long long>(address), length_);
        return true;
    }
    return false;
}

void smbios_table::set_version(unsigned major, unsigned minor) {
    revision_ = static_cast<uint8_t>((major > 15 ? 15 : major) << 4 | (minor > 15 ? 15 : minor));
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
            if (sums_to_zero(at, entry_point_size)) {
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
bool smbios_table::copy_table(const uint8_t* window, uint64_t address, size_t length) {
    if (length > static_cast<size_t>(table_size)) length = table_size;
    if (address >= window_base + 1 && address <= window_base + window_size - 2) {
        size_t offset = static_cast<size_t>(address - window_base);
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
    return valid_ ? revision_ : 0;
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

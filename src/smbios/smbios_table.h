// The SMBIOS structure table: located, copied and indexed by structure type.
//
// Sources, in order: the legacy "_DMI_" entry point in the 0xF0000 window;
// the kernel's copy of the entry point and table (a 2.x "_SM_" or 3.x "_SM3_"
// entry point, also on machines that boot through UEFI); an "_SM3_" entry
// point in the window (firmware that publishes only the 64-bit one).
#pragma once

#include <cstddef>
#include <cstdint>

// True when the loaded table's revision is 2.2 or later; set by version_flags().
extern bool smbios_2_2_or_later;

class smbios_table {
public:
    static constexpr int table_size = 16384;      // bytes of the table copy
    static constexpr int window_size = 65536;     // the 0xF0000-0xFFFFF window
    static constexpr uint32_t window_base = 0xF0000;
    static constexpr int max_per_type = 40;       // structures recorded per list
    static constexpr int indexed_types = 40;      // types 0-39 have their own list

    smbios_table();

    // Finds, copies and indexes the table; runs once, later calls return the
    // first result.
    bool load();
    // As load(), with the 64 KiB window already copied (window_size bytes;
    // null when it could not be read). A table outside the window is still
    // read from physical memory, and the kernel's copy is still consulted.
    bool load_from_window(const uint8_t* window);

    bool is_valid() const { return valid_; }
    // BCD revision byte of the entry point, 0 when not valid. For the kernel's
    // copy and "_SM3_" entry points it is built from the major and minor
    // version (3.4 gives 0x34; a part above 15 counts as 15).
    uint8_t revision();
    // The revision of the loaded table without loading; 0 when not valid.
    uint8_t loaded_revision() const { return valid_ ? revision_ : 0; }
    // Number of recorded structures of a type (types above 39 share one list).
    unsigned structure_count(unsigned type);
    // The index-th recorded structure of a type, or null.
    const uint8_t* structure_at(unsigned type, unsigned index);
    // Text of string number n of structure s: "(none)" for 0, "(null string)"
    // when s has no strings, "(bad string)" past the last string.
    const char* string_at(uint8_t n, const uint8_t* s) const;
    // Byte at offset of structure s, 0 when the formatted area is shorter.
    static uint8_t field_byte(const uint8_t* s, unsigned offset);

    // Identity lookups from System Information (type 1) and, for the serial
    // number, System Enclosure (type 3); "Unknown" when not available. The
    // model lives in a static buffer until the next system_model() call.
    const char* system_vendor();
    const char* system_model();
    const char* system_serial();

    // Sets smbios_2_2_or_later from the revision.
    void version_flags();

    // Copy of the 15-byte "_DMI_" entry point (zero when the table came from
    // an "_SM3_" entry point or none was found).
    const uint8_t* entry_point() const { return entry_point_; }
    // Where the loaded table came from: "legacy", "kernel" or "smbios3";
    // "none" before a successful load.
    const char* source() const { return source_; }

private:
    bool load_table(const uint8_t* window);
    bool from_legacy_window(const uint8_t* window);
    bool from_kernel_export();
    bool from_smbios3_window(const uint8_t* window);
    bool find_entry_point(const uint8_t* window);
    bool copy_table(const uint8_t* window, uint64_t address, size_t length);
    void set_version(unsigned major, unsigned minor);
    void index_structures();
    size_t structure_size(size_t offset) const;
    void record(const uint8_t* s);
    const uint8_t* first_of_type(unsigned type);

    bool valid_ = false;
    bool attempted_ = false;
    uint8_t entry_point_[15] = {};
    uint8_t revision_ = 0;
    const char* source_ = "none";
    // The copy, followed by zero padding so that a decoder reading a fixed
    // offset (below 256 + 4) of any recorded structure stays inside it.
    uint8_t table_[table_size + 512] = {};
    size_t length_ = 0;                            // bytes of table_ in use
    unsigned counts_[indexed_types + 1] = {};
    const uint8_t* by_type_[indexed_types][max_per_type] = {};
    const uint8_t* others_[max_per_type] = {};
};

// Replaces the folder of the kernel's SMBIOS copy ("/sys/firmware/dmi/tables",
// holding "smbios_entry_point" and "DMI"); null restores it. Tests only.
void set_dmi_export_directory(const char* directory);

// Name of a chassis type (bit 7, the lock flag, is ignored).
const char* chassis_type_name(uint8_t type);

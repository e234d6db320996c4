// Building blocks of the SMBIOS decoders: enumeration and bit-list texts as
// data, bounded reads of a structure's fields, and report tables described by
// their columns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "report/report_table.h"
#include "smbios/smbios_table.h"

inline constexpr const char* unknown_text = "Unknown";

// One listed value of an enumeration and its text.
struct enum_text {
    uint16_t value;
    const char* text;
};

// An enumeration: its listed values and the text of every other value.
struct text_table {
    std::span<const enum_text> entries;
    const char* otherwise;
};

// Text of a listed value, or null.
const char* enum_find(const text_table& table, unsigned value);
// Text of a value, or the table's text for unlisted values.
const char* enum_lookup(const text_table& table, unsigned value);

// Names of the bits of a bit field from bit 0 up, and the text of a field
// with none of them set.
struct bit_names {
    std::span<const char* const> bits;
    const char* none;
};

// The names of the set bits, lowest first, joined by ", "; bits above the
// named ones are ignored.
const char* bit_list(const bit_names& names, unsigned value, std::string& buffer);

// One recorded structure, read only within its formatted area: a field that
// lies past it reads as 0 (numbers) or "Unknown" (strings).
struct structure_fields {
    const smbios_table& table;
    const uint8_t* s;

    unsigned length() const { return s[1]; }
    bool has(unsigned offset, unsigned size) const { return offset + size <= length(); }
    // Little-endian value of size (1 to 4) bytes at offset.
    uint32_t value(unsigned offset, unsigned size) const;
    uint8_t byte(unsigned offset) const { return static_cast<uint8_t>(value(offset, 1)); }
    uint16_t word(unsigned offset) const { return static_cast<uint16_t>(value(offset, 2)); }
    // Little-endian 64-bit value at offset; 0 when it lies past the area.
    uint64_t qword(unsigned offset) const;
    // The string numbered by the byte at offset.
    const char* string(unsigned offset) const;
    const char* string_number(uint8_t number) const { return table.string_at(number, s); }
};

// printf into buffer; returns its text.
const char* format_text(std::string& buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));

using text_cell_fn = const char* (*)(const structure_fields& fields, std::string& buffer);
using number_cell_fn = int32_t (*)(const structure_fields& fields);

// Where a column's cells come from.
enum class cell_source : uint8_t {
    none,         // written by the decoder itself
    string,       // the string numbered by the byte at offset
    number,       // the field at offset as an integer
    hex,          // the field at offset through format
    enumeration,  // the enumeration text of the field at offset
    bits,         // the bit list of the field at offset
    text_fn,      // text computed from the structure
    number_fn,    // integer computed from the structure
};

// One column of a decoder's table: heading and cell source. A cell whose
// field (offset, size) is not there, or whose structure is shorter than
// min_length, shows short_text (0 for integers); so does a cell marked
// from_2_2 on a table older than revision 2.2.
struct column_def {
    const char* name;
    ColumnType type;
    int width = 0;  // minimum width; 0 keeps the name's length
    cell_source source = cell_source::none;
    uint8_t offset = 0;
    uint8_t size = 1;
    const char* format = nullptr;
    const text_table* texts = nullptr;
    const bit_names* names = nullptr;
    text_cell_fn text = nullptr;
    number_cell_fn number = nullptr;
    uint8_t min_length = 0;
    const char* short_text = unknown_text;
    bool from_2_2 = false;

    constexpr column_def needing(uint8_t length, const char* text = unknown_text) const {
        column_def c = *this;
        c.min_length = length;
        c.short_text = text;
        return c;
    }
    constexpr column_def as(ColumnType column_type) const {
        column_def c = *this;
        c.type = column_type;
        return c;
    }
    constexpr column_def only_from_2_2() const {
        column_def c = *this;
        c.from_2_2 = true;
        return c;
    }
};

constexpr column_def heading_column(const char* name, ColumnType type, int width = 0) {
    return {.name = name, .type = type, .width = width};
}
constexpr column_def string_column(const char* name, uint8_t offset, int width = 0, ColumnType type = ASCII_STRING) {
    return {.name = name, .type = type, .width = width, .source = cell_source::string, .offset = offset};
}
constexpr column_def number_column(const char* name, uint8_t offset, uint8_t size = 1, int width = 0) {
    return {.name = name, .type = INTEGER, .width = width, .source = cell_source::number, .offset = offset,
            .size = size};
}
constexpr column_def hex_column(const char* name, uint8_t offset, uint8_t size, const char* format,
                                 int width = 0) {
    return {.name = name, .type = ASCII_STRING, .width = width, .source = cell_source::hex, .offset = offset,
            .size = size, .format = format};
}
constexpr column_def handle_column() { return hex_column("Handle", 2, 2, "%04xh"); }
constexpr column_def enum_column(const char* name, uint8_t offset, const text_table& texts, int width = 0,
                                  uint8_t size = 1) {
    return {.name = name, .type = STRING, .width = width, .source = cell_source::enumeration, .offset = offset,
            .size = size, .texts = &texts};
}
constexpr column_def bits_column(const char* name, uint8_t offset, uint8_t size, const bit_names& names,
                                  int width = 0) {
    return {.name = name, .type = STRING, .width = width, .source = cell_source::bits, .offset = offset,
            .size = size, .names = &names};
}
// A text cell computed from the field (offset, size) and what else fn reads.
constexpr column_def text_column(const char* name, ColumnType type, int width, uint8_t offset, uint8_t size,
                                  text_cell_fn fn) {
    return {.name = name, .type = type, .width = width, .source = cell_source::text_fn, .offset = offset,
            .size = size, .text = fn};
}
constexpr column_def computed_number_column(const char* name, uint8_t offset, uint8_t size, number_cell_fn fn) {
    return {.name = name, .type = INTEGER, .source = cell_source::number_fn, .offset = offset, .size = size,
            .number = fn};
}

using row_key_fn = const char* (*)(const structure_fields& fields, std::string& buffer);

// A decoder that writes one row per structure of its type.
struct table_def {
    const char* title;
    const char* row_element;  // null: rows without an element of their own
    std::span<const column_def> columns;
    row_key_fn key = nullptr;  // null: the structure's 1-based position
};

// Adds the columns with their widths and closes the heading.
void write_heading(report_table& table, std::span<const column_def> columns);
// Writes one cell per column from the structure.
void write_cells(report_table& table, const structure_fields& fields, std::span<const column_def> columns,
                 std::string& buffer);
// The table of every recorded structure of a type, one row each.
void write_structure_table(FILE* report, smbios_table& smbios, unsigned type, const table_def& def);

// A decoder: either a one-row-per-structure table, or a writer of its own.
struct smbios_decoder {
    uint8_t type;
    const table_def* def;
    void (*write)(FILE* report, smbios_table& smbios) = nullptr;
};

// The decoders of each group of types. Types 40 and up share one list of
// mixed types: their decoders pick their own structures from it.
extern const std::span<const smbios_decoder> platform_decoders;
extern const std::span<const smbios_decoder> memory_decoders;
extern const std::span<const smbios_decoder> connector_decoders;
extern const std::span<const smbios_decoder> device_decoders;
extern const std::span<const smbios_decoder> management_decoders;

// The table of every recorded structure of a type of 40 and above.
void write_shared_list_table(FILE* report, smbios_table& smbios, unsigned type, const table_def& def);
// Number of recorded structures of a type of 40 and above.
unsigned shared_list_count(smbios_table& smbios, unsigned type);

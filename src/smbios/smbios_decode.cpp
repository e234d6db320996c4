#include "smbios/smbios_decode.h"

#include <cstdarg>

const char* enum_find(const text_table& table, unsigned value) {
    for (const enum_text& entry : table.entries) {
        if (entry.value == value) return entry.text;
    }
    return nullptr;
}

const char* enum_lookup(const text_table& table, unsigned value) {
    const char* text = enum_find(table, value);
    return text ? text : table.otherwise;
}

const char* bit_list(const bit_names& names, unsigned value, std::string& buffer) {
    buffer.clear();
    for (size_t bit = 0; bit < names.bits.size(); ++bit) {
        if (!(value >> bit & 1)) continue;
        if (!buffer.empty()) buffer += ", ";
        buffer += names.bits[bit];
    }
    return buffer.empty() ? names.none : buffer.c_str();
}

uint32_t structure_fields::value(unsigned offset, unsigned size) const {
    if (!has(offset, size)) return 0;
    uint32_t v = 0;
    for (unsigned i = size; i-- > 0;) v = v << 8 | s[offset + i];
    return v;
}

uint64_t structure_fields::qword(unsigned offset) const {
    if (!has(offset, 8)) return 0;
    return uint64_t{value(offset + 4, 4)} << 32 | value(offset, 4);
}

const char* structure_fields::string(unsigned offset) const {
    return has(offset, 1) ? table.string_at(s[offset], s) : unknown_text;
}

const char* format_text(std::string& buffer, const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    buffer = text;
    return buffer.c_str();
}

void write_heading(report_table& table, std::span<const column_def> columns) {
    table.start_heading();
    for (size_t i = 0; i < columns.size(); ++i) {
        table.add_column(columns[i].name, columns[i].type);
        if (columns[i].width > 0) table.set_column_width(static_cast<int>(i), columns[i].width);
    }
    table.end_heading();
}

namespace {

bool cell_present(const structure_fields& fields, const column_def& column) {
    if (column.from_2_2 && !smbios_2_2_or_later) return false;
    return fields.length() >= column.min_length && fields.has(column.offset, column.size);
}

int32_t number_cell(const structure_fields& fields, const column_def& column) {
    if (column.source == cell_source::number_fn) return column.number(fields);
    return static_cast<int32_t>(fields.value(column.offset, column.size));
}

const char* text_cell(const structure_fields& fields, const column_def& column, std::string& buffer) {
    uint32_t value = fields.value(column.offset, column.size);
    switch (column.source) {
        case cell_source::string:
            return fields.string(column.offset);
        case cell_source::hex:
            return format_text(buffer, column.format, value);
        case cell_source::enumeration:
            return enum_lookup(*column.texts, value);
        case cell_source::bits:
            return bit_list(*column.names, value, buffer);
        case cell_source::text_fn:
            return column.text(fields, buffer);
        default:
            return unknown_text;
    }
}

}  // namespace

void write_cells(report_table& table, const structure_fields& fields, std::span<const column_def> columns,
                 std::string& buffer) {
    for (const column_def& column : columns) {
        bool present = cell_present(fields, column);
        if (column.type == INTEGER)
            table.log_data(present ? number_cell(fields, column) : 0);
        else
            table.log_data(present ? text_cell(fields, column, buffer) : column.short_text);
    }
}

void write_structure_table(FILE* report, smbios_table& smbios, unsigned type, const table_def& def) {
    report_table table(report, def.title, def.row_element ? def.row_element : "");
    write_heading(table, def.columns);
    std::string key, cell;
    for (unsigned i = 0; i < smbios.structure_count(type); ++i) {
        structure_fields fields{smbios, smbios.structure_at(type, i)};
        table.start_row(def.key ? def.key(fields, key) : format_text(key, "%u", i + 1));
        write_cells(table, fields, def.columns, cell);
        table.end_row();
    }
}

unsigned shared_list_count(smbios_table& smbios, unsigned type) {
    unsigned count = 0;
    for (unsigned i = 0; i < smbios.structure_count(type); ++i) count += smbios.structure_at(type, i)[0] == type;
    return count;
}

void write_shared_list_table(FILE* report, smbios_table& smbios, unsigned type, const table_def& def) {
    report_table table(report, def.title, def.row_element ? def.row_element : "");
    write_heading(table, def.columns);
    std::string key, cell;
    unsigned position = 0;
    for (unsigned i = 0; i < smbios.structure_count(type); ++i) {
        const uint8_t* s = smbios.structure_at(type, i);
        if (s[0] != type) continue;
        structure_fields fields{smbios, s};
        table.start_row(def.key ? def.key(fields, key) : format_text(key, "%u", ++position));
        write_cells(table, fields, def.columns, cell);
        table.end_row();
    }
}

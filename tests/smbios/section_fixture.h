// Runs the SMBIOS section over synthetic tables and reads its mode-4 tables
// back: titles, row keys and cells by column name.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pci/physical_memory.h"
#include "report/report.h"
#include "report/report_check.h"
#include "report/xml.h"
#include "smbios/memory_fixture.h"
#include "smbios/smbios_section.h"
#include "smbios/smbios_table.h"

// A structure of a given formatted length, filled field by field at the
// offsets the firmware uses (offset 0 is the type byte).
class structure {
public:
    structure(uint8_t type, unsigned length) : type_(type), formatted_(length - 4) {}
    structure& u8(unsigned offset, uint8_t v) {
        formatted_.at(offset - 4) = v;
        return *this;
    }
    structure& u16(unsigned offset, uint16_t v) { return u8(offset, v & 0xFF).u8(offset + 1, v >> 8); }
    structure& u32(unsigned offset, uint32_t v) { return u16(offset, v & 0xFFFF).u16(offset + 2, v >> 16); }
    structure& handle(uint16_t h) {
        handle_ = h;
        return *this;
    }
    structure& strings(std::vector<std::string> texts) {
        strings_ = std::move(texts);
        return *this;
    }
    operator bytes() const { return smbios_structure(type_, formatted_, strings_, handle_); }

private:
    uint8_t type_;
    bytes formatted_;
    std::vector<std::string> strings_;
    uint16_t handle_ = 0;
};

struct decoded_cell {
    std::string kind;  // STR, ASC, DEC, ...
    std::string column;
    int width = 0;
    std::string text;
};

struct decoded_row {
    std::string key;
    std::vector<decoded_cell> cells;

    std::string operator[](const std::string& column) const {
        for (const auto& c : cells)
            if (c.column == column) return c.text;
        ADD_FAILURE() << "no column '" << column << "' in row '" << key << "'";
        return "";
    }
};

struct decoded_table {
    std::string title;
    int columns = 0;
    std::vector<decoded_row> rows;

    std::vector<std::string> keys() const {
        std::vector<std::string> k;
        for (const auto& r : rows) k.push_back(r.key);
        return k;
    }
    std::vector<std::string> column(const std::string& name) const {
        std::vector<std::string> texts;
        for (const auto& r : rows) texts.push_back(r[name]);
        return texts;
    }
};

struct section_result {
    std::string status;
    std::string text;         // what was written to the report
    std::string misuse;       // what the table operations printed on standard output
    std::vector<decoded_table> tables;

    std::vector<std::string> titles() const {
        std::vector<std::string> t;
        for (const auto& table : tables) t.push_back(table.title);
        return t;
    }
    const decoded_table& table(const std::string& title) const {
        for (const auto& t : tables)
            if (t.title == title) return t;
        ADD_FAILURE() << "no table " << title;
        static const decoded_table none;
        return none;
    }
    const decoded_row& row(const std::string& title, size_t index = 0) const {
        const decoded_table& t = table(title);
        static const decoded_row none;
        if (index >= t.rows.size()) {
            ADD_FAILURE() << title << " has " << t.rows.size() << " rows";
            return none;
        }
        return t.rows[index];
    }
};

inline std::string unescaped(std::string text) {
    static const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (auto [entity, plain] : entities) {
        for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1))
            text.replace(at, std::strlen(entity), plain);
    }
    return text;
}

// Reads the line-per-element tables of the section.
inline std::vector<decoded_table> decode_tables(const std::string& text) {
    static const std::regex open_table(R"re(^<TABLE ID="(.*)">$)re");
    static const std::regex cols(R"re(^<COLS>(\d+)</COLS>$)re");
    static const std::regex open_row(R"re(^<ROW ID="(.*)">$)re");
    static const std::regex cell(R"re(^<(STR|ASC|DEC|HEX|BOOL) ID="(.*)" W="(\d+)">(.*)</\1>$)re");
    std::vector<decoded_table> tables;
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, m, open_table)) {
            tables.push_back({unescaped(m[1]), 0, {}});
        } else if (tables.empty()) {
            continue;
        } else if (std::regex_match(line, m, cols)) {
            tables.back().columns = std::stoi(m[1]);
        } else if (std::regex_match(line, m, open_row)) {
            tables.back().rows.push_back({unescaped(m[1]), {}});
        } else if (std::regex_match(line, m, cell) && !tables.back().rows.empty()) {
            tables.back().rows.back().cells.push_back({m[1], unescaped(m[2]), std::stoi(m[3]), unescaped(m[4])});
        }
    }
    return tables;
}

// The report around the section as the driver writes it, for the checker.
inline std::string whole_document(const std::string& section) {
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%8X", document_checksum());
    return "<?xml version=\"1.0\"?>\n<GATHERED_DATA>\n" + section + "<CHK>" + checksum + "</CHK>\n</GATHERED_DATA>\n";
}

// Loads a table made of the structures (plus the end-of-table structure)
// through the physical-memory seam and runs the section in mode 4.
class SmbiosSection : public ::testing::Test {
protected:
    void SetUp() override { reset_report_state(); }
    void TearDown() override {
        set_physical_memory_path(nullptr);
        reset_report_state();
        smbios_2_2_or_later = false;
    }

    section_result run(const std::vector<bytes>& structures, uint8_t revision = 0x23) {
        std::vector<bytes> all = structures;
        all.push_back(end_of_table());
        bytes window = window_with_table(joined(all), 0x100, revision);
        std::string path = dir.file("mem");
        write_memory(path, {{0xF0000, window}});
        set_physical_memory_path(path.c_str());
        return run_loaded();
    }

    // The section over whatever the memory seam holds.
    section_result run_loaded() {
        reset_report_state();
        set_output_mode(4);
        captured_stream out;
        testing::internal::CaptureStdout();
        section_result result;
        result.status = write_smbios_section(out.get());
        result.misuse = testing::internal::GetCapturedStdout();
        result.text = out.text();
        result.tables = decode_tables(result.text);
        return result;
    }

    temp_dir dir;
};

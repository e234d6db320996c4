// A report read whole into memory, for the commands that look at what the
// tables and files say rather than at how they are laid out. Values are
// kept as written; files are kept up to a limit each and in all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct content_row {
    std::string key;
    std::vector<std::string> cells;  // in column order
};

struct content_table {
    std::string title;
    std::vector<std::string> columns;
    std::vector<content_row> rows;
    // Index of the column named name, or -1.
    int column(std::string_view name) const;
    // The cell of row r in the named column, empty when there is none.
    const std::string& cell(const content_row& r, std::string_view name) const;
};

struct content_file {
    std::string name;
    std::string text;
    bool cut = false;  // longer than the limit: text holds its start
};

struct content_section {
    std::string title;
    std::vector<content_table> tables;
    std::vector<content_file> files;
};

struct report_content {
    std::vector<content_section> sections;
    const content_table* table(std::string_view title) const;
    const content_file* file(std::string_view name) const;
};

struct content_limits {
    size_t file_bytes = 16u << 20;
    size_t total_bytes = 256u << 20;
};

// Reads the report at path; false with problem set when it cannot be read
// or is not well-formed.
bool load_report_content(const std::string& path, report_content* content, std::string* problem,
                         const content_limits& limits = {});

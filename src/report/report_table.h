// One typed report table, rendered in the report's output mode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum ColumnType : int32_t {
    STRING = 0,
    INTEGER = 1,
    HEX = 2,
    FLOAT = 3,
    ASCII_STRING = 4,
    BOOL = 5,
};

class report_table {
public:
    static constexpr int max_columns = 20;
    // Tables whose later columns were appended to a full row of 20 may hold
    // up to this many, once allow_wide_columns() was called.
    static constexpr int max_wide_columns = 32;

    report_table(FILE* out, const char* title);
    report_table(FILE* out, const char* title, const char* row_element);
    ~report_table();  // writes the table's end
    report_table(const report_table&) = delete;
    report_table& operator=(const report_table&) = delete;

    // Raises this table's column limit to max_wide_columns.
    void allow_wide_columns() { column_limit_ = max_wide_columns; }

    bool start_heading();
    bool add_column(const char* name, ColumnType type);
    bool set_column_width(int column, int width);
    bool end_heading();
    bool start_row(const char* row_text);
    bool log_data(int32_t value);
    // An INTEGER cell holding an unsigned 32-bit count (shown as such, never
    // negative); other numeric columns take its bits as log_data does.
    bool log_unsigned(uint32_t value);
    // An INTEGER cell holding a 64-bit size or count (bytes of a disk, inodes
    // of a file system). Meant for INTEGER columns: a HEX column shows only
    // the low 32 bits.
    bool log_unsigned64(uint64_t value);
    bool log_data(const char* text);
    bool end_row();

    int column_count() const { return column_count_; }
    int row_count() const { return row_count_; }

private:
    void write_border();
    bool cell_allowed(const char* shown, bool text_cell);
    bool write_number(int32_t value, const char* decimal);
    bool write_text(const char* text);

    FILE* out_;
    std::string title_;
    std::string row_element_;
    int current_column_ = 0;
    int column_limit_ = max_columns;
    ColumnType types_[max_wide_columns] = {};
    std::string names_[max_wide_columns];
    int widths_[max_wide_columns] = {};
    int longest_name_ = 0;
    int column_count_ = 0;
    int row_count_ = 0;
    bool heading_open_ = false;
    bool row_open_ = false;
    uint16_t table_checksum_ = 0;
    uint16_t row_checksum_ = 0;
};

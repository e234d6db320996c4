#include "report/table_rows.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr size_t widest_column = 255;

size_t shown_length(const table_cell& cell) {
    switch (cell.type) {
        case table_cell::kind::text:
            return cell.text.size();
        case table_cell::kind::count:
            return std::to_string(cell.count).size();
        case table_cell::kind::value:
            return std::to_string(cell.value).size();
        case table_cell::kind::flag:
            return cell.value ? 4 : 5;
    }
    return 0;
}

void write_cell(report_table& table, const table_cell& cell) {
    switch (cell.type) {
        case table_cell::kind::text:
            table.log_data(cell.text.c_str());
            break;
        case table_cell::kind::count:
            table.log_unsigned64(cell.count);
            break;
        case table_cell::kind::value:
        case table_cell::kind::flag:
            table.log_data(cell.value);
            break;
    }
}

}  // namespace

table_cell table_cell::of_count(uint64_t number) {
    table_cell cell("");
    cell.type = kind::count;
    cell.count = number;
    return cell;
}

table_cell table_cell::of_value(int32_t number) {
    table_cell cell("");
    cell.type = kind::value;
    cell.value = number;
    return cell;
}

table_cell table_cell::of_flag(bool set) {
    table_cell cell("");
    cell.type = kind::flag;
    cell.value = set ? 1 : 0;
    return cell;
}

void write_table(FILE* report, const char* title, std::initializer_list<table_column> columns,
                 const std::vector<table_row>& rows) {
    std::vector<size_t> widths(columns.size(), 0);
    for (const table_row& row : rows)
        for (size_t i = 0; i < row.cells.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], std::min(shown_length(row.cells[i]), widest_column));
    report_table table(report, title);
    table.start_heading();
    int index = 0;
    for (const table_column& column : columns) {
        table.add_column(column.name, column.type);
        table.set_column_width(index, static_cast<int>(widths[static_cast<size_t>(index)]));
        ++index;
    }
    table.end_heading();
    for (const table_row& row : rows) {
        table.start_row(row.label.c_str());
        for (const table_cell& cell : row.cells) write_cell(table, cell);
        table.end_row();
    }
}

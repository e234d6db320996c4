#include "report/report_table.h"

#include <cstring>

#include "report/report.h"
#include "report/xml.h"

namespace {

// Builds a printf format from a pattern holding %d placeholders for widths.
std::string width_format(const char* pattern, int a, int b) {
    char format[64];
    std::snprintf(format, sizeof format, pattern, a, b);
    return format;
}

const char* or_empty(const char* text) { return text ? text : ""; }

}  // namespace

report_table::report_table(FILE* out, const char* title) : report_table(out, title, "") {}

report_table::report_table(FILE* out, const char* title, const char* row_element)
    : out_(out), title_(or_empty(title)), row_element_(or_empty(row_element)) {
    title_.resize(std::min<size_t>(title_.size(), 255));
    row_element_.resize(std::min<size_t>(row_element_.size(), 255));
    switch (output_mode()) {
        case 0:
            std::fprintf(out_, "\nTable: %s\n", title_.c_str());
            break;
        case 3: {
            std::string rule(title_.size(), '-');
            std::fprintf(out_, "%s\n%s\n%s\n", rule.c_str(), title_.c_str(), rule.c_str());
            break;
        }
        case 1:
            open_element(out_, title_.c_str());
            break;
        case 4:
            open_element(out_, "TABLE", title_.c_str());
            break;
        default:
            break;
    }
}

report_table::~report_table() {
    add_section_checksum(table_checksum_);
    char text[16];
    switch (output_mode()) {
        case 0:
            write_border();
            std::fputs("\n", out_);
            break;
        case 1:
            close_element(out_, title_.c_str());
            break;
        case 4:
            std::snprintf(text, sizeof text, "%d", row_count_);
            write_element(out_, "ROWS", text);
            std::snprintf(text, sizeof text, "%4X", table_checksum_);
            write_element(out_, "CHK", text);
            close_element(out_, "TABLE");
            break;
        default:
            break;
    }
    for (int i = 0; i < column_count_; ++i) names_[i].clear();
    column_count_ = 0;
    std::fflush(out_);
}

void report_table::write_border() {
    std::fputc('+', out_);
    for (int i = 0; i < column_count_; ++i) {
        for (int j = 0; j < widths_[i] + 2; ++j) std::fputc('-', out_);
        std::fputc('+', out_);
    }
}

bool report_table::start_heading() {
    if (heading_open_) {
        std::printf("start_heading() - Heading Already Open\n");
        return false;
    }
    longest_name_ = 0;
    heading_open_ = true;
    return true;
}

bool report_table::add_column(const char* name, ColumnType type) {
    name = or_empty(name);
    if (!heading_open_) {
        std::printf("add_column(%s) - Heading not open\n", name);
        return false;
    }
    if (column_count_ >= column_limit_) {
        std::printf("Cannot add column for %s - too many columns.  Max is %d\n", name, column_limit_);
        return false;
    }
    types_[column_count_] = type;
    names_[column_count_] = name;
    widths_[column_count_] = static_cast<int>(std::strlen(name));
    longest_name_ = std::max(longest_name_, widths_[column_count_]);
    ++column_count_;
    return true;
}

bool report_table::set_column_width(int column, int width) {
    if (column < 0 || column >= column_count_) return false;
    widths_[column] = std::max(widths_[column], width);
    return true;
}

bool report_table::end_heading() {
    if (!heading_open_) {
        std::printf("end_heading() - Heading Not Open\n");
        return false;
    }
    if (output_mode() == 0) {
        write_border();
        std::fputs("\n|", out_);
        for (int i = 0; i < column_count_; ++i) {
            std::string format = width_format(" %%-%d.%ds ", widths_[i], widths_[i]);
            std::fprintf(out_, format.c_str(), names_[i].c_str());
            std::fputc('|', out_);
        }
        std::fputs("\n", out_);
        write_border();
        std::fputs("\n", out_);
    } else if (output_mode() == 4) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", column_count_);
        write_element(out_, "COLS", text);
    }
    heading_open_ = false;
    return true;
}

bool report_table::start_row(const char* row_text) {
    row_text = or_empty(row_text);
    if (heading_open_) {
        std::printf("start_row(%s) - Heading is still open\n", row_text);
        return false;
    }
    ++row_count_;
    current_column_ = 0;
    row_checksum_ = 0;
    row_open_ = true;
    switch (output_mode()) {
        case 0:
            std::fputc('|', out_);
            break;
        case 1:
            if (!row_element_.empty()) open_element(out_, row_element_.c_str(), row_text);
            break;
        case 4:
            open_element(out_, "ROW", printable_copy(row_text).c_str());
            break;
        default:
            break;
    }
    return true;
}

// The checks shared by both kinds of cell; shown is the refused value as
// text. Returns false, with the operation's message, when the cell is refused.
bool report_table::cell_allowed(const char* shown, bool text_cell) {
    if (!row_open_) {
        std::printf("log_data(%s) - Row not open\n", shown);
        return false;
    }
    if (current_column_ >= column_count_) {
        std::printf("log_data(%s) - Column %d is beyond defined columns of %d\n", shown, current_column_,
                    column_count_ - 1);
        return false;
    }
    ColumnType type = types_[current_column_];
    bool is_text = type == STRING || type == ASCII_STRING;
    if (is_text != text_cell) {
        std::printf(text_cell ? "log_data(%s) - Column %d (%s) is NOT type STRING or ASCII STRING\n"
                              : "log_data(%s) - Column %d (%s) is NOT type INTEGER, HEX, FLOAT or BOOL\n",
                    shown, current_column_, names_[current_column_].c_str());
        return false;
    }
    return true;
}

bool report_table::log_data(int32_t value) {
    char shown[16];
    std::snprintf(shown, sizeof shown, "%d", value);
    return cell_allowed(shown, false) && write_number(value, shown);
}

bool report_table::log_unsigned(uint32_t value) {
    char shown[16];
    std::snprintf(shown, sizeof shown, "%u", value);
    return cell_allowed(shown, false) && write_number(static_cast<int32_t>(value), shown);
}

bool report_table::log_unsigned64(uint64_t value) {
    char shown[24];
    std::snprintf(shown, sizeof shown, "%llu", static_cast<unsigned long long>(value));
    return cell_allowed(shown, false) && write_number(static_cast<int32_t>(value & 0xffffffffu), shown);
}

// decimal is the value as an INTEGER cell shows it.
bool report_table::write_number(int32_t value, const char* decimal) {
    const int column = current_column_;
    const ColumnType type = types_[column];
    const char* name = names_[column].c_str();
    const int width = widths_[column];
    const char* truth = value ? "true" : "false";
    char text[32];
    switch (output_mode()) {
        case 0:
            if (type == HEX)
                std::fprintf(out_, width_format(" %%%dXh", width, 0).c_str(), static_cast<unsigned>(value));
            else if (type == BOOL)
                std::fprintf(out_, width_format(" %%-%d.%ds ", width, width).c_str(), truth);
            else
                std::fprintf(out_, width_format(" %%%ds ", width, 0).c_str(), decimal);
            std::fputc('|', out_);
            break;
        case 3:
            if (type == HEX)
                std::fprintf(out_, width_format("  %%-%d.%ds: %%Xh\n", longest_name_, longest_name_).c_str(), name,
                             static_cast<unsigned>(value));
            else if (type == BOOL)
                std::fprintf(out_, width_format("  %%-%d.%ds: %%s\n", longest_name_, longest_name_).c_str(), name,
                             truth);
            else
                std::fprintf(out_, width_format("  %%-%d.%ds: %%s\n", longest_name_, longest_name_).c_str(), name,
                             decimal);
            break;
        case 1:
            if (type == INTEGER || type == HEX) {
                if (type == HEX)
                    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
                else
                    std::snprintf(text, sizeof text, "%s", decimal);
                write_element(out_, name, text);
            }
            break;
        case 4: {
            const char* element = nullptr;
            if (type == INTEGER) {
                std::snprintf(text, sizeof text, "%s", decimal);
                element = "DEC";
            } else if (type == HEX) {
                std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
                element = "HEX";
            } else if (type == BOOL) {
                std::snprintf(text, sizeof text, "%s", truth);
                element = "BOOL";
            }
            if (element) {
                write_value_element(out_, element, name, width, text);
                row_checksum_ = static_cast<uint16_t>(row_checksum_ + text_checksum(text));
            }
            break;
        }
        default:
            return false;
    }
    ++current_column_;
    return true;
}

bool report_table::log_data(const char* text) {
    return cell_allowed(text ? text : "(null)", true) && write_text(text ? text : "");
}

bool report_table::write_text(const char* text) {
    const int column = current_column_;
    const ColumnType type = types_[column];
    const char* name = names_[column].c_str();
    const int width = widths_[column];
    std::string value = type == ASCII_STRING ? printable_copy(text) : std::string(text);
    switch (output_mode()) {
        case 0:
            std::fprintf(out_, width_format(" %%-%d.%ds ", width, width).c_str(), value.c_str());
            std::fputc('|', out_);
            break;
        case 3:
            std::fprintf(out_, width_format("  %%-%d.%ds: %%s\n", longest_name_, longest_name_).c_str(), name,
                         value.c_str());
            break;
        case 1:
            write_element(out_, name, value.c_str());
            break;
        case 4: {
            // The checksum covers the value as a reader of the document sees it.
            std::string seen = xml_valid_text(value.c_str());
            write_value_element(out_, type == ASCII_STRING ? "ASC" : "STR", name, width, seen.c_str());
            row_checksum_ = static_cast<uint16_t>(row_checksum_ + text_checksum(seen.c_str()));
            break;
        }
        default:
            return true;
    }
    ++current_column_;
    return true;
}

bool report_table::end_row() {
    if (!row_open_) {
        std::printf("end_row() - Row Not Open\n");
        return false;
    }
    table_checksum_ = static_cast<uint16_t>(table_checksum_ + row_checksum_);
    row_open_ = false;
    char text[16];
    switch (output_mode()) {
        case 0:
            std::fputs("\n", out_);
            std::fflush(out_);
            break;
        case 3:
            std::fputs("\n", out_);
            break;
        case 1:
            if (!row_element_.empty()) close_element(out_, row_element_.c_str());
            break;
        case 4:
            std::snprintf(text, sizeof text, "%4X", row_checksum_);
            write_element(out_, "CHK", text);
            close_element(out_, "ROW");
            break;
        default:
            return false;
    }
    return true;
}

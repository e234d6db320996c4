#include "probes/tagged_text_probe.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/run_context.h"
#include "probes/command_pipe.h"
#include "report/report_table.h"

namespace {

constexpr char item_separator = '\a';
constexpr size_t first_buffer_size = 4096;

bool is_keyword(const tagged_item* item, const char* keyword) {
    return item && std::strcmp(item->text, keyword) == 0;
}

// A name or value item: present and not one of the row and field keywords.
bool is_label(const tagged_item* item) {
    return item && !is_keyword(item, "ROW") && !is_keyword(item, "FIELD");
}

int32_t text_width(const char* text) {
    size_t length = std::strlen(text);
    return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

// Reads the whole input into one heap buffer with a spare byte at its end.
// On allocation failure reports "OUCH!" and keeps only complete items.
char* read_all(FILE* input, size_t& length) {
    size_t capacity = first_buffer_size;
    char* buffer = static_cast<char*>(std::malloc(capacity + 1));
    length = 0;
    if (!buffer) {
        std::fputs("OUCH!", stderr);
        return nullptr;
    }
    for (;;) {
        if (length == capacity) {
            char* grown = capacity < SIZE_MAX / 4
                              ? static_cast<char*>(std::realloc(buffer, capacity * 2 + 1))
                              : nullptr;
            if (!grown) {
                std::fputs("OUCH!", stderr);
                const void* last = memrchr(buffer, item_separator, length);
                length = last ? static_cast<const char*>(last) - buffer + 1 : 0;
                break;
            }
            buffer = grown;
            capacity *= 2;
        }
        size_t got = std::fread(buffer + length, 1, capacity - length, input);
        if (got == 0) break;
        length += got;
    }
    return buffer;
}

size_t count_items(const char* buffer, size_t length) {
    size_t count = 0;
    const char* end = buffer + length;
    for (const char* p = buffer; p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, item_separator, end - p));
        if (!p) break;
        ++count;
    }
    if (length > 0 && buffer[length - 1] != item_separator) ++count;
    return count;
}

// Tracks the open row of the table being written.
struct row_state {
    bool open = false;
    int fields = 0;  // valid fields of the row, counted against the columns
    int cells = 0;   // cells written into the row
};

// Writes one cell unless the table would refuse it, in which case the debug
// log says so instead of a complaint on the console.
void write_cell(report_table& table, row_state& row, const char* text) {
    if (!row.open) {
        debug_printf("no row for %s\n", text);
        return;
    }
    if (row.cells >= table.column_count()) {
        debug_printf("no column for %s: %d\n", text, row.cells + 1);
        return;
    }
    if (table.log_data(text)) ++row.cells;
}

void open_row(report_table& table, row_state& row, const char* label) {
    if (row.open) table.end_row();
    table.start_row(label);
    row = row_state{true, 0, 0};
}

// Adds a column unless the table is full; that refusal goes to the debug log
// like the table's other refusals here, so the console stays as it was.
bool add_tagged_column(report_table& table, const char* label) {
    if (table.column_count() >= report_table::max_columns) {
        debug_printf("Cannot add column for %s - too many columns.  Max is %d\n", label, report_table::max_columns);
        return false;
    }
    return table.add_column(label, ASCII_STRING);
}

// The columns are the fields of the first row: they start two items after
// the first item of the table (past "ROW" and the row's name). That starting
// item is examined whatever it is; the scan stops at the end of the first
// row, a directive or the end of the stream after it.
int write_columns(report_table& table, tagged_item* first) {
    debug_printf("creating headers\n");
    table.start_heading();
    int count = 0;
    tagged_item* item = first && first->next ? first->next->next : nullptr;
    while (item) {
        if (is_keyword(item, "FIELD") && is_label(item->next)) {
            tagged_item* label = item->next;
            if (add_tagged_column(table, label->text)) {
                if (item->width > 0) table.set_column_width(count, item->width);
                ++count;
            }
            item = label->next;
            if (!item) {
                debug_printf("no value at %p\n", static_cast<void*>(label));
                break;
            }
        }
        item = item->next;
        if (!item || item->directive || is_keyword(item, "ROW")) break;
    }
    table.end_heading();
    debug_printf("%d columns\n", count);
    return count;
}

// Handles one "FIELD" item of a row; gives the item to go on with.
tagged_item* write_field(report_table& table, row_state& row, tagged_item* field) {
    tagged_item* label = field->next;
    if (!is_label(label)) {
        debug_printf("no field label at %p: %p\n", static_cast<void*>(field),
                     static_cast<void*>(label));
        write_cell(table, row, "(null)");
        return field->next;
    }
    tagged_item* value = label->next;
    if (!is_label(value)) {
        debug_printf("no field value at %p: %p\n", static_cast<void*>(field),
                     static_cast<void*>(value));
        write_cell(table, row, "(null)");
        return field->next;
    }
    debug_printf("field: %s\n", value->text);
    ++row.fields;
    if (row.fields <= table.column_count())
        write_cell(table, row, value->text);
    else
        debug_printf("no column for %s: %d\n", value->text, row.fields);
    return value->next;
}

// Writes the rows from the first item of the table up to the next
// directive; gives the item that ended them.
tagged_item* write_rows(report_table& table, tagged_item* first) {
    debug_printf("logging data\n");
    row_state row;
    tagged_item* item = first;
    while (item && !item->directive) {
        if (is_keyword(item, "ROW")) {
            tagged_item* label = item->next;
            if (is_label(label)) {
                debug_printf("row: %s\n", label->text);
                open_row(table, row, label->text);
                item = label->next;
            } else {
                debug_printf("no row label at %p: %p\n", static_cast<void*>(item),
                             static_cast<void*>(label));
                open_row(table, row, "");
                item = item->next;
            }
        } else if (is_keyword(item, "FIELD")) {
            item = write_field(table, row, item);
        } else {
            debug_printf("node at %p is not ROW or FIELD: %s (ignored)\n",
                         static_cast<void*>(item), item->text);
            item = item->next;
        }
    }
    debug_printf("done logging data\n");
    if (row.open) {
        debug_printf("closing last row\n");
        table.end_row();
    }
    return item;
}

}  // namespace

tagged_item_list::~tagged_item_list() {
    std::free(items_);
    std::free(text_);
}

void read_items(FILE* input, tagged_item_list& items) {
    size_t length = 0;
    char* text = read_all(input, length);
    if (!text) return;
    size_t count = count_items(text, length);
    tagged_item* list = count ? static_cast<tagged_item*>(std::malloc(count * sizeof *list))
                              : nullptr;
    if (count && !list) {
        std::fputs("OUCH!", stderr);
        std::free(text);
        return;
    }
    text[length] = '\0';
    char* start = text;
    for (size_t i = 0; i < count; ++i) {
        char* end = static_cast<char*>(std::memchr(start, item_separator, text + length - start));
        if (!end) end = text + length;  // a last item without its BEL
        *end = '\0';
        list[i] = tagged_item{i + 1 < count ? &list[i + 1] : nullptr, start, 0, *start == '@'};
        start = end + 1;
    }
    std::free(items.items_);
    std::free(items.text_);
    items.text_ = text;
    items.items_ = list;
    items.count_ = count;
}

tagged_item* next_directive(tagged_item* item) {
    for (item = item ? item->next : nullptr; item; item = item->next)
        if (item->directive) return item;
    return nullptr;
}

void compute_widths(tagged_item* first) {
    struct column {
        const char* label;
        int32_t width;
    };
    std::vector<column> columns;
    std::unordered_map<std::string_view, size_t> by_label;
    for (tagged_item* item = first; item && !item->directive; item = item->next) {
        if (!is_keyword(item, "FIELD") || !is_label(item->next) || item->width != 0) continue;
        const char* label = item->next->text;
        auto [slot, added] = by_label.try_emplace(label, columns.size());
        if (added) columns.push_back({label, text_width(label)});
        const tagged_item* value = item->next->next;
        if (is_label(value) && text_width(value->text) > columns[slot->second].width)
            columns[slot->second].width = text_width(value->text);
    }
    for (column& c : columns) {
        debug_printf("column: %s\n", c.label);
        if (c.width == 0) c.width = -1;
        debug_printf("width %d\n", c.width);
    }
    for (tagged_item* item = first; item && !item->directive; item = item->next)
        if (is_keyword(item, "FIELD") && is_label(item->next) && item->width == 0)
            item->width = columns[by_label.find(item->next->text)->second].width;
}

tagged_item* build_table(tagged_item* table) {
    tagged_item* name = table->next;
    if (!is_label(name)) {
        debug_printf("Table at %p has no label %p\n", static_cast<void*>(table),
                     static_cast<void*>(name));
        return nullptr;
    }
    debug_printf("Table %s at %p\n", name->text, static_cast<void*>(table));
    tagged_item* first = name->next;
    tagged_item* end = nullptr;
    {
        report_table out(run_context.report, name->text);
        compute_widths(first);
        write_columns(out, first);
        end = write_rows(out, first);
    }
    debug_printf("next item at %p\n", static_cast<void*>(end));
    return end;
}

int process_items(const tagged_item_list& items) {
    int tables = 0;
    tagged_item* item = items.first();
    while (item) {
        debug_printf("processing item at %p\n", static_cast<void*>(item));
        if (is_keyword(item, "@TABLE")) {
            if (is_label(item->next)) ++tables;
            item = build_table(item);
        } else {
            debug_printf("%p: unknown item %s\n", static_cast<void*>(item), item->text);
            item = next_directive(item);
        }
    }
    return tables;
}

tagged_text_probe::tagged_text_probe(probe_section& section, const char* probe_name,
                                     const char* script_text, int32_t probe_level)
    : probe(section, probe_name, probe_level), script(script_text) {}

bool tagged_text_probe::run() {
    if (!prepare_script_files(script)) {
        debug_printf("%s: shared script files are unsafe, not run\n", name);
        return false;
    }
    FILE* pipe = open_script(script);
    if (!pipe) return false;
    tagged_item_list items;
    read_items(pipe, items);
    int tables = process_items(items);
    close_command(pipe);
    // A script that found nothing to list (its tool missing) gave no table.
    return tables > 0;
}

#include "kdtool/report_content.h"

#include <cstdio>

#include "report/report_reader.h"

namespace {

const std::string no_text;

}  // namespace

int content_table::column(std::string_view name) const {
    for (size_t i = 0; i < columns.size(); i++)
        if (columns[i] == name) return static_cast<int>(i);
    return -1;
}

const std::string& content_table::cell(const content_row& r, std::string_view name) const {
    int i = column(name);
    return i >= 0 && static_cast<size_t>(i) < r.cells.size() ? r.cells[i] : no_text;
}

const content_table* report_content::table(std::string_view title) const {
    for (const content_section& s : sections)
        for (const content_table& t : s.tables)
            if (t.title == title) return &t;
    return nullptr;
}

const content_file* report_content::file(std::string_view name) const {
    for (const content_section& s : sections)
        for (const content_file& f : s.files)
            if (f.name == name) return &f;
    return nullptr;
}

bool load_report_content(const std::string& path, report_content* content, std::string* problem,
                         const content_limits& limits) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        *problem = "cannot be read";
        return false;
    }
    report_reader reader(in);
    size_t total = 0;
    content_table* table = nullptr;
    content_file* file = nullptr;
    report_event_kind kind;
    auto section = [&]() -> content_section& {
        if (content->sections.empty()) content->sections.emplace_back();
        return content->sections.back();
    };
    while ((kind = reader.next()) != report_event_kind::done && kind != report_event_kind::error) {
        const report_event& e = reader.event();
        switch (kind) {
        case report_event_kind::section_start:
            content->sections.emplace_back();
            content->sections.back().title = e.id;
            table = nullptr;
            file = nullptr;
            break;
        case report_event_kind::table_start:
            section().tables.emplace_back();
            table = &section().tables.back();
            table->title = e.id;
            break;
        case report_event_kind::row_start:
            if (table) {
                table->rows.emplace_back();
                table->rows.back().key = e.id;
            }
            break;
        case report_event_kind::cell:
            if (table && !table->rows.empty()) {
                content_row& r = table->rows.back();
                // The first row names the columns; later rows follow them.
                if (table->rows.size() == 1) table->columns.emplace_back(e.id);
                r.cells.emplace_back(e.text);
            }
            break;
        case report_event_kind::table_end: table = nullptr; break;
        case report_event_kind::file_start:
            section().files.emplace_back();
            file = &section().files.back();
            file->name = e.id;
            break;
        case report_event_kind::file_data:
            if (file) {
                size_t room = std::min(limits.file_bytes - file->text.size(), limits.total_bytes - total);
                size_t take = std::min(room, e.text.size());
                file->text.append(e.text.substr(0, take));
                total += take;
                if (take < e.text.size()) file->cut = true;
            }
            break;
        case report_event_kind::file_end: file = nullptr; break;
        default: break;
        }
    }
    std::fclose(in);
    if (kind == report_event_kind::error) {
        *problem = "not well-formed: " + reader.error();
        return false;
    }
    return true;
}

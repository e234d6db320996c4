// kdtool show: a report as text for a terminal.
#include <sys/ioctl.h>
#include <unistd.h>

#include <deque>
#include <strings.h>

#include "kdtool/findings.h"
#include "kdtool/kdtool_commands.h"
#include "kdtool/report_index.h"
#include "kdtool/text_form.h"
#include "report/report_reader.h"

namespace {

constexpr size_t tail_lines = 200;     // lines of an embedded file shown without --full
constexpr size_t kept_line = 4096;     // longest line kept for the tail
constexpr size_t row_cells = 256;      // cells of one row laid out together
// Rows held to measure a table's columns before it is printed; later rows
// use the widths found (a longer value widens its own cell).
constexpr size_t measured_rows = 500;
constexpr size_t measured_bytes = 1u << 20;

constexpr const char* mismatch_mark = "  [checksum does not match]";

constexpr size_t narrowest_column = 16;  // a capped text column keeps at least this many characters

struct show_options {
    std::vector<std::string> sections;
    bool full = false;
    size_t width = 0;  // of the terminal; 0: no limit
};

// The bus address of a PCI function in its usual form, BB:DD.F.
std::string pci_address(std::string_view bus, std::string_view device, std::string_view function) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.%x", std::atoi(std::string(bus).c_str()) & 0xFF,
                  std::atoi(std::string(device).c_str()) & 0x1F, std::atoi(std::string(function).c_str()) & 7);
    return text;
}

// The pieces of a cell's text on lines of at most width characters, broken
// after a blank where one is near the end, else at a character.
std::vector<std::string> wrapped(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    if (width == 0 || display_width(text) <= width) return {text};
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start, shown = 0, blank = std::string::npos;
        while (end < text.size() && shown < width) {
            end++;
            while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) end++;
            shown++;
            if (text[end - 1] == ' ') blank = end;
        }
        if (end < text.size() && blank != std::string::npos && blank > start + width / 2) end = blank;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

struct shown_cell {
    std::string kind;
    std::string column;
    std::string text;
    size_t width = 0;
};

class show_writer {
public:
    show_writer(FILE* out, const report_index& index, const show_options& options)
        : out_(out), index_(index), options_(options) {}

    void summary();
    void on(report_event_kind kind, const report_event& e);

private:
    bool selected(const std::string& id) const;
    const index_item* current_item() const;
    void section_start(const report_event& e);
    void table_start(const report_event& e);
    void row_end();
    void print_row(const std::vector<shown_cell>& row);
    void fit_widths(const std::vector<shown_cell>& first);
    void add_pci_address(std::vector<shown_cell>* row);
    void flush_rows();
    void table_end();
    void file_start(const report_event& e);
    void file_data(std::string_view data);
    void file_end();
    void keep_line(std::string_view piece, bool complete);
    void rule(const std::vector<size_t>& widths);

    FILE* out_;
    const report_index& index_;
    const show_options& options_;
    long section_ = -1;
    long item_ = -1;
    bool shown_ = false;  // the current section is printed
    std::vector<shown_cell> row_;
    size_t row_used_ = 0;
    std::vector<std::vector<shown_cell>> held_;
    size_t held_bytes_ = 0;
    bool widths_known_ = false;
    long more_cells_ = 0;
    std::vector<size_t> widths_;
    long rows_ = 0;
    bool one_row_ = false;
    bool pci_summary_ = false;
    std::deque<std::string> tail_;
    std::string line_;
    bool line_cut_ = false;
    uint64_t lines_ = 0;
    bool at_line_start_ = true;
};

bool show_writer::selected(const std::string& id) const {
    if (options_.sections.empty()) return true;
    for (const std::string& name : options_.sections)
        if (strcasecmp(name.c_str(), id.c_str()) == 0) return true;
    return false;
}

const index_item* show_writer::current_item() const {
    return item_ >= 0 && static_cast<size_t>(item_) < index_.items.size() ? &index_.items[item_] : nullptr;
}

void show_writer::summary() {
    size_t longest = 0;
    for (const auto& [name, value] : index_.summary) longest = std::max(longest, display_width(cell_text(name)));
    if (!index_.summary.empty()) std::fputs("System summary\n", out_);
    for (const auto& [name, value] : index_.summary) {
        std::fputs("  ", out_);
        put_padded(out_, cell_text(name), longest);
        std::fprintf(out_, " : %s\n", cell_text(value).c_str());
    }
    if (index_.mismatches == 0)
        std::fputs("Checksums: all match\n", out_);
    else
        std::fprintf(out_, "Checksums: %d do not match (marked below)\n", index_.mismatches);
}

void show_writer::section_start(const report_event& e) {
    section_++;
    std::string id(e.id);
    bool summary_alone = section_ == 0 && summary_section_alone(index_);
    shown_ = selected(id) && !(summary_alone && options_.sections.empty());
    if (!shown_) return;
    std::string title = cell_text(id);
    std::string frame(display_width(title) + 4, '=');
    bool ok = static_cast<size_t>(section_) >= index_.sections.size() || index_.sections[section_].ok;
    std::fprintf(out_, "\n%s\n  %s%s\n%s\n", frame.c_str(), title.c_str(), ok ? "" : mismatch_mark, frame.c_str());
    if (static_cast<size_t>(section_) < index_.sections.size() && index_.sections[section_].item_count == 0)
        std::fputs("  (nothing gathered)\n", out_);
}

void show_writer::table_start(const report_event& e) {
    const index_item* item = current_item();
    rows_ = 0;
    row_used_ = 0;
    widths_.clear();
    held_.clear();
    held_bytes_ = 0;
    widths_known_ = false;
    one_row_ = item && item->rows == 1;
    pci_summary_ = e.id == "PCI Device Summary";
    std::fprintf(out_, "\nTable: %s%s\n", cell_text(e.id).c_str(), item && !item->ok ? mismatch_mark : "");
}

void show_writer::rule(const std::vector<size_t>& widths) {
    std::fputc('+', out_);
    for (size_t w : widths) {
        std::string dashes(w + 2, '-');
        std::fprintf(out_, "%s+", dashes.c_str());
    }
    std::fputc('\n', out_);
}

// A row on as many lines as its longest capped text needs; numbers are
// never cut.
void show_writer::print_row(const std::vector<shown_cell>& row) {
    std::vector<std::vector<std::string>> pieces(row.size());
    size_t lines = 1;
    for (size_t i = 0; i < row.size(); i++) {
        size_t width = i < widths_.size() ? widths_[i] : row[i].width;
        pieces[i] = numeric_cell(row[i].kind) ? std::vector<std::string>{row[i].text} : wrapped(row[i].text, width);
        lines = std::max(lines, pieces[i].size());
    }
    for (size_t line = 0; line < lines; line++) {
        std::fputc('|', out_);
        for (size_t i = 0; i < row.size(); i++) {
            size_t width = i < widths_.size() ? widths_[i] : row[i].width;
            const std::string& text = line < pieces[i].size() ? pieces[i][line] : std::string();
            std::fputc(' ', out_);
            if (numeric_cell(row[i].kind))
                put_right(out_, text, width);
            else
                put_padded(out_, text, width);
            std::fputs(" |", out_);
        }
        std::fputc('\n', out_);
    }
}

// Narrows the widest text columns, all to one cap, until the table fits
// the terminal. A table of too many columns to fit scrolls sideways; there
// only a column wider than half the terminal is narrowed.
void show_writer::fit_widths(const std::vector<shown_cell>& first) {
    if (options_.width == 0) return;
    auto needed = [&](size_t cap) {
        size_t total = 1;
        for (size_t i = 0; i < widths_.size(); i++) {
            bool text = i >= first.size() || !numeric_cell(first[i].kind);
            total += (text ? std::min(widths_[i], cap) : widths_[i]) + 3;
        }
        return total;
    };
    size_t widest = 0;
    for (size_t w : widths_) widest = std::max(widest, w);
    if (needed(widest) <= options_.width) return;
    size_t low = narrowest_column, high = widest;
    if (needed(low) > options_.width) low = high = std::max(narrowest_column, options_.width / 2);
    while (low < high) {
        size_t mid = (low + high + 1) / 2;
        if (needed(mid) <= options_.width)
            low = mid;
        else
            high = mid - 1;
    }
    for (size_t i = 0; i < widths_.size(); i++)
        if (i >= first.size() || !numeric_cell(first[i].kind)) widths_[i] = std::min(widths_[i], low);
}

// Prints the held rows under a heading made from the first row, with each
// column as wide as its report width, its name and its longest held value.
void show_writer::flush_rows() {
    if (!widths_known_ && !held_.empty()) {
        const std::vector<shown_cell>& first = held_.front();
        for (const shown_cell& cell : first) widths_.push_back(std::max(cell.width, display_width(cell.column)));
        for (const auto& row : held_)
            for (size_t i = 0; i < row.size() && i < widths_.size(); i++)
                widths_[i] = std::max(widths_[i], display_width(row[i].text));
        fit_widths(first);
        rule(widths_);
        std::vector<shown_cell> names = first;
        for (shown_cell& name : names) {
            name.text = name.column;
            name.kind = "STR";
        }
        print_row(names);
        rule(widths_);
        widths_known_ = true;
    }
    for (const auto& row : held_) print_row(row);
    held_.clear();
    held_bytes_ = 0;
}

void show_writer::row_end() {
    rows_++;
    std::vector<shown_cell> row(row_.begin(), row_.begin() + static_cast<long>(row_used_));
    row_used_ = 0;
    if (pci_summary_) add_pci_address(&row);
    if (one_row_) {
        size_t longest = 0;
        for (const shown_cell& cell : row) longest = std::max(longest, display_width(cell.column));
        for (const shown_cell& cell : row) {
            std::fputs("  ", out_);
            put_padded(out_, cell.column, longest);
            std::fprintf(out_, " : %s\n", cell.text.c_str());
        }
    } else if (widths_known_) {
        print_row(row);
    } else {
        for (const shown_cell& cell : row) held_bytes_ += cell.text.size() + cell.column.size();
        held_.push_back(std::move(row));
        if (held_.size() >= measured_rows || held_bytes_ >= measured_bytes) flush_rows();
    }
    if (more_cells_ > 0) std::fprintf(out_, "  (%ld more cells in this row)\n", more_cells_);
    more_cells_ = 0;
}

// The PCI summary names a function by its bus, device and function
// numbers; the usual BB:DD.F form goes before them, unless the table
// carries an address of its own.
void show_writer::add_pci_address(std::vector<shown_cell>* row) {
    const std::string *bus = nullptr, *device = nullptr, *function = nullptr;
    for (const shown_cell& cell : *row) {
        if (cell.column == "Address") return;
        if (cell.column == "Bus") bus = &cell.text;
        if (cell.column == "Device") device = &cell.text;
        if (cell.column == "Function") function = &cell.text;
    }
    if (!bus || !device || !function) return;
    shown_cell address;
    address.kind = "STR";
    address.column = "Address";
    address.text = pci_address(*bus, *device, *function);
    address.width = 7;
    row->insert(row->begin(), std::move(address));
}

void show_writer::table_end() {
    if (rows_ == 0) {
        std::fputs("  (no rows)\n", out_);
    } else if (!one_row_) {
        flush_rows();
        rule(widths_);
    }
}

void show_writer::file_start(const report_event& e) {
    const index_item* item = current_item();
    tail_.clear();
    line_.clear();
    line_cut_ = false;
    lines_ = 0;
    at_line_start_ = true;
    std::string status = !item ? "" : item->ok ? ", checksum OK" : ", CHECKSUM DOES NOT MATCH";
    std::fprintf(out_, "\n---> FILE: %s (%llu bytes%s) <---\n", cell_text(e.id).c_str(),
                 static_cast<unsigned long long>(item ? item->size : 0), status.c_str());
}

// Adds a piece of the current line; a complete line joins the tail.
void show_writer::keep_line(std::string_view piece, bool complete) {
    size_t room = kept_line > line_.size() ? kept_line - line_.size() : 0;
    if (piece.size() > room) line_cut_ = true;
    line_.append(piece.substr(0, room));
    if (!complete) return;
    lines_++;
    if (line_cut_) line_ += " [line cut]";
    tail_.push_back(std::move(line_));
    if (tail_.size() > tail_lines) tail_.pop_front();
    line_.clear();
    line_cut_ = false;
}

void show_writer::file_data(std::string_view data) {
    if (options_.full) {
        std::string text = line_text(data);
        std::fwrite(text.data(), 1, text.size(), out_);
        if (!data.empty()) at_line_start_ = data.back() == '\n';
        return;
    }
    while (!data.empty()) {
        size_t end = data.find('\n');
        if (end == std::string_view::npos) {
            keep_line(data, false);
            break;
        }
        keep_line(data.substr(0, end), true);
        data.remove_prefix(end + 1);
    }
}

void show_writer::file_end() {
    if (!options_.full) {
        if (!line_.empty()) keep_line("", true);
        if (lines_ > tail_.size())
            std::fprintf(out_, "(%llu earlier lines not shown; --full shows the whole file)\n",
                         static_cast<unsigned long long>(lines_ - tail_.size()));
        for (const std::string& line : tail_) std::fprintf(out_, "%s\n", line_text(line).c_str());
        tail_.clear();
    } else if (!at_line_start_) {
        std::fputc('\n', out_);
    }
    std::fputs("---> END OF FILE <---\n", out_);
}

void show_writer::on(report_event_kind kind, const report_event& e) {
    switch (kind) {
    case report_event_kind::section_start: section_start(e); return;
    case report_event_kind::table_start:
    case report_event_kind::file_start:
    case report_event_kind::tree_start:
        item_++;
        break;
    default: break;
    }
    if (!shown_) return;
    switch (kind) {
    case report_event_kind::table_start: table_start(e); break;
    case report_event_kind::cell:
        if (row_used_ >= row_cells) {
            more_cells_++;
            break;
        }
        if (row_.size() <= row_used_) row_.emplace_back();
        row_[row_used_].kind = e.name;
        row_[row_used_].column = cell_text(e.id);
        row_[row_used_].text = cell_text(e.text) + (e.text_cut ? " [value cut]" : "");
        row_[row_used_].width = e.width > 0 ? static_cast<size_t>(e.width) : 0;
        row_used_++;
        break;
    case report_event_kind::row_end: row_end(); break;
    case report_event_kind::table_end: table_end(); break;
    case report_event_kind::file_start: file_start(e); break;
    case report_event_kind::file_data: file_data(e.text); break;
    case report_event_kind::file_end: file_end(); break;
    case report_event_kind::tree_start: {
        const index_item* item = current_item();
        std::fprintf(out_, "\nTree: %s%s\n", cell_text(e.id).c_str(), item && !item->ok ? mismatch_mark : "");
        break;
    }
    case report_event_kind::tree_node_start: {
        std::string indent(2 * static_cast<size_t>(e.depth), ' ');
        std::string label = cell_text(e.has_id ? std::string(e.name) + ": " + std::string(e.id) : std::string(e.name));
        std::fprintf(out_, "%s%s\n", indent.c_str(), label.c_str());
        break;
    }
    case report_event_kind::tree_leaf: {
        std::string indent(2 * static_cast<size_t>(e.depth), ' ');
        std::string label = cell_text(e.has_id ? e.id : e.name);
        std::fprintf(out_, "%s%s: %s\n", indent.c_str(), label.c_str(), cell_text(e.text).c_str());
        break;
    }
    default: break;
    }
}

int parse_show_args(const kdtool_args& args, std::string* name, show_options* options) {
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--section" && i + 1 < args.size())
            options->sections.push_back(args[++i]);
        else if (args[i] == "--full")
            options->full = true;
        else if (args[i] == "--width" && i + 1 < args.size() && std::atoi(args[i + 1].c_str()) > 0)
            options->width = static_cast<size_t>(std::atoi(args[++i].c_str()));
        else if (name->empty() && !args[i].empty() && args[i][0] != '-')
            *name = args[i];
        else
            return exit_usage;
    }
    return name->empty() ? exit_usage : exit_good;
}

}  // namespace

int kdtool_show(const kdtool_args& args, const kdtool_io& io) {
    std::string name;
    show_options options;
    if (parse_show_args(args, &name, &options) != exit_good) return kdtool_usage(io);
    winsize terminal{};
    if (options.width == 0 && isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &terminal) == 0)
        options.width = terminal.ws_col;
    workspace ws;
    report_source source;
    report_index index;
    int rc = open_indexed_report(ws, name, "report", io, index_options{true, false}, &source, &index);
    if (rc != exit_good) return rc;
    for (const std::string& wanted : options.sections) {
        bool found = false;
        for (const index_section& s : index.sections) found = found || strcasecmp(s.id.c_str(), wanted.c_str()) == 0;
        if (!found) {
            kdtool_fail(io, name + ": no section \"" + wanted + "\"; the sections are:");
            for (const index_section& s : index.sections) std::fprintf(io.err, "  %s\n", cell_text(s.id).c_str());
            return exit_damaged;
        }
    }

    FILE* in = std::fopen(source.path.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    show_writer writer(io.out, index, options);
    writer.summary();
    std::vector<finding> found;
    std::string problem;
    if (options.sections.empty() && find_report_problems(source.path, &found, &problem)) {
        std::fputc('\n', io.out);
        write_findings_text(io.out, found);
    }
    report_reader reader(in);
    report_event_kind kind;
    while ((kind = reader.next()) != report_event_kind::done && kind != report_event_kind::error) {
        writer.on(kind, reader.event());
        if (std::ferror(io.out)) break;  // the reader went away (a pager closed)
    }
    std::fclose(in);
    if (kind == report_event_kind::error) return kdtool_fail(io, name + ": not well-formed: " + reader.error());
    std::fflush(io.out);
    return exit_good;
}

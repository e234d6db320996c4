// kdtool diff: what changed between two reports of the same machine.
//
// A first pass indexes both reports (names and content hashes of sections,
// tables, files and trees). Sections, and the items within a matched
// section, are then paired by name in report order; the second pass streams
// both reports side by side and loads only the pairs whose hashes differ,
// one table or file per side at a time, each up to a cap.
#include <algorithm>
#include <deque>
#include <unordered_map>

#include "kdtool/kdtool_commands.h"
#include "kdtool/line_diff.h"
#include "kdtool/report_index.h"
#include "kdtool/text_form.h"
#include "report/report_reader.h"

namespace {

constexpr int exit_error = 2;
constexpr size_t item_cap = 16u << 20;   // bytes of one table or file held per side
constexpr size_t diff_lines = 200;       // diff lines per file without --full

// ---------------------------------------------------------------- pairing

struct pairing {
    char what;  // '=' in both, '-' only in a, '+' only in b
    size_t a;
    size_t b;
};

// Pairs equal keys in order: each key's n-th occurrence in a with its n-th in
// b, then the longest run of those pairs that keeps both orders.
std::vector<pairing> pair_in_order(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::unordered_map<std::string_view, std::deque<size_t>> in_b;
    for (size_t j = 0; j < b.size(); j++) in_b[b[j]].push_back(j);
    std::vector<std::pair<size_t, size_t>> candidates;
    for (size_t i = 0; i < a.size(); i++) {
        auto found = in_b.find(a[i]);
        if (found == in_b.end() || found->second.empty()) continue;
        candidates.emplace_back(i, found->second.front());
        found->second.pop_front();
    }
    // Longest increasing run of b positions (patience sorting).
    std::vector<size_t> tails, before(candidates.size(), SIZE_MAX);
    for (size_t c = 0; c < candidates.size(); c++) {
        auto at = std::lower_bound(tails.begin(), tails.end(), candidates[c].second,
                                   [&](size_t t, size_t value) { return candidates[t].second < value; });
        if (at != tails.begin()) before[c] = *(at - 1);
        if (at == tails.end())
            tails.push_back(c);
        else
            *at = c;
    }
    std::vector<std::pair<size_t, size_t>> kept;
    for (size_t c = tails.empty() ? SIZE_MAX : tails.back(); c != SIZE_MAX; c = before[c]) kept.push_back(candidates[c]);
    std::reverse(kept.begin(), kept.end());

    std::vector<pairing> result;
    size_t i = 0, j = 0;
    for (const auto& [pa, pb] : kept) {
        for (; i < pa; i++) result.push_back({'-', i, 0});
        for (; j < pb; j++) result.push_back({'+', 0, j});
        result.push_back({'=', i++, j++});
    }
    for (; i < a.size(); i++) result.push_back({'-', i, 0});
    for (; j < b.size(); j++) result.push_back({'+', 0, j});
    return result;
}

// ---------------------------------------------------------------- streaming

// One report read forward, section by section and item by item.
class report_cursor {
public:
    explicit report_cursor(FILE* in) : reader_(in) {}
    bool failed() const { return failed_; }
    const std::string& error() const { return reader_.error(); }
    const report_event& event() const { return reader_.event(); }

    report_event_kind next() {
        report_event_kind kind = reader_.next();
        if (kind == report_event_kind::error) failed_ = true;
        return kind;
    }
    // Reads up to the next event of one of the kinds given; false at the end.
    bool to(std::initializer_list<report_event_kind> wanted, report_event_kind stop) {
        for (;;) {
            report_event_kind kind = next();
            if (kind == report_event_kind::done || kind == report_event_kind::error) return false;
            for (report_event_kind w : wanted)
                if (kind == w) return true;
            if (kind == stop) return false;
        }
    }
    bool to_section() {
        return to({report_event_kind::section_start}, report_event_kind::document_end);
    }
    bool to_item() {
        return to({report_event_kind::table_start, report_event_kind::file_start, report_event_kind::tree_start},
                  report_event_kind::section_end);
    }
    void skip_section() { to({report_event_kind::section_end}, report_event_kind::document_end); }
    void skip_item(item_kind kind) {
        report_event_kind end = kind == item_kind::table ? report_event_kind::table_end
                                : kind == item_kind::file ? report_event_kind::file_end
                                                          : report_event_kind::tree_end;
        to({end}, report_event_kind::section_end);
    }

private:
    report_reader reader_;
    bool failed_ = false;
};

struct held_cell {
    std::string kind;
    std::string column;
    std::string text;
};

struct held_row {
    std::string key;
    size_t number = 0;  // in its table, from 1
    size_t first = 0;   // its cells are cells[first, first + count)
    size_t count = 0;
    uint64_t hash = 0;
};

struct held_table {
    std::vector<held_row> rows;
    std::vector<held_cell> cells;
    size_t bytes = 0;
    bool over_cap = false;
};

uint64_t hash_text(uint64_t h, std::string_view text) {
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return (h ^ 0x100) * 1099511628211ull;
}

// Reads the table the cursor is in, up to the cap.
void load_table(report_cursor& cursor, held_table* table) {
    *table = held_table{};
    for (;;) {
        report_event_kind kind = cursor.next();
        const report_event& e = cursor.event();
        if (kind == report_event_kind::table_end || kind == report_event_kind::done ||
            kind == report_event_kind::error)
            return;
        if (table->over_cap) continue;
        if (kind == report_event_kind::row_start) {
            held_row row;
            row.key = e.id;
            row.number = table->rows.size() + 1;
            row.first = table->cells.size();
            row.hash = 1469598103934665603ull;
            table->rows.push_back(std::move(row));
            table->bytes += e.id.size() + sizeof(held_row);
        } else if (kind == report_event_kind::cell && !table->rows.empty()) {
            held_row& row = table->rows.back();
            table->cells.push_back(held_cell{std::string(e.name), std::string(e.id), std::string(e.text)});
            row.count++;
            row.hash = hash_text(hash_text(hash_text(row.hash, e.name), e.id), e.text);
            table->bytes += e.name.size() + e.id.size() + e.text.size() + sizeof(held_cell);
        }
        if (table->bytes > item_cap) {
            table->over_cap = true;
            table->rows.clear();
            table->cells.clear();
        }
    }
}

// Reads the file or tree the cursor is in as text, up to the cap. A tree
// becomes one line per leaf: its path, then its value.
void load_text(report_cursor& cursor, item_kind kind, std::string* text, bool* over_cap) {
    text->clear();
    *over_cap = false;
    std::vector<std::string> path;
    for (;;) {
        report_event_kind k = cursor.next();
        const report_event& e = cursor.event();
        if (k == report_event_kind::file_end || k == report_event_kind::tree_end || k == report_event_kind::done ||
            k == report_event_kind::error)
            return;
        std::string piece;
        if (kind == item_kind::file && k == report_event_kind::file_data) {
            piece = e.text;
        } else if (k == report_event_kind::tree_node_start) {
            std::string step(e.name);
            if (e.has_id) step.append("[").append(e.id).append("]");
            path.push_back(std::move(step));
        } else if (k == report_event_kind::tree_node_end && !path.empty()) {
            path.pop_back();
        } else if (k == report_event_kind::tree_leaf) {
            for (const std::string& p : path) piece += p + "/";
            piece += std::string(e.has_id ? e.id : e.name) + ": " + std::string(e.text) + "\n";
        }
        if (*over_cap) continue;
        if (text->size() + piece.size() > item_cap) {
            *over_cap = true;
            text->clear();
            text->shrink_to_fit();
        } else {
            text->append(piece);
        }
    }
}

// ---------------------------------------------------------------- reporting

const char* kind_name(item_kind kind) {
    return kind == item_kind::table ? "table" : kind == item_kind::file ? "file" : "tree";
}

std::string quoted(std::string_view text) {
    std::string out(1, '"');
    out.append(cell_text(text));
    out.push_back('"');
    return out;
}

std::string item_size(const index_item& item) {
    if (item.kind == item_kind::table) return std::to_string(item.rows) + (item.rows == 1 ? " row" : " rows");
    if (item.kind == item_kind::file) return std::to_string(item.size) + " bytes";
    return "tree";
}

std::string row_name(const held_row& row) {
    return row.key.empty() ? "row " + std::to_string(row.number) : "row " + quoted(row.key);
}

class differ {
public:
    differ(const report_index& a, const report_index& b, bool full, FILE* out)
        : a_(a), b_(b), full_(full), out_(out) {}
    bool run(report_cursor& ca, report_cursor& cb);
    bool found() const { return found_; }

private:
    void say_section(const index_section& s) {
        if (section_named_) return;
        std::fprintf(out_, "section %s\n", quoted(s.id).c_str());
        section_named_ = true;
        found_ = true;
    }
    void compare_section(const index_section& sa, const index_section& sb, report_cursor& ca, report_cursor& cb);
    void compare_tables(const index_item& item, report_cursor& ca, report_cursor& cb);
    void compare_texts(const index_item& ia, const index_item& ib, report_cursor& ca, report_cursor& cb);
    void row_line(char mark, const held_table& t, const held_row& row);
    void changed_row(const held_table& ta, const held_row& ra, const held_table& tb, const held_row& rb);

    const report_index& a_;
    const report_index& b_;
    bool full_;
    FILE* out_;
    bool found_ = false;
    bool section_named_ = false;
    held_table table_a_, table_b_;
    std::string text_a_, text_b_;
};

void differ::row_line(char mark, const held_table& t, const held_row& row) {
    std::fprintf(out_, "    %c %s:", mark, row_name(row).c_str());
    for (size_t c = row.first; c < row.first + row.count; c++)
        std::fprintf(out_, " %s=%s", cell_text(t.cells[c].column).c_str(), quoted(t.cells[c].text).c_str());
    std::fputc('\n', out_);
}

// The cells of two rows paired by column name (and occurrence).
void differ::changed_row(const held_table& ta, const held_row& ra, const held_table& tb, const held_row& rb) {
    std::fprintf(out_, "    ~ %s:", row_name(rb).c_str());
    std::vector<std::string> cols_a, cols_b;
    for (size_t c = ra.first; c < ra.first + ra.count; c++) cols_a.push_back(ta.cells[c].column);
    for (size_t c = rb.first; c < rb.first + rb.count; c++) cols_b.push_back(tb.cells[c].column);
    const char* separator = " ";
    for (const pairing& p : pair_in_order(cols_a, cols_b)) {
        const held_cell* x = p.what != '+' ? &ta.cells[ra.first + p.a] : nullptr;
        const held_cell* y = p.what != '-' ? &tb.cells[rb.first + p.b] : nullptr;
        if (x && y && x->text == y->text && x->kind == y->kind) continue;
        std::string before = x ? quoted(x->text) : "(none)";
        std::string after = y ? quoted(y->text) : "(none)";
        if (x && y && x->kind != y->kind) {
            before.append(" (").append(x->kind).append(")");
            after.append(" (").append(y->kind).append(")");
        }
        std::fprintf(out_, "%s%s: %s -> %s", separator, cell_text((x ? x : y)->column).c_str(), before.c_str(),
                     after.c_str());
        separator = "; ";
    }
    std::fputc('\n', out_);
}

// Rows are matched by key: identical rows first, then the rest of each key
// in order as changed; what is left was added or removed.
void differ::compare_tables(const index_item& item, report_cursor& ca, report_cursor& cb) {
    load_table(ca, &table_a_);
    load_table(cb, &table_b_);
    std::fprintf(out_, "  table %s\n", quoted(item.id).c_str());
    if (table_a_.over_cap || table_b_.over_cap) {
        std::fprintf(out_, "    ~ differs (larger than %zu MB: not compared row by row)\n", item_cap >> 20);
        return;
    }
    const held_table& ta = table_a_;
    const held_table& tb = table_b_;
    auto exact_key = [](const held_row& r) {
        return r.key + '\0' + std::string(reinterpret_cast<const char*>(&r.hash), sizeof r.hash);
    };
    std::unordered_map<std::string, std::deque<size_t>> exact;
    for (size_t j = 0; j < tb.rows.size(); j++) exact[exact_key(tb.rows[j])].push_back(j);
    std::vector<long> partner_of_b(tb.rows.size(), -1);
    std::vector<bool> a_equal(ta.rows.size(), false);
    for (size_t i = 0; i < ta.rows.size(); i++) {
        auto found = exact.find(exact_key(ta.rows[i]));
        if (found == exact.end() || found->second.empty()) continue;
        partner_of_b[found->second.front()] = static_cast<long>(i);
        a_equal[i] = true;
        found->second.pop_front();
    }
    std::unordered_map<std::string_view, std::deque<size_t>> by_key;
    for (size_t j = 0; j < tb.rows.size(); j++)
        if (partner_of_b[j] < 0) by_key[tb.rows[j].key].push_back(j);
    std::vector<bool> b_changed(tb.rows.size(), false);
    std::vector<size_t> removed;
    for (size_t i = 0; i < ta.rows.size(); i++) {
        if (a_equal[i]) continue;
        auto found = by_key.find(ta.rows[i].key);
        if (found == by_key.end() || found->second.empty()) {
            removed.push_back(i);
            continue;
        }
        partner_of_b[found->second.front()] = static_cast<long>(i);
        b_changed[found->second.front()] = true;
        found->second.pop_front();
    }
    for (size_t j = 0; j < tb.rows.size(); j++) {
        if (b_changed[j])
            changed_row(ta, ta.rows[partner_of_b[j]], tb, tb.rows[j]);
        else if (partner_of_b[j] < 0)
            row_line('+', tb, tb.rows[j]);
    }
    for (size_t i : removed) row_line('-', ta, ta.rows[i]);
}

void differ::compare_texts(const index_item& ia, const index_item& ib, report_cursor& ca, report_cursor& cb) {
    bool cap_a = false, cap_b = false;
    load_text(ca, ia.kind, &text_a_, &cap_a);
    load_text(cb, ib.kind, &text_b_, &cap_b);
    std::fprintf(out_, "  %s %s\n", kind_name(ia.kind), quoted(ia.id).c_str());
    if (cap_a || cap_b) {
        std::fprintf(out_, "    ~ differs (larger than %zu MB: not compared line by line; %s before, %s after)\n",
                     item_cap >> 20, item_size(ia).c_str(), item_size(ib).c_str());
        return;
    }
    line_diff_result r = unified_diff(text_a_, text_b_, full_ ? 0 : diff_lines, "    ", out_);
    if (r.cut) std::fprintf(out_, "    ... %zu more diff lines (--full shows all)\n", r.cut);
    if (!r.differ) std::fputs("    ~ differs only in the line end of its last line\n", out_);
}

void differ::compare_section(const index_section& sa, const index_section& sb, report_cursor& ca,
                             report_cursor& cb) {
    std::vector<std::string> keys_a, keys_b;
    for (size_t i = 0; i < sa.item_count; i++) {
        const index_item& item = a_.items[sa.first_item + i];
        keys_a.push_back(std::string(1, static_cast<char>(item.kind)) + item.id);
    }
    for (size_t j = 0; j < sb.item_count; j++) {
        const index_item& item = b_.items[sb.first_item + j];
        keys_b.push_back(std::string(1, static_cast<char>(item.kind)) + item.id);
    }
    for (const pairing& p : pair_in_order(keys_a, keys_b)) {
        const index_item* ia = p.what != '+' ? &a_.items[sa.first_item + p.a] : nullptr;
        const index_item* ib = p.what != '-' ? &b_.items[sb.first_item + p.b] : nullptr;
        if (ia) ca.to_item();
        if (ib) cb.to_item();
        if (ia && ib && ia->hash == ib->hash) {
            ca.skip_item(ia->kind);
            cb.skip_item(ib->kind);
            continue;
        }
        say_section(sb);
        if (!ib) {
            std::fprintf(out_, "  - %s %s (%s)\n", kind_name(ia->kind), quoted(ia->id).c_str(), item_size(*ia).c_str());
            ca.skip_item(ia->kind);
        } else if (!ia) {
            std::fprintf(out_, "  + %s %s (%s)\n", kind_name(ib->kind), quoted(ib->id).c_str(), item_size(*ib).c_str());
            cb.skip_item(ib->kind);
        } else if (ia->kind == item_kind::table) {
            compare_tables(*ia, ca, cb);
        } else {
            compare_texts(*ia, *ib, ca, cb);
        }
    }
    ca.skip_section();
    cb.skip_section();
}

bool differ::run(report_cursor& ca, report_cursor& cb) {
    std::vector<std::string> keys_a, keys_b;
    for (const index_section& s : a_.sections) keys_a.push_back(s.id);
    for (const index_section& s : b_.sections) keys_b.push_back(s.id);
    for (const pairing& p : pair_in_order(keys_a, keys_b)) {
        section_named_ = false;
        if (p.what == '-') {
            const index_section& s = a_.sections[p.a];
            std::fprintf(out_, "- section %s (%zu items)\n", quoted(s.id).c_str(), s.item_count);
            found_ = true;
            if (ca.to_section()) ca.skip_section();
        } else if (p.what == '+') {
            const index_section& s = b_.sections[p.b];
            std::fprintf(out_, "+ section %s (%zu items)\n", quoted(s.id).c_str(), s.item_count);
            found_ = true;
            if (cb.to_section()) cb.skip_section();
        } else {
            const index_section& sa = a_.sections[p.a];
            const index_section& sb = b_.sections[p.b];
            ca.to_section();
            cb.to_section();
            if (sa.hash == sb.hash) {
                ca.skip_section();
                cb.skip_section();
            } else {
                compare_section(sa, sb, ca, cb);
            }
        }
        if (ca.failed() || cb.failed()) return false;
    }
    return true;
}

}  // namespace

int kdtool_diff(const kdtool_args& args, const kdtool_io& io) {
    std::vector<std::string> names;
    bool full = false;
    for (const std::string& arg : args) {
        if (arg == "--full")
            full = true;
        else if (!arg.empty() && (arg[0] != '-' || arg == "-"))
            names.push_back(arg);
        else
            return kdtool_usage(io);
    }
    if (names.size() != 2) return kdtool_usage(io);
    workspace ws;
    report_source sources[2];
    report_index indexes[2];
    const char* tags[2] = {"a", "b"};
    for (int i = 0; i < 2; i++) {
        if (open_indexed_report(ws, names[i], tags[i], io, index_options{true, true}, &sources[i], &indexes[i]) !=
            exit_good)
            return exit_error;
    }
    FILE* in_a = std::fopen(sources[0].path.c_str(), "rb");
    FILE* in_b = std::fopen(sources[1].path.c_str(), "rb");
    if (!in_a || !in_b) {
        if (in_a) std::fclose(in_a);
        if (in_b) std::fclose(in_b);
        kdtool_fail(io, "cannot read the reports");
        return exit_error;
    }
    bool ok;
    bool found;
    {
        report_cursor ca(in_a), cb(in_b);
        differ d(indexes[0], indexes[1], full, io.out);
        ok = d.run(ca, cb);
        found = d.found();
        if (!ok) kdtool_fail(io, std::string("not well-formed: ") + (ca.failed() ? ca.error() : cb.error()));
    }
    std::fclose(in_a);
    std::fclose(in_b);
    if (std::fflush(io.out) != 0) {
        kdtool_fail(io, "cannot write standard output");
        return exit_error;
    }
    if (!ok) return exit_error;
    return found ? exit_damaged : exit_good;
}

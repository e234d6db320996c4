// kdtool diff: what changed between two reports of the same machine.
//
// A first pass indexes both reports (names and content hashes of sections,
// tables, files and trees). Sections, and the items within a matched
// section, are then paired by name in report order; the second pass streams
// both reports side by side and loads only the pairs whose hashes differ,
// one table or file per side at a time, each up to a cap.
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <unordered_map>

#include "kdtool/diff_rules.h"
#include "kdtool/json_text.h"
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

// One line of the result: a section or item added or removed (levels 0 and
// 1), or a row or line within an item (level 2).
struct diff_change {
    int level = 2;
    char mark = '~';  // '+', '-', '~'; in a line diff also ' ' and '@'
    std::string section;
    std::string kind;
    std::string item;
    std::string text;
};

struct diff_options {
    bool full = false;
    bool all = false;  // volatile values too
    bool json = false;
    std::vector<std::string> sections;
    std::vector<std::string> ignored;
};

bool named_in(const std::vector<std::string>& names, const std::string& id) {
    for (const std::string& n : names)
        if (strcasecmp(n.c_str(), id.c_str()) == 0) return true;
    return false;
}

std::vector<std::string_view> text_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class differ {
public:
    differ(const report_index& a, const report_index& b, const diff_options& options)
        : a_(a), b_(b), options_(options) {}
    bool run(report_cursor& ca, report_cursor& cb);
    const std::vector<diff_change>& changes() const { return changes_; }
    long volatile_values() const { return volatile_; }

private:
    void add(int level, char mark, std::string text) {
        diff_change c;
        c.level = level;
        c.mark = mark;
        c.section = section_;
        if (level > 0) {
            c.kind = kind_;
            c.item = item_;
        }
        c.text = std::move(text);
        changes_.push_back(std::move(c));
    }
    void compare_section(const index_section& sa, const index_section& sb, report_cursor& ca, report_cursor& cb);
    void compare_tables(const index_item& item, report_cursor& ca, report_cursor& cb);
    void compare_texts(const index_item& ia, const index_item& ib, report_cursor& ca, report_cursor& cb);
    void compare_line_sets(const file_diff_rule& rule);
    std::string row_key(const held_table& t, const held_row& row) const;
    std::string exact_row_key(const held_table& t, const held_row& row) const;
    bool row_varies(const held_table& t, const held_row& row) const;
    std::string row_name(const held_table& t, const held_row& row) const;
    bool row_volatile(const held_table& t, const held_row& row) const;
    uint64_t lasting_hash(const held_table& t, const held_row& row) const;
    void row_line(char mark, const held_table& t, const held_row& row);
    void show_rows(char mark, const held_table& t, const std::vector<size_t>& rows);
    void changed_row(const held_table& ta, const held_row& ra, const held_table& tb, const held_row& rb);

    const report_index& a_;
    const report_index& b_;
    const diff_options& options_;
    const table_diff_rule* rule_ = nullptr;
    std::string section_, kind_, item_;
    std::vector<diff_change> changes_;
    long volatile_ = 0;
    held_table table_a_, table_b_;
    std::string text_a_, text_b_;
};

std::string differ::row_key(const held_table& t, const held_row& row) const {
    std::string key = exact_row_key(t, row);
    return !options_.all && rule_ && holds_listed(key, rule_->varying) ? without_numbers(key) : key;
}

bool differ::row_varies(const held_table& t, const held_row& row) const {
    return !options_.all && rule_ && holds_listed(exact_row_key(t, row), rule_->varying);
}

std::string differ::exact_row_key(const held_table& t, const held_row& row) const {
    if (!rule_ || !rule_->key) return row.key;
    std::string key;
    std::string_view columns = rule_->key;
    bool first = true;
    while (!columns.empty()) {
        size_t plus = columns.find('+');
        std::string_view name = columns.substr(0, plus);
        if (!first) key += '/';
        first = false;
        for (size_t c = row.first; c < row.first + row.count; c++)
            if (t.cells[c].column == name) {
                key += t.cells[c].text;
                break;
            }
        if (plus == std::string_view::npos) break;
        columns.remove_prefix(plus + 1);
    }
    return key;
}

std::string differ::row_name(const held_table& t, const held_row& row) const {
    if (rule_ && rule_->key) return "row " + quoted(row_key(t, row));
    return row.key.empty() ? "row " + std::to_string(row.number) : "row " + quoted(row.key);
}

bool differ::row_volatile(const held_table& t, const held_row& row) const {
    return !options_.all && rule_ && matches_listed(row_key(t, row), rule_->volatile_rows);
}

// A hash of the values that last from run to run.
uint64_t differ::lasting_hash(const held_table& t, const held_row& row) const {
    if (options_.all || !rule_ || !rule_->volatile_columns) return row.hash;
    if (row_volatile(t, row)) return 0;
    uint64_t h = 1469598103934665603ull;
    for (size_t c = row.first; c < row.first + row.count; c++) {
        const held_cell& cell = t.cells[c];
        if (matches_listed(cell.column, rule_->volatile_columns)) continue;
        h = hash_text(hash_text(hash_text(h, cell.kind), cell.column), cell.text);
    }
    return h;
}

// An added or removed row goes by its own key: its cells say the rest.
void differ::row_line(char mark, const held_table& t, const held_row& row) {
    std::string text = (row.key.empty() ? "row " + std::to_string(row.number) : "row " + quoted(row.key)) + ":";
    for (size_t c = row.first; c < row.first + row.count; c++)
        text += " " + cell_text(t.cells[c].column) + "=" + quoted(t.cells[c].text);
    add(2, mark, std::move(text));
}

// Added or removed rows, those of one group (the settings of one network
// interface, say) in one line when there are several.
void differ::show_rows(char mark, const held_table& t, const std::vector<size_t>& rows) {
    constexpr size_t grouped_from = 3;
    std::unordered_map<std::string, std::vector<size_t>> groups;
    std::vector<std::string> order;
    for (size_t r : rows) {
        std::string g = rule_ ? key_group(row_key(t, t.rows[r]), rule_->group) : std::string();
        if (g.empty()) continue;
        if (groups[g].empty()) order.push_back(g);
        groups[g].push_back(r);
    }
    std::unordered_map<size_t, bool> in_group;
    for (const std::string& g : order) {
        const std::vector<size_t>& members = groups[g];
        if (members.size() < grouped_from) continue;
        std::vector<std::string> kinds;
        for (size_t r : members) {
            in_group[r] = true;
            std::string key = row_key(t, t.rows[r]);
            std::string kind = key.substr(0, key.find("." + g + ".") + g.size() + 1) + ".*";
            if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
        }
        std::string text = std::to_string(members.size()) + " rows of " + quoted(g) + ":";
        for (const std::string& k : kinds) text += " " + cell_text(k);
        add(2, mark, std::move(text));
    }
    for (size_t r : rows)
        if (!in_group.count(r)) row_line(mark, t, t.rows[r]);
}

// The cells of two rows paired by column name (and occurrence); volatile
// ones are counted, not shown.
void differ::changed_row(const held_table& ta, const held_row& ra, const held_table& tb, const held_row& rb) {
    std::vector<std::string> cols_a, cols_b;
    for (size_t c = ra.first; c < ra.first + ra.count; c++) cols_a.push_back(ta.cells[c].column);
    for (size_t c = rb.first; c < rb.first + rb.count; c++) cols_b.push_back(tb.cells[c].column);
    bool whole_row = row_volatile(tb, rb) || row_varies(tb, rb);
    std::string text;
    const char* separator = " ";
    for (const pairing& p : pair_in_order(cols_a, cols_b)) {
        const held_cell* x = p.what != '+' ? &ta.cells[ra.first + p.a] : nullptr;
        const held_cell* y = p.what != '-' ? &tb.cells[rb.first + p.b] : nullptr;
        if (x && y && x->text == y->text && x->kind == y->kind) continue;
        const std::string& column = (x ? x : y)->column;
        if (!options_.all && (whole_row || (rule_ && matches_listed(column, rule_->volatile_columns)))) {
            volatile_++;
            continue;
        }
        std::string before = x ? quoted(x->text) : "(none)";
        std::string after = y ? quoted(y->text) : "(none)";
        if (x && y && x->kind != y->kind) {
            before.append(" (").append(x->kind).append(")");
            after.append(" (").append(y->kind).append(")");
        }
        text += separator + cell_text(column) + ": " + before + " -> " + after;
        separator = "; ";
    }
    if (!text.empty()) add(2, '~', row_name(tb, rb) + ":" + text);
}

// Rows are matched by what identifies them: rows equal in all that lasts
// first, then the rest of each key in order as changed; what is left was
// added or removed. Order alone is no change.
void differ::compare_tables(const index_item& item, report_cursor& ca, report_cursor& cb) {
    load_table(ca, &table_a_);
    load_table(cb, &table_b_);
    rule_ = table_rule(item.id);
    if (table_a_.over_cap || table_b_.over_cap) {
        add(2, '~', "differs (larger than " + std::to_string(item_cap >> 20) + " MB: not compared row by row)");
        return;
    }
    const held_table& ta = table_a_;
    const held_table& tb = table_b_;
    std::vector<std::string> keys_a, keys_b;
    for (const held_row& r : ta.rows) keys_a.push_back(row_key(ta, r));
    for (const held_row& r : tb.rows) keys_b.push_back(row_key(tb, r));
    auto exact_key = [&](const std::string& key, const held_table& t, const held_row& r) {
        uint64_t h = lasting_hash(t, r);
        return key + '\0' + std::string(reinterpret_cast<const char*>(&h), sizeof h);
    };
    std::unordered_map<std::string, std::deque<size_t>> exact;
    for (size_t j = 0; j < tb.rows.size(); j++) exact[exact_key(keys_b[j], tb, tb.rows[j])].push_back(j);
    std::vector<long> partner_of_b(tb.rows.size(), -1);
    std::vector<bool> a_paired(ta.rows.size(), false);
    std::vector<bool> b_changed(tb.rows.size(), false);
    for (size_t i = 0; i < ta.rows.size(); i++) {
        auto found = exact.find(exact_key(keys_a[i], ta, ta.rows[i]));
        if (found == exact.end() || found->second.empty()) continue;
        size_t j = found->second.front();
        found->second.pop_front();
        partner_of_b[j] = static_cast<long>(i);
        a_paired[i] = true;
        // Equal in what lasts; what differs is volatile.
        if (ta.rows[i].hash != tb.rows[j].hash) changed_row(ta, ta.rows[i], tb, tb.rows[j]);
    }
    std::unordered_map<std::string_view, std::deque<size_t>> by_key;
    for (size_t j = 0; j < tb.rows.size(); j++)
        if (partner_of_b[j] < 0) by_key[keys_b[j]].push_back(j);
    std::vector<size_t> removed;
    for (size_t i = 0; i < ta.rows.size(); i++) {
        if (a_paired[i]) continue;
        auto found = by_key.find(keys_a[i]);
        if (found == by_key.end() || found->second.empty()) {
            removed.push_back(i);
            continue;
        }
        partner_of_b[found->second.front()] = static_cast<long>(i);
        b_changed[found->second.front()] = true;
        found->second.pop_front();
    }
    std::vector<size_t> added;
    for (size_t j = 0; j < tb.rows.size(); j++) {
        if (b_changed[j])
            changed_row(ta, ta.rows[partner_of_b[j]], tb, tb.rows[j]);
        else if (partner_of_b[j] < 0 && row_varies(tb, tb.rows[j]))
            volatile_++;
        else if (partner_of_b[j] < 0)
            added.push_back(j);
    }
    show_rows('+', tb, added);
    std::vector<size_t> gone;
    for (size_t i : removed) {
        if (row_varies(ta, ta.rows[i]))
            volatile_++;
        else
            gone.push_back(i);
    }
    show_rows('-', ta, gone);
}

// Logs by message and files of counters with their numbers set aside, each
// compared as a set of lines: a new message is one line, whatever moved.
void differ::compare_line_sets(const file_diff_rule& rule) {
    auto lasting = [&](std::string_view line) {
        if (rule.how == file_compare::log) {
            std::string message = log_message(line);
            return holds_listed(message, rule.volatile_lines) ? without_numbers(message) : message;
        }
        if (rule.how == file_compare::processes) return process_identity(line);
        if (!rule.volatile_lines || holds_listed(line, rule.volatile_lines)) return without_numbers(line);
        return std::string(line);
    };
    std::vector<std::string_view> lines_a = text_lines(text_a_), lines_b = text_lines(text_b_);
    std::unordered_map<std::string, std::deque<size_t>> in_b;
    for (size_t j = 0; j < lines_b.size(); j++) in_b[lasting(lines_b[j])].push_back(j);
    std::vector<bool> b_paired(lines_b.size(), false);
    std::vector<size_t> removed;
    for (size_t i = 0; i < lines_a.size(); i++) {
        auto found = in_b.find(lasting(lines_a[i]));
        if (found == in_b.end() || found->second.empty()) {
            removed.push_back(i);
            continue;
        }
        size_t j = found->second.front();
        found->second.pop_front();
        b_paired[j] = true;
        if (lines_a[i] != lines_b[j]) volatile_++;
    }
    size_t shown = 0, cut = 0;
    auto show = [&](char mark, std::string_view line) {
        if (holds_listed(line, rule.transient_lines) ||
            (rule.how == file_compare::log && holds_listed(line, rule.volatile_lines))) {
            volatile_++;
            return;
        }
        if (!options_.full && shown >= diff_lines) {
            cut++;
            return;
        }
        shown++;
        add(2, mark, line_text(line));
    };
    for (size_t i : removed) show('-', lines_a[i]);
    for (size_t j = 0; j < lines_b.size(); j++)
        if (!b_paired[j]) show('+', lines_b[j]);
    if (cut) add(2, ' ', "... " + std::to_string(cut) + " more diff lines (--full shows all)");
}

void differ::compare_texts(const index_item& ia, const index_item& ib, report_cursor& ca, report_cursor& cb) {
    bool cap_a = false, cap_b = false;
    load_text(ca, ia.kind, &text_a_, &cap_a);
    load_text(cb, ib.kind, &text_b_, &cap_b);
    if (cap_a || cap_b) {
        add(2, '~', "differs (larger than " + std::to_string(item_cap >> 20) + " MB: not compared line by line; " +
                        item_size(ia) + " before, " + item_size(ib) + " after)");
        return;
    }
    const file_diff_rule* rule = ia.kind == item_kind::file ? file_rule(ia.id) : nullptr;
    if (rule && !options_.all && rule->how != file_compare::lines) {
        compare_line_sets(*rule);
        return;
    }
    char* buffer = nullptr;
    size_t size = 0;
    FILE* captured = open_memstream(&buffer, &size);
    if (!captured) return;
    line_diff_result r = unified_diff(text_a_, text_b_, options_.full ? 0 : diff_lines, "", captured);
    std::fclose(captured);
    for (std::string_view line : text_lines(std::string_view(buffer, size)))
        if (!line.empty()) add(2, line[0], std::string(line.substr(1)));
    std::free(buffer);
    if (r.cut) add(2, ' ', "... " + std::to_string(r.cut) + " more diff lines (--full shows all)");
    if (!r.differ) add(2, '~', "differs only in the line end of its last line");
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
        const index_item& either = ib ? *ib : *ia;
        kind_ = kind_name(either.kind);
        item_ = either.id;
        if (!ib) {
            add(1, '-', kind_ + " " + quoted(ia->id) + " (" + item_size(*ia) + ")");
            ca.skip_item(ia->kind);
        } else if (!ia) {
            add(1, '+', kind_ + " " + quoted(ib->id) + " (" + item_size(*ib) + ")");
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
        const index_section& named = p.what == '-' ? a_.sections[p.a] : b_.sections[p.b];
        section_ = named.id;
        bool wanted = (options_.sections.empty() || named_in(options_.sections, named.id)) &&
                      !named_in(options_.ignored, named.id);
        if (p.what == '-') {
            if (wanted) add(0, '-', "section " + quoted(named.id) + " (" + std::to_string(named.item_count) + " items)");
            if (ca.to_section()) ca.skip_section();
        } else if (p.what == '+') {
            if (wanted) add(0, '+', "section " + quoted(named.id) + " (" + std::to_string(named.item_count) + " items)");
            if (cb.to_section()) cb.skip_section();
        } else {
            const index_section& sa = a_.sections[p.a];
            const index_section& sb = b_.sections[p.b];
            ca.to_section();
            cb.to_section();
            if (!wanted || sa.hash == sb.hash) {
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

// Text: a section's or item's name comes once, before its first change.
void write_changes_text(FILE* out, const std::vector<diff_change>& changes) {
    const std::string* section = nullptr;
    const std::string* item = nullptr;
    for (const diff_change& c : changes) {
        if (c.level == 0) {
            std::fprintf(out, "%c %s\n", c.mark, c.text.c_str());
            section = nullptr;
            continue;
        }
        if (!section || *section != c.section) {
            std::fprintf(out, "section %s\n", quoted(c.section).c_str());
            section = &c.section;
            item = nullptr;
        }
        if (c.level == 1) {
            std::fprintf(out, "  %c %s\n", c.mark, c.text.c_str());
            item = nullptr;
            continue;
        }
        if (!item || *item != c.item) {
            std::fprintf(out, "  %s %s\n", c.kind.c_str(), quoted(c.item).c_str());
            item = &c.item;
        }
        if (c.kind == "table" || c.mark == '~')
            std::fprintf(out, "    %c %s\n", c.mark, c.text.c_str());
        else
            std::fprintf(out, "    %c%s\n", c.mark, c.text.c_str());
    }
}

void put_json(FILE* out, std::string_view text) { put_json_string(out, text); }

const char* change_name(const diff_change& c) {
    switch (c.mark) {
    case '+': return "added";
    case '-': return "removed";
    case '~': return "changed";
    case '@': return "hunk";
    default: return "context";
    }
}

struct damaged_side {
    std::string name;
    int mismatches;
};

void write_changes_json(FILE* out, const std::vector<damaged_side>& damaged, const std::vector<diff_change>& changes,
                        long volatile_values) {
    std::fputs("{\"damaged\": [", out);
    for (size_t i = 0; i < damaged.size(); i++) {
        std::fputs(i ? ", {\"report\": " : "{\"report\": ", out);
        put_json(out, damaged[i].name);
        std::fprintf(out, ", \"mismatches\": %d}", damaged[i].mismatches);
    }
    std::fprintf(out, "],\n \"volatile\": %ld,\n \"changes\": [", volatile_values);
    const char* separator = "\n  ";
    for (const diff_change& c : changes) {
        std::fprintf(out, "%s{\"change\": \"%s\", \"section\": ", separator, change_name(c));
        put_json(out, c.section);
        if (c.level > 0) {
            std::fprintf(out, ", \"kind\": \"%s\", \"item\": ", c.kind.c_str());
            put_json(out, c.item);
        }
        std::fputs(", \"text\": ", out);
        put_json(out, c.text);
        std::fputc('}', out);
        separator = ",\n  ";
    }
    std::fputs(changes.empty() ? "]}\n" : "\n ]}\n", out);
}

}  // namespace

int kdtool_diff(const kdtool_args& args, const kdtool_io& io) {
    std::vector<std::string> names;
    diff_options options;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (arg == "--full")
            options.full = true;
        else if (arg == "--all")
            options.all = true;
        else if (arg == "--json")
            options.json = true;
        else if (arg == "--section" && i + 1 < args.size())
            options.sections.push_back(args[++i]);
        else if (arg == "--ignore-section" && i + 1 < args.size())
            options.ignored.push_back(args[++i]);
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
    for (const std::string& wanted : options.sections) {
        bool known = false;
        for (const report_index& index : indexes)
            for (const index_section& s : index.sections) known = known || strcasecmp(s.id.c_str(), wanted.c_str()) == 0;
        if (!known) {
            kdtool_fail(io, "no section \"" + wanted + "\" in either report");
            return exit_error;
        }
    }
    std::vector<damaged_side> damaged;
    for (int i = 0; i < 2; i++)
        if (indexes[i].mismatches > 0) damaged.push_back({names[i], indexes[i].mismatches});
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
        differ d(indexes[0], indexes[1], options);
        ok = d.run(ca, cb);
        found = !d.changes().empty();
        if (!ok) {
            kdtool_fail(io, std::string("not well-formed: ") + (ca.failed() ? ca.error() : cb.error()));
        } else if (options.json) {
            write_changes_json(io.out, damaged, d.changes(), d.volatile_values());
        } else {
            for (const damaged_side& side : damaged)
                std::fprintf(io.out, "%s: %d checksums do not match or are missing\n",
                             cell_text(side.name).c_str(), side.mismatches);
            write_changes_text(io.out, d.changes());
            if (d.volatile_values() > 0)
                std::fprintf(io.out, "%ld volatile values differ; --all shows them\n", d.volatile_values());
        }
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

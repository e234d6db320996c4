// The engine behind the finding rules: it walks the report's tables, files
// and logs once per rule kind and turns what matches into findings.
#include "kdtool/findings.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string_view>

#include "kdtool/text_form.h"

namespace {

constexpr size_t longest_message = 160;  // characters of a log line kept in a title
constexpr size_t findings_per_rule = 8;
constexpr size_t longest_matched = 2048;  // characters of a line a rule's expression looks at  // distinct findings of one rule; more are counted on the last

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    if (text.empty()) return parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

bool contains_any(std::string_view line, const std::vector<std::string_view>& needles) {
    for (std::string_view n : needles)
        if (!n.empty() && line.find(n) != std::string_view::npos) return true;
    return false;
}

// A number at the start of a cell, after any letters such as the x of a link
// width: "x8" is 8, "2.5 GT/s" is 2.5. False when there is none.
bool leading_number(std::string_view text, double* value) {
    size_t i = 0;
    while (i < text.size() && !(std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '-')) {
        if (!std::isalpha(static_cast<unsigned char>(text[i])) && text[i] != ' ') return false;
        i++;
    }
    if (i == text.size()) return false;
    std::string digits(text.substr(i));
    char* end = nullptr;
    *value = std::strtod(digits.c_str(), &end);
    return end != digits.c_str() && std::isfinite(*value);
}

bool has_word(std::string_view cell, std::string_view word) {
    size_t start = 0;
    while (start <= cell.size()) {
        size_t end = cell.find_first_of(", ", start);
        if (end == std::string_view::npos) end = cell.size();
        if (cell.substr(start, end - start) == word) return true;
        start = end + 1;
    }
    return false;
}

std::string percent_text(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", std::floor(ratio * 1000) / 10);
    return text;
}

// What a template's placeholders stand for in one place of the report.
struct template_values {
    const content_table* table = nullptr;
    const content_row* row = nullptr;
    const std::smatch* groups = nullptr;
    std::string file;     // the tail of a file name matched by a prefix
    std::string context;  // the block a file line belongs to
    std::string message;
    std::string percent;
    std::string flags;
};

std::string pci_address(const content_table& t, const content_row& r) {
    const std::string& address = t.cell(r, "Address");
    if (!address.empty()) return address;
    double bus = 0, device = 0, function = 0;
    if (!leading_number(t.cell(r, "Bus"), &bus) || !leading_number(t.cell(r, "Device"), &device) ||
        !leading_number(t.cell(r, "Function"), &function))
        return r.key;
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.%x", static_cast<unsigned>(bus) & 0xFF,
                  static_cast<unsigned>(device) & 0x1F, static_cast<unsigned>(function) & 7);
    return text;
}

std::string placeholder(std::string_view name, const template_values& v) {
    if (name == "message") return v.message;
    if (name == "percent") return v.percent;
    if (name == "file") return v.file;
    if (name == "context") return v.context;
    if (name == "flags") return v.flags;
    if (v.table && v.row && name == "pci") return pci_address(*v.table, *v.row);
    if (v.groups && !name.empty() && std::isdigit(static_cast<unsigned char>(name[0]))) {
        size_t n = static_cast<size_t>(std::atoi(std::string(name).c_str()));
        return n < v.groups->size() ? (*v.groups)[n].str() : std::string();
    }
    if (v.table && v.row) return v.table->cell(*v.row, name);
    return std::string();
}

std::string expand(const char* pattern, const template_values& v) {
    std::string out;
    std::string_view p = pattern ? pattern : "";
    for (size_t i = 0; i < p.size(); i++) {
        size_t close = p[i] == '{' ? p.find('}', i) : std::string_view::npos;
        if (close == std::string_view::npos) {
            out += p[i];
            continue;
        }
        out += placeholder(p.substr(i + 1, close - i - 1), v);
        i = close;
    }
    return cell_text(out);
}

// One condition of a row rule, parsed from "Column op value".
struct condition {
    std::string column;
    std::string op;  // = != ~ !~ > <
    std::string value;
};

std::vector<condition> parse_conditions(const char* text) {
    std::vector<condition> out;
    for (std::string_view part : split(text ? text : "", ';')) {
        size_t at = part.find_first_of("=~<>");
        if (at == std::string_view::npos || at == 0) continue;
        condition c;
        bool negated = part[at - 1] == '!';
        c.column = std::string(part.substr(0, negated ? at - 1 : at));
        c.op = std::string(negated ? "!" : "") + part[at];
        c.value = std::string(part.substr(at + 1));
        out.push_back(std::move(c));
    }
    return out;
}

bool holds(const condition& c, const content_table& t, const content_row& r) {
    int column = t.column(c.column);
    if (column < 0 || static_cast<size_t>(column) >= r.cells.size()) return false;
    const std::string& cell = r.cells[column];
    if (c.op == "=" || c.op == "!=") {
        bool equal = false;
        for (std::string_view v : split(c.value, '|')) equal = equal || cell == v;
        return equal == (c.op == "=");
    }
    if (c.op == "~") return has_word(cell, c.value);
    if (c.op == "!~") return !has_word(cell, c.value);
    double number = 0;
    if (!leading_number(cell, &number)) return false;
    double limit = std::strtod(c.value.c_str(), nullptr);
    return c.op == ">" ? number > limit : c.op == "<" && number < limit;
}

// Where each table and file of the report is, for the evidence.
struct located_table {
    const content_section* section;
    const content_table* table;
};
struct located_file {
    const content_section* section;
    const content_file* file;
};

void split_log_line(std::string_view line, std::string* time, std::string_view* message);

// One line of a log, read once for all log rules.
struct log_entry {
    const content_section* section;
    const std::string* item;
    bool table;
    std::string position;  // "row 12" or "line 40"
    std::string time;
    std::string message;
};

class engine {
public:
    explicit engine(const report_content& content) : content_(content) {}
    void apply(const finding_rule& rule);
    std::vector<finding> take();

private:
    std::vector<located_table> tables(std::string_view title) const;
    std::vector<located_file> files(std::string_view name) const;
    void add(const finding_rule& rule, const std::string& title, const std::string& evidence,
             const std::string& section, const std::string& item);
    std::string row_evidence(const located_table& at, const content_row& r, size_t index,
                             const std::vector<std::string>& columns) const;
    void row_rule(const finding_rule& rule);
    void line_rule(const finding_rule& rule);
    void file_ratio_rule(const finding_rule& rule);
    void taint_rule(const finding_rule& rule);
    void configured_down_rule(const finding_rule& rule);
    bool line_matches(const finding_rule& rule, const std::string& line, std::smatch* groups);
    const std::vector<log_entry>& log_entries();

    const report_content& content_;
    std::vector<finding> found_;
    std::map<std::string, size_t> seen_;         // rule and title (or message): the finding
    std::map<std::string, size_t> per_rule_;     // rule: its distinct findings
    std::map<std::string, size_t> last_of_rule_; // rule: its last finding
    std::map<const finding_rule*, std::regex> patterns_;
    // Per rule: the texts of which a line must hold one, and those it must not.
    std::map<const finding_rule*, std::pair<std::vector<std::string_view>, std::vector<std::string_view>>> needles_;
    std::vector<log_entry> log_entries_;
    bool logs_read_ = false;
    std::string line_start_;  // the start of a long line being matched
};

const std::vector<log_entry>& engine::log_entries() {
    if (logs_read_) return log_entries_;
    logs_read_ = true;
    for (const log_source& source : log_sources()) {
        if (source.table) {
            for (const located_table& at : tables(source.name))
                for (const content_row& r : at.table->rows) {
                    // A log row is named by its sequence number; its key is often its time.
                    const std::string& sequence = at.table->cell(r, "Sequence");
                    log_entries_.push_back({at.section, &at.table->title, true,
                                            sequence.empty() ? "row " + r.key : "message " + sequence,
                                            at.table->cell(r, "Time"), at.table->cell(r, "Message")});
                }
            continue;
        }
        for (const located_file& at : files(source.name)) {
            size_t number = 0;
            std::string time;
            std::string_view message;
            for (std::string_view line : split(at.file->text, '\n')) {
                number++;
                split_log_line(line, &time, &message);
                if (message.empty()) continue;
                log_entries_.push_back(
                    {at.section, &at.file->name, false, "line " + std::to_string(number), time, std::string(message)});
            }
        }
    }
    return log_entries_;
}

std::vector<located_table> engine::tables(std::string_view title) const {
    std::vector<located_table> out;
    for (const content_section& s : content_.sections)
        for (const content_table& t : s.tables)
            if (t.title == title) out.push_back({&s, &t});
    return out;
}

// A name ending in '*' is a prefix: "smartctl -H -A *" names every disk's.
std::vector<located_file> engine::files(std::string_view name) const {
    std::vector<located_file> out;
    bool prefix = !name.empty() && name.back() == '*';
    std::string_view stem = prefix ? name.substr(0, name.size() - 1) : name;
    for (const content_section& s : content_.sections)
        for (const content_file& f : s.files)
            if (prefix ? f.name.compare(0, stem.size(), stem) == 0 : f.name == name) out.push_back({&s, &f});
    return out;
}

void engine::add(const finding_rule& rule, const std::string& title, const std::string& evidence,
                 const std::string& section, const std::string& item) {
    std::string key = std::string(rule.id) + '\n' + title;
    auto seen = seen_.find(key);
    if (seen != seen_.end()) {
        found_[seen->second].repeats++;
        return;
    }
    size_t& count = per_rule_[rule.id];
    if (count >= findings_per_rule) {
        found_[last_of_rule_[rule.id]].repeats++;
        return;
    }
    count++;
    finding f;
    f.severity = rule.severity;
    f.rule = rule.id;
    f.title = title;
    f.evidence = evidence;
    f.next = rule.next ? rule.next : "";
    f.section = section;
    f.item = item;
    seen_[key] = found_.size();
    last_of_rule_[rule.id] = found_.size();
    found_.push_back(std::move(f));
}

std::string engine::row_evidence(const located_table& at, const content_row& r, size_t index,
                                 const std::vector<std::string>& columns) const {
    std::string out = at.section->title + " / " + at.table->title + " / row ";
    out += r.key.empty() ? std::to_string(index + 1) : "\"" + r.key + "\"";
    const char* separator = ": ";
    for (const std::string& c : columns) {
        if (at.table->column(c) < 0) continue;
        out += separator + c + " " + at.table->cell(r, c);
        separator = ", ";
    }
    return cell_text(out);
}

double cell_number(const content_table& t, const content_row& r, std::string_view columns, bool* ok) {
    double sum = 0;
    for (std::string_view c : split(columns, '+')) {
        double value = 0;
        if (t.column(c) < 0 || !leading_number(t.cell(r, c), &value)) *ok = false;
        sum += value;
    }
    return sum;
}

void engine::row_rule(const finding_rule& rule) {
    std::vector<condition> conditions = parse_conditions(rule.conditions);
    std::vector<std::string> shown;
    for (const condition& c : conditions) shown.push_back(c.column);
    for (const char* c : {rule.column, rule.column2})
        if (c)
            for (std::string_view part : split(c, '+'))
                if (std::find(shown.begin(), shown.end(), part) == shown.end()) shown.emplace_back(part);
    for (const located_table& at : tables(rule.where)) {
        const content_table& t = *at.table;
        for (size_t i = 0; i < t.rows.size(); i++) {
            const content_row& r = t.rows[i];
            bool all = true;
            for (const condition& c : conditions) all = all && holds(c, t, r);
            if (!all) continue;
            template_values v;
            v.table = &t;
            v.row = &r;
            if (rule.kind == rule_kind::cell_ratio || rule.kind == rule_kind::cell_less) {
                bool ok = true;
                double a = cell_number(t, r, rule.column, &ok);
                double b = cell_number(t, r, rule.column2, &ok);
                if (!ok) continue;
                if (rule.kind == rule_kind::cell_less && !(a < b)) continue;
                if (rule.kind == rule_kind::cell_ratio) {
                    if (b <= 0 || a < rule.min_count) continue;
                    double ratio = a / b;
                    if (ratio < rule.threshold || (rule.below > 0 && ratio >= rule.below)) continue;
                    v.percent = percent_text(ratio);
                }
            }
            add(rule, expand(rule.title, v), row_evidence(at, r, i, shown), at.section->title, t.title);
        }
    }
}

// The message of a log line and its time: the syslog and journal forms
// ("Mon DD HH:MM:SS host ident[pid]: text") lose their prefix, and a
// kernel time stamp ("[  12.345678] ") is set aside.
void split_log_line(std::string_view line, std::string* time, std::string_view* message) {
    time->clear();
    auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(line[i])) != 0; };
    if (line.size() > 16 && std::isupper(static_cast<unsigned char>(line[0])) && line[3] == ' ' && digit(5) &&
        line[6] == ' ' && digit(7) && line[9] == ':' && line[12] == ':' && line[15] == ' ') {
        size_t host_end = line.find(' ', 16);
        size_t ident_end = host_end == std::string_view::npos ? host_end : line.find(": ", host_end + 1);
        if (ident_end != std::string_view::npos && line.substr(host_end + 1, ident_end - host_end - 1).find(' ') ==
                                                       std::string_view::npos) {
            *time = std::string(line.substr(0, 15));
            line.remove_prefix(ident_end + 2);
        }
    }
    if (line.size() > 2 && line[0] == '[') {
        size_t close = line.find("] ");
        if (close != std::string_view::npos && close < 20 &&
            line.substr(1, close - 1).find_first_not_of(" 0123456789.") == std::string_view::npos) {
            if (time->empty()) *time = std::string(line.substr(1, close - 1));
            line.remove_prefix(close + 2);
        }
    }
    *message = line;
}

bool engine::line_matches(const finding_rule& rule, const std::string& line, std::smatch* groups) {
    auto needles = needles_.find(&rule);
    if (needles == needles_.end())
        needles = needles_.emplace(&rule, std::make_pair(split(rule.match ? rule.match : "", '|'),
                                                         split(rule.except ? rule.except : "", '|')))
                      .first;
    if (!contains_any(line, needles->second.first)) return false;
    if (contains_any(line, needles->second.second)) return false;
    if (!rule.pattern) return true;
    auto p = patterns_.find(&rule);
    if (p == patterns_.end()) p = patterns_.emplace(&rule, std::regex(rule.pattern)).first;
    // The regular expression engine recurses per character: a line from the
    // report is matched on its start only, however long it is.
    // The groups point into it until the next line.
    if (line.size() > longest_matched) {
        line_start_.assign(line, 0, longest_matched);
        return std::regex_search(line_start_, *groups, p->second);
    }
    return std::regex_search(line, *groups, p->second);
}

std::string short_message(const std::string& message) {
    std::string text = cell_text(message);
    if (text.size() > longest_message) text = text.substr(0, longest_message) + "...";
    return text;
}

// Log rules name the same message once, whichever logs hold it.
void engine::line_rule(const finding_rule& rule) {
    if (rule.kind == rule_kind::log_line) {
        for (const log_entry& entry : log_entries()) {
            std::smatch groups;
            if (!line_matches(rule, entry.message, &groups)) continue;
            template_values v;
            v.groups = &groups;
            v.message = short_message(entry.message);
            std::string where = entry.section->title + " / " + *entry.item + " / " + entry.position +
                                (entry.time.empty() ? std::string() : std::string(entry.table ? " (time " : " (") + entry.time + ")") +
                                ": " + v.message;
            add(rule, expand(rule.title, v), cell_text(where), entry.section->title, *entry.item);
        }
        return;
    }
    std::string_view where = rule.where;
    bool prefix = !where.empty() && where.back() == '*';
    for (const located_file& at : files(where)) {
        std::string tail = prefix ? at.file->name.substr(where.size() - 1) : at.file->name;
        std::string context;
        size_t number = 0;
        for (std::string_view piece : split(at.file->text, '\n')) {
            std::string line(piece);
            number++;
            // A block starts at an unindented line: an array, a path map.
            if (!line.empty() && std::isalnum(static_cast<unsigned char>(line[0]))) {
                std::string word = line.substr(0, line.find(' '));
                if (word.find('=') == std::string::npos) context = word;
            }
            std::smatch groups;
            if (!line_matches(rule, line, &groups)) continue;
            template_values v;
            v.groups = &groups;
            v.message = short_message(line);
            v.file = tail;
            v.context = context;
            std::string evidence = at.section->title + " / " + at.file->name + " / line " + std::to_string(number) +
                                   ": " + v.message;
            add(rule, expand(rule.title, v), cell_text(evidence), at.section->title, at.file->name);
        }
    }
}

double meminfo_value(std::string_view text, std::string_view key, bool* ok) {
    for (std::string_view line : split(text, '\n')) {
        if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') continue;
        double value = 0;
        if (leading_number(line.substr(key.size() + 1), &value)) return value;
    }
    *ok = false;
    return 0;
}

void engine::file_ratio_rule(const finding_rule& rule) {
    for (const located_file& at : files(rule.where)) {
        bool ok = true;
        double left = meminfo_value(at.file->text, rule.column, &ok);
        double whole = meminfo_value(at.file->text, rule.column2, &ok);
        if (!ok || whole <= 0) continue;
        double used = 1 - left / whole;
        if (used < rule.threshold || (rule.below > 0 && used >= rule.below)) continue;
        template_values v;
        v.percent = percent_text(used);
        char evidence[64];
        std::snprintf(evidence, sizeof evidence, "%.0f of %.0f", left, whole);
        add(rule, expand(rule.title, v),
            cell_text(at.section->title + " / " + at.file->name + ": " + rule.column + " " + rule.column2 + " " +
                      evidence),
            at.section->title, at.file->name);
    }
}

void engine::taint_rule(const finding_rule& rule) {
    for (const located_table& at : tables(rule.where)) {
        for (size_t i = 0; i < at.table->rows.size(); i++) {
            const content_row& r = at.table->rows[i];
            double mask = 0;
            if (!leading_number(at.table->cell(r, rule.column), &mask) || mask == 0) continue;
            template_values v;
            for (const located_table& flags : tables("Kernel Taint Flags"))
                for (const content_row& f : flags.table->rows)
                    v.flags += (v.flags.empty() ? "" : ", ") + flags.table->cell(f, "Flag") + " (" +
                               flags.table->cell(f, "Meaning") + ")";
            if (v.flags.empty()) v.flags = at.table->cell(r, "Flags");
            add(rule, expand(rule.title, v), row_evidence(at, r, i, {"Mask", "Flags"}), at.section->title,
                at.table->title);
        }
    }
}

void engine::configured_down_rule(const finding_rule& rule) {
    std::set<std::string> configured;
    for (const located_table& at : tables("Network Addresses"))
        for (const content_row& r : at.table->rows) configured.insert(at.table->cell(r, "Interface"));
    for (const located_table& at : tables(rule.where)) {
        for (size_t i = 0; i < at.table->rows.size(); i++) {
            const content_row& r = at.table->rows[i];
            const std::string& name = at.table->cell(r, rule.column);
            if (name.empty() || !configured.count(name) || has_word(at.table->cell(r, "Flags"), "UP")) continue;
            template_values v;
            v.table = at.table;
            v.row = &r;
            add(rule, expand(rule.title, v), row_evidence(at, r, i, {"Flags", "Oper State"}), at.section->title,
                at.table->title);
        }
    }
}

void engine::apply(const finding_rule& rule) {
    switch (rule.kind) {
    case rule_kind::log_line:
    case rule_kind::file_line: line_rule(rule); break;
    case rule_kind::cell_ratio:
    case rule_kind::cell_match:
    case rule_kind::cell_less: row_rule(rule); break;
    case rule_kind::file_ratio: file_ratio_rule(rule); break;
    case rule_kind::taint: taint_rule(rule); break;
    case rule_kind::configured_down: configured_down_rule(rule); break;
    }
}

std::vector<finding> engine::take() {
    std::stable_sort(found_.begin(), found_.end(),
                     [](const finding& a, const finding& b) { return a.severity < b.severity; });
    return std::move(found_);
}

}  // namespace

const char* severity_name(finding_severity s) {
    switch (s) {
    case finding_severity::critical: return "critical";
    case finding_severity::warning: return "warning";
    case finding_severity::info: return "info";
    }
    return "info";
}

std::vector<finding> find_problems(const report_content& content, const std::vector<finding_rule>& rules) {
    engine e(content);
    for (const finding_rule& rule : rules) e.apply(rule);
    return e.take();
}

bool find_report_problems(const std::string& path, std::vector<finding>* found, std::string* problem) {
    report_content content;
    if (!load_report_content(path, &content, problem)) return false;
    *found = find_problems(content);
    return true;
}

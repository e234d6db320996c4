// kdtool html: a report as one self-contained page. No script, no external
// file, no network: styles are inline, embedded files fold with <details>,
// and every text from the report is escaped.
#include "kdtool/findings.h"
#include "kdtool/kdtool_commands.h"
#include "kdtool/report_index.h"
#include "report/report_reader.h"

namespace {

constexpr const char* page_style = R"(
body{margin:0;font:14px/1.4 system-ui,sans-serif;color:#1d2330;background:#f4f5f7}
header.card{background:#1f3a5f;color:#fff;padding:16px 24px}
header.card h1{margin:0 0 8px;font-size:22px}
header.card dl{display:grid;grid-template-columns:max-content 1fr max-content 1fr;gap:4px 16px;margin:0}
header.card dt{opacity:.75}header.card dd{margin:0;font-weight:600}
.layout{display:grid;grid-template-columns:260px 1fr;align-items:start}
nav{position:sticky;top:0;max-height:100vh;overflow:auto;padding:12px 16px;background:#fff;border-right:1px solid #d8dce3}
nav h2{font-size:15px;margin:4px 0 8px}nav ol{padding-left:20px;margin:0}nav li{margin:2px 0}
nav a{color:#1f3a5f;text-decoration:none}nav a:hover{text-decoration:underline}
main{padding:8px 24px 48px;min-width:0}
section{background:#fff;border:1px solid #d8dce3;border-radius:6px;margin:16px 0;padding:8px 16px 16px;overflow-x:auto}
section h2{font-size:18px;margin:8px 0}h3{font-size:14px;margin:16px 0 6px}
table{border-collapse:collapse;margin:4px 0;font-size:13px}
th,td{border:1px solid #d8dce3;padding:3px 8px;text-align:left;vertical-align:top;white-space:pre-wrap}
thead th{background:#eef1f5}table.kv th{background:#f7f8fa;font-weight:500}
td.num{text-align:right;font-variant-numeric:tabular-nums}
details{margin:8px 0;border:1px solid #d8dce3;border-radius:4px}
summary{cursor:pointer;padding:4px 8px;background:#f7f8fa;font-family:monospace}
pre{margin:0;padding:8px;overflow:auto;font-size:12px;max-height:600px}
ul.tree{font-family:monospace;font-size:13px}
.bad{color:#fff;background:#b3261e;border-radius:3px;padding:0 6px;font-size:12px;font-weight:600;margin-left:6px}
.ok{color:#1e7b34}.empty{color:#6b7280;font-style:italic}
aside.findings{background:#fff;border-bottom:1px solid #d8dce3;padding:12px 24px}
aside.findings h2{font-size:17px;margin:0 0 8px}aside.findings ol{margin:0;padding-left:0;list-style:none}
aside.findings li{margin:6px 0;padding-left:8px;border-left:4px solid #6b7280}
aside.findings .evidence,aside.findings .next{display:block;font-size:12px;color:#4b5563}
.sev{display:inline-block;min-width:56px;color:#fff;border-radius:3px;padding:0 6px;font-size:12px;font-weight:600;margin-right:6px;text-align:center}
li.critical{border-color:#b3261e}.sev.critical{background:#b3261e}
li.warning{border-color:#b26a00}.sev.warning{background:#b26a00}
li.info{border-color:#1f5fa8}.sev.info{background:#1f5fa8}
)";

constexpr const char* bad_mark = "<span class=\"bad\">checksum does not match</span>";

void put_escaped(FILE* out, std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const char* entity = nullptr;
        switch (text[i]) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        case '\'': entity = "&#39;"; break;
        default: continue;
        }
        std::fwrite(text.data() + start, 1, i - start, out);
        std::fputs(entity, out);
        start = i + 1;
    }
    std::fwrite(text.data() + start, 1, text.size() - start, out);
}

std::string summary_value(const report_index& index, const char* name) {
    for (const auto& [column, value] : index.summary)
        if (column == name) return value;
    return std::string();
}

struct html_cell {
    std::string kind;
    std::string column;
    std::string text;
};

// Where a finding's evidence is on the page: the anchor of its table or
// file, else of its section, else none.
std::string evidence_anchor(const report_index& index, const finding& f) {
    char anchor[32];
    for (size_t s = 0; s < index.sections.size(); s++) {
        const index_section& section = index.sections[s];
        if (section.id != f.section) continue;
        std::snprintf(anchor, sizeof anchor, "s%zu", s);
        for (size_t i = section.first_item; i < section.first_item + section.item_count && i < index.items.size(); i++)
            if (index.items[i].id == f.item) {
                std::snprintf(anchor, sizeof anchor, "i%zu", i);
                break;
            }
        return anchor;
    }
    return std::string();
}

void put_findings(FILE* out, const report_index& index, const std::vector<finding>& found) {
    std::fputs("<aside class=\"findings\">\n<h2>Findings</h2>\n", out);
    if (found.empty()) std::fputs("<p class=\"empty\">No findings.</p>\n", out);
    else std::fputs("<ol>\n", out);
    for (const finding& f : found) {
        const char* severity = severity_name(f.severity);
        std::fprintf(out, "<li class=\"%s\"><span class=\"sev %s\">%s</span>", severity, severity, severity);
        put_escaped(out, f.title);
        if (f.repeats > 1) std::fprintf(out, " (%ld times)", f.repeats);
        std::string anchor = evidence_anchor(index, f);
        std::fputs("<span class=\"evidence\">", out);
        if (!anchor.empty()) std::fprintf(out, "<a href=\"#%s\">", anchor.c_str());
        put_escaped(out, f.evidence);
        if (!anchor.empty()) std::fputs("</a>", out);
        std::fputs("</span><span class=\"next\">", out);
        put_escaped(out, f.next);
        std::fputs("</span></li>\n", out);
    }
    if (!found.empty()) std::fputs("</ol>\n", out);
    std::fputs("</aside>\n", out);
}

class html_writer {
public:
    html_writer(FILE* out, const report_index& index, const std::vector<finding>& found)
        : out_(out), index_(index), found_(found) {}
    void head(const report_source& source);
    void on(report_event_kind kind, const report_event& e);
    void tail();

private:
    const index_item* item() const {
        return item_ >= 0 && static_cast<size_t>(item_) < index_.items.size() ? &index_.items[item_] : nullptr;
    }
    void mark_item() {
        if (item() && !item()->ok) std::fputs(bad_mark, out_);
    }
    void row_end();

    FILE* out_;
    const report_index& index_;
    const std::vector<finding>& found_;
    long section_ = -1;
    long item_ = -1;
    long rows_ = 0;
    bool key_value_ = false;
    std::vector<html_cell> row_;
};

void html_writer::head(const report_source& source) {
    std::string vendor = summary_value(index_, "System Vendor");
    std::string model = summary_value(index_, "System Model");
    std::fputs("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>", out_);
    put_escaped(out_, "Sifterra report: " + vendor + " " + model);
    std::fprintf(out_, "</title>\n<style>%s</style>\n</head>\n<body>\n", page_style);
    put_findings(out_, index_, found_);
    std::fputs("<header class=\"card\">\n<h1>", out_);
    put_escaped(out_, vendor + " " + model);
    std::fputs("</h1>\n<dl>\n", out_);
    std::string os = summary_value(index_, "OS Type");
    std::string issue = summary_value(index_, "OS Issue");
    if (!issue.empty() && issue != "Unknown") os += " " + issue;
    std::string bios = summary_value(index_, "BIOS Version");
    std::string bios_date = summary_value(index_, "BIOS Date");
    if (!bios_date.empty() && bios_date != "Unknown") bios += " (" + bios_date + ")";
    const std::pair<const char*, std::string> fields[] = {
        {"Vendor", vendor},
        {"Model", model},
        {"Serial number", summary_value(index_, "System Serial Number")},
        {"Host", summary_value(index_, "Computer Name")},
        {"Operating system", os},
        {"Kernel", summary_value(index_, "OS Version")},
        {"BIOS", bios},
        {"Run date", source.from_container ? stamp_text(source.stamp) : "not recorded (plain report)"},
        {"Checksums", index_.mismatches == 0 ? "all match" : std::to_string(index_.mismatches) + " do not match"},
    };
    for (const auto& [label, value] : fields) {
        std::fprintf(out_, "<dt>%s</dt><dd>", label);
        put_escaped(out_, value.empty() ? "Unknown" : value);
        std::fputs("</dd>\n", out_);
    }
    std::fputs("</dl>\n</header>\n<div class=\"layout\">\n<nav>\n<h2>Sections</h2>\n<ol>\n", out_);
    for (size_t i = 0; i < index_.sections.size(); i++) {
        std::fprintf(out_, "<li><a href=\"#s%zu\">", i);
        put_escaped(out_, index_.sections[i].id);
        std::fputs("</a>", out_);
        if (!index_.sections[i].ok) std::fputs("<span class=\"bad\">!</span>", out_);
        std::fputs("</li>\n", out_);
    }
    std::fputs("</ol>\n</nav>\n<main>\n", out_);
}

void html_writer::row_end() {
    rows_++;
    if (key_value_) {
        for (const html_cell& cell : row_) {
            std::fputs("<tr><th>", out_);
            put_escaped(out_, cell.column);
            std::fputs(cell.kind == "DEC" || cell.kind == "HEX" ? "</th><td class=\"num\">" : "</th><td>", out_);
            put_escaped(out_, cell.text);
            std::fputs("</td></tr>\n", out_);
        }
    } else {
        if (rows_ == 1) {
            std::fputs("<thead><tr>", out_);
            for (const html_cell& cell : row_) {
                std::fputs("<th>", out_);
                put_escaped(out_, cell.column);
                std::fputs("</th>", out_);
            }
            std::fputs("</tr></thead>\n<tbody>\n", out_);
        }
        std::fputs("<tr>", out_);
        for (const html_cell& cell : row_) {
            std::fputs(cell.kind == "DEC" || cell.kind == "HEX" ? "<td class=\"num\">" : "<td>", out_);
            put_escaped(out_, cell.text);
            std::fputs("</td>", out_);
        }
        std::fputs("</tr>\n", out_);
    }
    row_.clear();
}

void html_writer::on(report_event_kind kind, const report_event& e) {
    switch (kind) {
    case report_event_kind::section_start:
        section_++;
        std::fprintf(out_, "<section id=\"s%ld\">\n<h2>", section_);
        put_escaped(out_, e.id);
        if (static_cast<size_t>(section_) < index_.sections.size()) {
            const index_section& s = index_.sections[section_];
            if (!s.ok) std::fputs(bad_mark, out_);
            std::fputs("</h2>\n", out_);
            if (s.item_count == 0) std::fputs("<p class=\"empty\">Nothing gathered.</p>\n", out_);
        } else {
            std::fputs("</h2>\n", out_);
        }
        break;
    case report_event_kind::section_end: std::fputs("</section>\n", out_); break;
    case report_event_kind::table_start:
        item_++;
        rows_ = 0;
        key_value_ = item() && item()->rows == 1;
        std::fprintf(out_, "<h3 id=\"i%ld\">", item_);
        put_escaped(out_, e.id);
        mark_item();
        std::fprintf(out_, "</h3>\n<table%s>\n", key_value_ ? " class=\"kv\"" : "");
        break;
    case report_event_kind::cell:
        row_.push_back(html_cell{std::string(e.name), std::string(e.id),
                                 std::string(e.text) + (e.text_cut ? " [value cut]" : "")});
        break;
    case report_event_kind::row_end: row_end(); break;
    case report_event_kind::table_end:
        if (rows_ == 0) std::fputs("<tr><td class=\"empty\">no rows</td></tr>\n", out_);
        std::fputs(rows_ > 0 && !key_value_ ? "</tbody>\n</table>\n" : "</table>\n", out_);
        break;
    case report_event_kind::file_start:
        item_++;
        std::fprintf(out_, "<details id=\"i%ld\">\n<summary>", item_);
        put_escaped(out_, e.id);
        std::fprintf(out_, " (%llu bytes)", static_cast<unsigned long long>(item() ? item()->size : 0));
        mark_item();
        std::fputs("</summary>\n<pre>", out_);
        break;
    case report_event_kind::file_data: put_escaped(out_, e.text); break;
    case report_event_kind::file_end: std::fputs("</pre>\n</details>\n", out_); break;
    case report_event_kind::tree_start:
        item_++;
        std::fputs("<h3>", out_);
        put_escaped(out_, e.id);
        mark_item();
        std::fputs("</h3>\n<ul class=\"tree\">\n", out_);
        break;
    case report_event_kind::tree_node_start:
        std::fputs("<li>", out_);
        put_escaped(out_, e.name);
        if (e.has_id) {
            std::fputs(": ", out_);
            put_escaped(out_, e.id);
        }
        std::fputs("\n<ul>\n", out_);
        break;
    case report_event_kind::tree_leaf:
        std::fputs("<li>", out_);
        put_escaped(out_, e.has_id ? e.id : e.name);
        std::fputs(": ", out_);
        put_escaped(out_, e.text);
        std::fputs("</li>\n", out_);
        break;
    case report_event_kind::tree_node_end: std::fputs("</ul></li>\n", out_); break;
    case report_event_kind::tree_end: std::fputs("</ul>\n", out_); break;
    default: break;
    }
}

void html_writer::tail() { std::fputs("</main>\n</div>\n</body>\n</html>\n", out_); }

}  // namespace

int kdtool_html(const kdtool_args& args, const kdtool_io& io) {
    std::string name;
    std::string out_name;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "-o" && i + 1 < args.size() && out_name.empty())
            out_name = args[++i];
        else if (name.empty() && !args[i].empty() && args[i][0] != '-')
            name = args[i];
        else
            return kdtool_usage(io);
    }
    if (name.empty() || out_name.empty()) return kdtool_usage(io);
    workspace ws;
    report_source source;
    report_index index;
    int rc = open_indexed_report(ws, name, "report", io, index_options{true, false}, &source, &index);
    if (rc != exit_good) return rc;
    FILE* in = std::fopen(source.path.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    std::string problem;
    bool to_stdout = out_name == "-";
    FILE* out = to_stdout ? io.out : open_output(out_name, &problem);
    if (!out) {
        std::fclose(in);
        return kdtool_fail(io, problem);
    }
    std::vector<finding> found;
    find_report_problems(source.path, &found, &problem);
    problem.clear();
    html_writer writer(out, index, found);
    writer.head(source);
    report_reader reader(in);
    report_event_kind kind;
    while ((kind = reader.next()) != report_event_kind::done && kind != report_event_kind::error)
        writer.on(kind, reader.event());
    std::fclose(in);
    writer.tail();
    bool read_ok = kind != report_event_kind::error;
    if (to_stdout) {
        if (std::fflush(out) != 0) return kdtool_fail(io, "cannot write standard output");
    } else if (!close_output(out, out_name, read_ok, &problem)) {
        if (read_ok) return kdtool_fail(io, problem);
    }
    if (!read_ok) return kdtool_fail(io, name + ": not well-formed: " + reader.error());
    return exit_good;
}

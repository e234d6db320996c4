// kdtool summary: one row per container (host, vendor, model, serial number,
// BIOS version, operating system, kernel, run time, case id) as a table,
// CSV or JSON, for a case of many machines. Containers are read one at a
// time and only up to the end of their system summary, so memory does not
// grow with their number or size; a damaged one is named and passed over.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "kdtool/findings.h"
#include "kdtool/json_text.h"
#include "kdtool/kdtool_commands.h"
#include "report/report_reader.h"

namespace {

// Counts of findings by severity, once a report's findings can be counted.
struct finding_counts {
    long critical = 0, warning = 0, info = 0;
};

// The findings of the report at path, counted by severity; none when the
// report cannot be read whole. One report is held at a time.
std::optional<finding_counts> count_findings(const std::string& path) {
    std::vector<finding> found;
    std::string problem;
    if (!find_report_problems(path, &found, &problem)) return std::nullopt;
    finding_counts counts;
    for (const finding& f : found) {
        if (f.severity == finding_severity::critical) ++counts.critical;
        else if (f.severity == finding_severity::warning) ++counts.warning;
        else ++counts.info;
    }
    return counts;
}

struct summary_row {
    std::string file, host, vendor, model, serial, bios, os, kernel, run_time, case_id;
    std::optional<finding_counts> findings;
};

// Column headings, in row order; the findings columns come last.
const char* const headings[] = {"File", "Host", "Vendor", "Model", "Serial", "BIOS Version",
                                "OS", "Kernel", "Run Time", "Case ID"};
const char* const json_keys[] = {"file", "host", "vendor", "model", "serial", "bios_version",
                                 "os", "kernel", "run_time", "case_id"};
const char* const finding_headings[] = {"Critical", "Warning", "Info"};
const char* const finding_keys[] = {"critical", "warning", "info"};
constexpr size_t column_count = sizeof headings / sizeof headings[0];

std::vector<std::string> cells_of(const summary_row& row) {
    std::vector<std::string> cells = {row.file, row.host,   row.vendor,   row.model,    row.serial,
                                      row.bios, row.os,     row.kernel,   row.run_time, row.case_id};
    if (row.findings)
        for (long count : {row.findings->critical, row.findings->warning, row.findings->info})
            cells.push_back(std::to_string(count));
    return cells;
}

constexpr size_t table_cell_cap = 48;  // longer values are cut in the table (not in CSV or JSON)

// A value for a terminal: control characters become '?', and it is cut.
std::string for_table(const std::string& value) {
    std::string shown;
    for (char c : value) {
        if (shown.size() >= table_cell_cap) {
            shown.replace(table_cell_cap - 3, std::string::npos, "...");
            break;
        }
        unsigned char byte = static_cast<unsigned char>(c);
        shown += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return shown;
}

// A CSV field (RFC 4180): quoted when it holds a separator, a quote or a
// line end. A value that a spreadsheet would take as a formula gets a
// leading apostrophe, since machine-supplied texts land here.
std::string for_csv(const std::string& value) {
    std::string field;
    if (!value.empty() && std::strchr("=+-@\t\r", value[0])) field.push_back('\'');
    field.append(value);
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string for_json(const std::string& value) { return json_string(value); }

std::string value_of(const std::vector<std::pair<std::string, std::string>>& summary, const char* column) {
    for (const auto& [name, value] : summary)
        if (name == column) return value;
    return std::string();
}

// Reads the summary of one container or plain report into row. Prints the
// problem and gives exit_damaged when there is none.
int read_row(const std::string& name, const kdtool_io& io, summary_row* row) {
    workspace ws;  // one per container: its extracted report goes with it
    report_source source;
    int rc = open_report_source(ws, name, "report", io, &source);
    if (rc != exit_good) return rc;
    FILE* in = std::fopen(source.path.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    report_reader reader(in);
    report_event_kind kind;
    while ((kind = reader.next()) != report_event_kind::done && kind != report_event_kind::error &&
           kind != report_event_kind::section_end) {
    }
    std::fclose(in);
    if (kind == report_event_kind::error) return kdtool_fail(io, name + ": not well-formed: " + reader.error());
    const auto& summary = reader.summary();
    if (summary.empty()) return kdtool_fail(io, name + ": no system summary");
    std::string os = value_of(summary, "OS Type");
    std::string issue = value_of(summary, "OS Issue");
    if (!issue.empty() && issue != "Unknown") os += " " + issue;
    *row = {name,
            value_of(summary, "Computer Name"),
            value_of(summary, "System Vendor"),
            value_of(summary, "System Model"),
            value_of(summary, "System Serial Number"),
            value_of(summary, "BIOS Version"),
            os,
            value_of(summary, "OS Version"),
            source.from_container ? stamp_text(source.stamp) : std::string(),
            value_of(summary, "Case ID"),
            count_findings(source.path)};
    return exit_good;
}

bool is_report_name(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return extension == ".KD2" || extension == ".XML";
}

// The files named, folders replaced by the containers (.KD2) and plain
// reports (.XML) anywhere under them, in name order. Links are not followed.
std::vector<std::string> files_of(const kdtool_args& names, const kdtool_io& io, bool* missing) {
    std::vector<std::string> files;
    for (const std::string& name : names) {
        std::error_code ec;
        if (!std::filesystem::is_directory(name, ec)) {
            files.push_back(name);
            continue;
        }
        std::vector<std::string> found;
        auto options = std::filesystem::directory_options::skip_permission_denied;
        for (std::filesystem::recursive_directory_iterator it(name, options, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->is_regular_file(ec) && !it->is_symlink(ec) && is_report_name(it->path()))
                found.push_back(it->path().string());
        }
        if (ec) {
            kdtool_fail(io, name + ": cannot be read completely: " + ec.message());
            *missing = true;
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

// Writers: CSV and JSON rows go out as they come; the table waits for all
// rows to know its widths (it holds only their short cells).
class summary_writer {
public:
    summary_writer(FILE* out, const std::string& format) : out_(out), format_(format) {}

    void add(const summary_row& row) {
        std::vector<std::string> cells = cells_of(row);
        if (format_ == "table") {
            for (std::string& cell : cells) cell = for_table(cell);
            rows_.push_back(std::move(cells));
        } else if (format_ == "csv") {
            if (rows_written_ == 0) put_csv_line(heading_cells(row.findings.has_value()));
            put_csv_line(cells);
        } else {
            std::fputs(rows_written_ == 0 ? "[\n" : ",\n", out_);
            std::fputc('{', out_);
            for (size_t i = 0; i < cells.size(); ++i) {
                const char* key = i < column_count ? json_keys[i] : finding_keys[i - column_count];
                std::fprintf(out_, "%s\"%s\": ", i ? ", " : "", key);
                if (i < column_count)
                    std::fputs(for_json(cells[i]).c_str(), out_);
                else
                    std::fputs(cells[i].c_str(), out_);
            }
            std::fputc('}', out_);
        }
        ++rows_written_;
    }

    void finish() {
        if (format_ == "json") std::fputs(rows_written_ == 0 ? "[]\n" : "\n]\n", out_);
        if (format_ == "csv" && rows_written_ == 0) put_csv_line(heading_cells(false));
        if (format_ == "table") put_table();
    }

private:
    static std::vector<std::string> heading_cells(bool findings) {
        std::vector<std::string> cells(std::begin(headings), std::end(headings));
        if (findings) cells.insert(cells.end(), std::begin(finding_headings), std::end(finding_headings));
        return cells;
    }

    void put_csv_line(const std::vector<std::string>& cells) {
        for (size_t i = 0; i < cells.size(); ++i) std::fprintf(out_, "%s%s", i ? "," : "", for_csv(cells[i]).c_str());
        std::fputs("\r\n", out_);
    }

    void put_table() {
        bool findings = !rows_.empty() && rows_.front().size() > column_count;
        std::vector<std::string> heading = heading_cells(findings);
        std::vector<size_t> widths(heading.size());
        for (size_t i = 0; i < heading.size(); ++i) widths[i] = heading[i].size();
        for (const auto& row : rows_)
            for (size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
        auto put_line = [&](const std::vector<std::string>& cells) {
            std::string line;
            for (size_t i = 0; i < widths.size(); ++i) {
                std::string cell = i < cells.size() ? cells[i] : "";
                line += cell;
                if (i + 1 < widths.size()) line += std::string(widths[i] - cell.size() + 2, ' ');
            }
            line.erase(line.find_last_not_of(' ') + 1);
            std::fprintf(out_, "%s\n", line.c_str());
        };
        put_line(heading);
        for (const auto& row : rows_) put_line(row);
    }

    FILE* out_;
    std::string format_;
    std::vector<std::vector<std::string>> rows_;
    size_t rows_written_ = 0;
};

}  // namespace

int kdtool_summary(const kdtool_args& args, const kdtool_io& io) {
    std::string format = "table";
    kdtool_args names;
    for (const std::string& arg : args) {
        if (arg == "--csv" || arg == "--json")
            format = arg.substr(2);
        else if (!arg.empty() && arg[0] == '-')
            return kdtool_usage(io);
        else
            names.push_back(arg);
    }
    if (names.empty()) return kdtool_usage(io);
    bool damaged = false;
    summary_writer writer(io.out, format);
    for (const std::string& file : files_of(names, io, &damaged)) {
        summary_row row;
        if (read_row(file, io, &row) == exit_good)
            writer.add(row);
        else
            damaged = true;
    }
    writer.finish();
    if (std::fflush(io.out) != 0 || std::ferror(io.out)) return kdtool_fail(io, "cannot write standard output");
    return damaged ? exit_damaged : exit_good;
}

#include "probes/reader_probe.h"

#include <algorithm>
#include <string>
#include <vector>
#include <sys/wait.h>

#include "base/run_context.h"
#include "probes/bounded_command.h"
#include "probes/system_files.h"

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

capped_file_probe::capped_file_probe(probe_section& section, const char* probe_name, const char* file_path,
                                     int32_t probe_level, size_t file_cap)
    : probe(section, probe_name, probe_level), path(file_path), cap(file_cap) {}

bool capped_file_probe::test() {
    bool readable = system_file_readable(path);
    debug_printf("%s: %s\n", path, readable ? "true" : "false");
    return readable;
}

bool capped_file_probe::run() { return embed_capped(run_context.report, path, cap); }

tool_probe::tool_probe(probe_section& section, const char* probe_name, const tool_command& tool_command,
                       int32_t probe_level)
    : probe(section, probe_name, probe_level), command(tool_command) {}

bool tool_probe::test() {
    const char* tool = command.argv[0];
    if (locate_tool(tool).empty()) {
        debug_printf("%s: no %s here\n", name, tool);
        return false;
    }
    if (command.ready && !command.ready()) {
        debug_printf("%s: what %s reads is not there, not run\n", name, tool);
        return false;
    }
    return true;
}

bool tool_probe::run() {
    std::string path = locate_tool(command.argv[0]);
    if (path.empty()) return false;
    std::vector<const char*> argv{path.c_str()};
    for (const char* const* arg = command.argv + 1; *arg; ++arg) argv.push_back(*arg);
    argv.push_back(nullptr);
    command_result result = run_tool(argv.data(), tool_timeout_ms, tool_output_cap);
    debug_printf("%s: %s\n", name, describe_result(result).c_str());
    if (!result.errors.empty()) debug_printf("%s: error output:\n%s\n", name, result.errors.c_str());
    if (!result.started) return false;
    std::string output = result.output;
    if (result.timed_out) {
        if (!output.empty() && output.back() != '\n') output += '\n';
        output += "--- the command did not finish within " + std::to_string(tool_timeout_ms / 1000) +
                  " seconds: what it printed until then is above ---\n";
    }
    embed_text(run_context.report, name, output, result.cut, tool_output_cap);
    // Output cut at the cap is still output; the tool was stopped for it.
    if (result.cut) return true;
    return !result.timed_out && WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0;
}

reader_probe::reader_probe(probe_section& section, const char* probe_name, int32_t probe_level,
                           available_fn available, write_fn write)
    : probe(section, probe_name, probe_level), available_(available), write_(write) {}

bool reader_probe::test() {
    bool there = !available_ || available_();
    debug_printf("%s: %s\n", name, there ? "true" : "false");
    return there;
}

bool reader_probe::run() { return write_(run_context.report); }

#include "probes/reader_probe.h"

#include <algorithm>
#include <string>
#include <vector>
#include <sys/wait.h>

#include "base/run_context.h"
#include "system/bounded_command.h"
#include "system/system_files.h"

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

#include "probes/log_tail_probe.h"

#include "base/run_context.h"
#include "probes/command_pipe.h"
#include "system/system_files.h"

log_tail_probe::log_tail_probe(probe_section& section, const char* probe_name, const char* command_line,
                               int32_t probe_level, size_t byte_cap)
    : list_probe(section, probe_name, command_line, probe_level), cap(byte_cap) {}

bool log_tail_probe::run() {
    if (!prepare_script_files(command)) {
        debug_printf("%s: shared script files are unsafe, not run\n", name);
        return false;
    }
    FILE* pipe = open_script(command);
    if (!pipe) return false;
    embed_newest(run_context.report, name, pipe, cap);
    return command_status_ok(name, close_command(pipe));
}

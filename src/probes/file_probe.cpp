#include "probes/file_probe.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "base/run_context.h"
#include "probes/command_pipe.h"
#include "report/report.h"

file_probe::file_probe(probe_section& section, const char* probe_name, const char* file_path,
                       int32_t probe_level)
    : probe(section, probe_name, probe_level), path(file_path) {}

bool file_probe::test() {
    bool readable = access(path, R_OK) == 0;
    if (!readable) debug_printf("%s: %s\n", path, std::strerror(errno));
    debug_printf("%s: %s\n", path, readable ? "true" : "false");
    return readable;
}

bool file_probe::run() {
    debug_printf("file_probe: %s\n", path);
    return embed_file(run_context.report, path);
}

list_probe::list_probe(probe_section& section, const char* probe_name, const char* command_line,
                       int32_t probe_level)
    : probe(section, probe_name, probe_level), command(command_line) {}

bool list_probe::run() {
    if (!prepare_script_files(command)) {
        debug_printf("%s: shared script files are unsafe, not run\n", name);
        return false;
    }
    FILE* pipe = open_command(command);
    if (!pipe) return false;
    embed_stream(run_context.report, name, pipe);
    int status = close_command(pipe);
    if (status < 0) {
        debug_printf("pclose: %s\n", std::strerror(errno));
        return false;
    }
    if (WIFEXITED(status)) {
        debug_printf("%s: rc = %d\n", name, WEXITSTATUS(status));
        return WEXITSTATUS(status) == 0;
    }
    if (WIFSIGNALED(status)) {
        debug_printf("%s: terminated by %s\n", name, strsignal(WTERMSIG(status)));
        return false;
    }
    debug_printf("%s: status = %d\n", name, status);
    return true;
}

#include "probes/file_probe.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_context.h"
#include "probes/command_pipe.h"
#include "report/report.h"
#include "system/system_files.h"

file_probe::file_probe(probe_section& section, const char* probe_name, const char* file_path,
                       int32_t probe_level)
    : probe(section, probe_name, probe_level), path(file_path) {}

namespace {

// Is path (on the machine) a readable regular file? A FIFO, a device or a
// link to one is never embedded: it could block the run or never end.
bool readable_regular_file(const char* path) {
    const std::string real = system_path(path);
    if (access(real.c_str(), R_OK) != 0) {
        debug_printf("%s: %s\n", path, std::strerror(errno));
        return false;
    }
    struct stat info;
    if (stat(real.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        debug_printf("%s: not a regular file\n", path);
        return false;
    }
    return true;
}

// Embeds the file under its path through the capped reader: non-blocking,
// regular files only, at most the cap, a cut file ending in the marker line.
bool embed_machine_file(const char* path) {
    std::string text;
    bool cut = false;
    if (!read_capped(path, default_file_cap, text, &cut)) return false;
    return embed_text(run_context.report, path, text, cut, default_file_cap);
}

}  // namespace

bool file_probe::test() {
    bool readable = readable_regular_file(path);
    debug_printf("%s: %s\n", path, readable ? "true" : "false");
    return readable;
}

bool file_probe::run() {
    debug_printf("file_probe: %s\n", path);
    return embed_machine_file(path);
}

list_probe::list_probe(probe_section& section, const char* probe_name, const char* command_line,
                       int32_t probe_level)
    : probe(section, probe_name, probe_level), command(command_line) {}

bool list_probe::run() {
    if (!prepare_script_files(command)) {
        debug_printf("%s: shared script files are unsafe, not run\n", name);
        return false;
    }
    FILE* pipe = open_script(command);
    if (!pipe) return false;
    embed_stream(run_context.report, name, pipe);
    return command_status_ok(name, close_command(pipe));
}

bool command_status_ok(const char* name, int status) {
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

namespace {

// The readable regular files of a folder, as paths, in name order; false
// when the folder cannot be opened.
bool folder_files(const char* folder, std::vector<std::string>& paths) {
    DIR* dir = opendir(system_path(folder).c_str());
    if (!dir) return false;
    while (const dirent* entry = readdir(dir)) {
        std::string path = std::string(folder) + "/" + entry->d_name;
        const std::string real = system_path(path);
        struct stat info;
        if (stat(real.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(real.c_str(), R_OK) == 0)
            paths.push_back(path);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return true;
}

}  // namespace

folder_probe::folder_probe(probe_section& section, const char* probe_name, const char* folder_path,
                           int32_t probe_level)
    : probe(section, probe_name, probe_level), folder(folder_path) {}

bool folder_probe::test() {
    std::vector<std::string> paths;
    if (!folder_files(folder, paths)) debug_printf("%s: %s\n", folder, std::strerror(errno));
    bool found = !paths.empty();
    debug_printf("%s: %s\n", folder, found ? "true" : "false");
    return found;
}

bool folder_probe::run() {
    debug_printf("folder_probe: %s\n", folder);
    std::vector<std::string> paths;
    folder_files(folder, paths);
    bool embedded = false;
    for (const std::string& path : paths)
        if (embed_machine_file(path.c_str())) embedded = true;
    return embedded;
}

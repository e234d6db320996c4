#include "probes/command_pipe.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/run_context.h"

namespace {

FILE* popen_for_reading(const char* command) { return popen(command, "r"); }

command_open_fn command_opener = popen_for_reading;
command_close_fn command_closer = pclose;

const char* const fixed_script_files[script_file_count] = {
    "/tmp/sifterra.log",
    "/tmp/modules.tmp",
    "/tmp/packages.log",
};
std::string script_files[script_file_count] = {
    fixed_script_files[0],
    fixed_script_files[1],
    fixed_script_files[2],
};

const char* const default_script_shell = "/bin/bash";
std::string script_shell = default_script_shell;

// The text as one single-quoted shell word.
std::string quoted(const char* text) {
    std::string word = "'";
    for (const char* c = text; *c; ++c) {
        if (*c == '\'')
            word += "'\\''";
        else
            word += *c;
    }
    return word + "'";
}

// A planted file may reappear between removal and creation; try a few times.
constexpr int create_attempts = 3;

// A file owned by root is as safe as our own: in the sticky /tmp nobody else
// can remove or replace it.
bool is_safe_single_file(const struct stat& info) {
    bool trusted_owner = info.st_uid == geteuid() || info.st_uid == 0;
    return S_ISREG(info.st_mode) && trusted_owner && info.st_nlink == 1;
}

bool remove_foreign(const char* path, const struct stat& info) {
    int rc = S_ISDIR(info.st_mode) ? rmdir(path) : unlink(path);
    if (rc == 0 || errno == ENOENT) return true;
    debug_printf("%s: cannot remove: %s\n", path, std::strerror(errno));
    return false;
}

bool create_fresh(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

FILE* open_command(const char* command) { return command_opener(command); }

int close_command(FILE* pipe) { return command_closer(pipe); }

void set_command_pipe(command_open_fn open, command_close_fn close) {
    command_opener = open ? open : popen_for_reading;
    command_closer = close ? close : pclose;
}

std::string script_command_line(const char* script, bool as_test) {
    bool have_shell = access(script_shell.c_str(), X_OK) == 0;
    if (!have_shell && !as_test) return script;
    std::string line = "exec " + quoted(have_shell ? script_shell.c_str() : "/bin/sh") + " -c " + quoted(script);
    return as_test ? line + " test" : line;
}

FILE* open_script(const char* script) { return open_command(script_command_line(script, false).c_str()); }

void set_script_shell(const char* path) { script_shell = path ? path : default_script_shell; }

const char* script_file_path(int file) {
    if (file < 0 || file >= script_file_count) return nullptr;
    return script_files[file].c_str();
}

void set_script_file_paths(const char* error_log, const char* module_copy,
                           const char* package_copy) {
    const char* given[script_file_count] = {error_log, module_copy, package_copy};
    for (int i = 0; i < script_file_count; ++i)
        script_files[i] = given[i] ? given[i] : fixed_script_files[i];
}

bool secure_script_file(const char* path) {
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        struct stat info;
        if (lstat(path, &info) == 0) {
            if (is_safe_single_file(info)) return true;
            if (!remove_foreign(path, info)) return false;
            debug_printf("%s: not a file of ours, replaced\n", path);
        } else if (errno != ENOENT) {
            debug_printf("%s: %s\n", path, std::strerror(errno));
            return false;
        }
        if (create_fresh(path)) return true;
        if (errno != EEXIST) {
            debug_printf("%s: cannot create: %s\n", path, std::strerror(errno));
            return false;
        }
    }
    debug_printf("%s: keeps reappearing, not secured\n", path);
    return false;
}

bool prepare_script_files(const char* command) {
    bool safe = true;
    for (const std::string& path : script_files)
        if (!secure_script_file(path.c_str()) && command && std::strstr(command, path.c_str()))
            safe = false;
    return safe;
}

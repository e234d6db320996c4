#include "probes/command_pipe.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/run_context.h"
#include "system/bounded_command.h"

namespace {

// The commands started and not yet closed, with their processes.
struct open_pipe {
    FILE* stream;
    pid_t pid;
};
std::vector<open_pipe> open_pipes;

// What a command writes on its standard error belongs in the debug log, not
// between the progress lines; without a log file it goes where ours goes.
int child_error_fd() {
    int fd = debug_log ? fileno(debug_log) : -1;
    return fd >= 0 ? fd : STDERR_FILENO;
}

// Like popen(command, "r"), but the shell gets the fixed child environment
// whatever this process was started with: a search path of the system's
// command folders only, so no planted tool in the working folder runs.
FILE* spawn_for_reading(const char* command) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    const char* const argv[] = {"/bin/sh", "-c", command, nullptr};
    std::fflush(debug_log);
    pid_t pid = spawn_child(argv, fds[1], child_error_fd(), false);
    int saved = errno;
    close(fds[1]);
    FILE* stream = pid > 0 ? fdopen(fds[0], "r") : nullptr;
    if (!stream) {
        close(fds[0]);
        if (pid > 0) waitpid(pid, nullptr, 0);
        errno = saved;
        return nullptr;
    }
    // A stream closed behind our back (a test's own close) left its entry;
    // the same address now belongs to this one.
    for (size_t i = 0; i < open_pipes.size(); ++i) {
        if (open_pipes[i].stream != stream) continue;
        waitpid(open_pipes[i].pid, nullptr, WNOHANG);
        open_pipes.erase(open_pipes.begin() + static_cast<long>(i));
        break;
    }
    open_pipes.push_back({stream, pid});
    return stream;
}

// Like pclose: closes the stream, waits for the command and gives its wait
// status. A stream of a replaced opener (popen in a test) gets pclose.
int close_spawned(FILE* stream) {
    for (size_t i = 0; i < open_pipes.size(); ++i) {
        if (open_pipes[i].stream != stream) continue;
        pid_t pid = open_pipes[i].pid;
        open_pipes.erase(open_pipes.begin() + static_cast<long>(i));
        std::fclose(stream);
        int status = 0;
        pid_t done;
        do {
            done = waitpid(pid, &status, 0);
        } while (done < 0 && errno == EINTR);
        return done == pid ? status : -1;
    }
    return pclose(stream);
}

command_open_fn command_opener = spawn_for_reading;
command_close_fn command_closer = close_spawned;

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
// What the scripts get instead of a shared file that cannot be used: a file
// in a folder of this run's own (empty while the shared one serves).
std::string private_files[script_file_count];
std::string private_folder;          // made on first need
std::string private_folder_parent = "/tmp";
int refused_commands = 0;

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

// A file of this run's own for shared file number i, in a folder that only
// this user can enter (mkdtemp makes it fresh, mode 0700). Empty when even
// that cannot be made.
std::string private_file(int i) {
    if (!private_files[i].empty()) return private_files[i];
    if (private_folder.empty()) {
        std::string pattern = private_folder_parent + "/sifterra-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            debug_printf("%s: cannot make a private folder: %s\n", pattern.c_str(), std::strerror(errno));
            return "";
        }
        private_folder = pattern;
    }
    const std::string& shared = script_files[i];
    std::string path = private_folder + shared.substr(shared.rfind('/'));
    if (!create_fresh(path.c_str())) {
        debug_printf("%s: cannot create: %s\n", path.c_str(), std::strerror(errno));
        return "";
    }
    private_files[i] = path;
    return path;
}

// Is the shared file there for us to append to? A file kept because root
// owns it is not, for another user.
bool shared_file_usable(const std::string& path) {
    if (!secure_script_file(path.c_str())) return false;
    if (access(path.c_str(), W_OK) == 0) return true;
    debug_printf("%s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

}  // namespace

FILE* open_command(const char* command) { return command_opener(command); }

int close_command(FILE* pipe) { return command_closer(pipe); }

void set_command_pipe(command_open_fn open, command_close_fn close) {
    command_opener = open ? open : spawn_for_reading;
    command_closer = close ? close : close_spawned;
}

std::string with_script_files(const char* command) {
    std::string text = command ? command : "";
    for (int i = 0; i < script_file_count; ++i) {
        const std::string& from = script_files[i];
        const std::string& to = private_files[i];
        if (to.empty() || from.empty()) continue;
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    return text;
}

std::string script_command_line(const char* script, bool as_test) {
    const std::string text = with_script_files(script);
    bool have_shell = access(script_shell.c_str(), X_OK) == 0;
    if (!have_shell && !as_test) return text;
    std::string line = "exec " + quoted(have_shell ? script_shell.c_str() : "/bin/sh") + " -c " + quoted(text.c_str());
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
    for (int i = 0; i < script_file_count; ++i) {
        script_files[i] = given[i] ? given[i] : fixed_script_files[i];
        private_files[i].clear();
    }
    private_folder.clear();
    refused_commands = 0;
}

void set_private_folder_parent(const char* folder) { private_folder_parent = folder ? folder : "/tmp"; }

const char* private_script_file_path(int file) {
    if (file < 0 || file >= script_file_count) return nullptr;
    return private_files[file].c_str();
}

int refused_script_count() { return refused_commands; }

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
    for (int i = 0; i < script_file_count; ++i) {
        if (!private_files[i].empty()) continue;  // decided earlier in the run
        const std::string& path = script_files[i];
        if (shared_file_usable(path)) continue;
        std::string own = private_file(i);
        if (!own.empty()) {
            debug_printf("%s: cannot be used; the scripts write %s instead\n", path.c_str(), own.c_str());
            continue;
        }
        if (command && std::strstr(command, path.c_str())) safe = false;
    }
    if (!safe) ++refused_commands;
    return safe;
}

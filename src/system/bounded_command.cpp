#include "system/bounded_command.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/run_context.h"

namespace {

// The folders searched for tools, in the order of root's usual search path.
const char* const system_tool_folders[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin",
                                          "/bin", nullptr};
const char* const* tool_folders = system_tool_folders;
// The whole environment of a tool: the same search path, and the C locale
// so that its output does not depend on the user's language.
const char* const tool_environment[] = {
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "LC_ALL=C",
    nullptr,
};
// Signals the child gets back at their default action whatever this process did with them.
const int reset_signals[] = {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGVTALRM};

constexpr size_t error_text_cap = 4096;
// How long a killed child may take to be reaped before it is left behind.
constexpr int reap_wait_ms = 500;
constexpr int exit_poll_ms = 5;

command_runner_fn runner = run_bounded;
tool_finder_fn finder = find_tool;

int remaining_ms(long long deadline) {
    long long left = deadline - monotonic_ms();
    return left < 0 ? 0 : left > 60000 ? 60000 : static_cast<int>(left);
}

// Reaps pid within wait_ms; false when it is still there.
bool reap(pid_t pid, int* status, int wait_ms) {
    const long long end = monotonic_ms() + wait_ms;
    for (;;) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return true;
        if (monotonic_ms() >= end) return false;
        poll(nullptr, 0, exit_poll_ms);
    }
}

// Kills the child's group while the child (at worst a zombie) still holds
// the group's number, so no other group can be hit; then reaps it.
bool end_group(pid_t pid, int* status) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // in case the child never got its own group
    if (reap(pid, status, reap_wait_ms)) return true;
    debug_printf("child %d does not die; left behind\n", static_cast<int>(pid));
    return false;
}

// Has the child ended? The child is not reaped.
bool has_exited(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Appends what one read gives to text, up to cap; more sets cut. False at
// end of input or on a read error.
bool read_into(int fd, std::string& text, size_t cap, bool& cut) {
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    size_t room = text.size() < cap ? cap - text.size() : 0;
    size_t kept = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
    text.append(buffer, kept);
    if (kept < static_cast<size_t>(n)) cut = true;
    return true;
}

void close_pair(int pair[2]) {
    for (int i = 0; i < 2; ++i)
        if (pair[i] >= 0) close(pair[i]);
}

struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    spawn_setup(int out, int err, bool own_group) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        posix_spawn_file_actions_adddup2(&actions, err, 2);
        posix_spawn_file_actions_addchdir_np(&actions, "/");
        posix_spawnattr_init(&attributes);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setflags(&attributes, flags);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        for (int signal : reset_signals) sigaddset(&signals, signal);
        posix_spawnattr_setsigdefault(&attributes, &signals);
    }
    ~spawn_setup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string find_tool(const char* tool) {
    if (!tool || !*tool || std::strchr(tool, '/')) return "";
    for (const char* const* folder = tool_folders; *folder; ++folder) {
        std::string path = std::string(*folder) + "/" + tool;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

void set_tool_folders(const char* const* folders) { tool_folders = folders ? folders : system_tool_folders; }

const char* const* child_environment() { return tool_environment; }

pid_t spawn_child(const char* const* argv, int out_fd, int err_fd, bool own_group) {
    pid_t pid = -1;
    spawn_setup setup(out_fd, err_fd, own_group);
    int rc = posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, const_cast<char* const*>(argv),
                         const_cast<char* const*>(tool_environment));
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

command_result run_bounded(const char* const* argv, int timeout_ms, size_t output_cap) {
    command_result result;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        debug_printf("%s: pipe: %s\n", argv[0], std::strerror(errno));
        close_pair(out);
        close_pair(err);
        return result;
    }
    pid_t pid = spawn_child(argv, out[1], err[1], true);
    int spawn_error = errno;
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        debug_printf("%s: cannot start: %s\n", argv[0], std::strerror(spawn_error));
        close(out[0]);
        close(err[0]);
        return result;
    }
    result.started = true;
    const long long deadline = monotonic_ms() + timeout_ms;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    bool errors_cut = false;
    int open_fds = 2;
    while (open_fds > 0 && !result.cut) {
        int ready = poll(fds, 2, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            result.timed_out = ready == 0;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            bool more = i == 0 ? read_into(fds[i].fd, result.output, output_cap, result.cut)
                               : read_into(fds[i].fd, result.errors, error_text_cap, errors_cut);
            if (!more) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    // The output is complete (or cut, or late): wait for the end of the
    // command itself within what is left of the time.
    while (!result.timed_out && !result.cut && !has_exited(pid)) {
        if (remaining_ms(deadline) == 0) {
            result.timed_out = true;
            break;
        }
        poll(nullptr, 0, exit_poll_ms);
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = -1;
    if (end_group(pid, &status) && !result.timed_out) result.status = status;
    if (result.timed_out) debug_printf("%s: timed out after %d ms, killed\n", argv[0], timeout_ms);
    if (result.cut) debug_printf("%s: output cut at %zu bytes, stopped\n", argv[0], output_cap);
    return result;
}

void set_command_runner(command_runner_fn run, tool_finder_fn find) {
    runner = run ? run : run_bounded;
    finder = find ? find : find_tool;
}

command_result run_tool(const char* const* argv, int timeout_ms, size_t output_cap) {
    return runner(argv, timeout_ms, output_cap);
}

std::string locate_tool(const char* tool) { return finder(tool); }

std::string describe_result(const command_result& result) {
    if (!result.started) return "not started";
    if (result.timed_out) return "timed out";
    if (result.cut) return "output cut";
    if (WIFEXITED(result.status)) return "rc = " + std::to_string(WEXITSTATUS(result.status));
    if (WIFSIGNALED(result.status)) return std::string("terminated by ") + strsignal(WTERMSIG(result.status));
    return "status = " + std::to_string(result.status);
}

// ---- bounded_child ----

bounded_child::~bounded_child() { finish(); }

bool bounded_child::start(void (*work)(int fd, void* argument), void* argument) {
    finish();
    timed_out_ = false;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        debug_printf("pipe: %s\n", std::strerror(errno));
        return false;
    }
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_t pid = fork();
    if (pid < 0) {
        debug_printf("fork: %s\n", std::strerror(errno));
        close_pair(pipe_fds);
        return false;
    }
    if (pid == 0) {
        close(pipe_fds[0]);
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        work(pipe_fds[1], argument);
        _exit(0);
    }
    setpgid(pid, pid);  // either side may get there first
    close(pipe_fds[1]);
    pid_ = pid;
    fd_ = pipe_fds[0];
    return true;
}

int bounded_child::wait_readable(long long deadline) {
    for (;;) {
        pollfd fd{fd_, POLLIN, 0};
        int ready = poll(&fd, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) timed_out_ = true;
        return ready > 0 ? 1 : ready;
    }
}

bool bounded_child::read_exact(void* data, size_t size, int timeout_ms) {
    if (fd_ < 0) return false;
    char* at = static_cast<char*>(data);
    size_t got = 0;
    const long long deadline = monotonic_ms() + timeout_ms;
    while (got < size) {
        if (wait_readable(deadline) <= 0) return false;
        ssize_t n = read(fd_, at + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool bounded_child::read_all(std::string& text, size_t cap, int timeout_ms) {
    text.clear();
    if (fd_ < 0) return false;
    const long long deadline = monotonic_ms() + timeout_ms;
    bool cut = false;
    for (;;) {
        int ready = wait_readable(deadline);
        if (ready == 0) return false;
        if (ready < 0 || !read_into(fd_, text, cap, cut)) return true;
    }
}

void bounded_child::finish() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (pid_ > 0) {
        int status;
        end_group(pid_, &status);
    }
    pid_ = -1;
}

// Child processes with a deadline: external tools run without a shell, and
// calls that may hang (statvfs of a dead network share, a resolver lookup)
// made in a forked child. The program stays single-threaded: the parent
// reads the child's pipe with poll until the deadline, then kills the
// child's whole process group and reaps it. Nothing here writes a file.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

constexpr size_t tool_output_cap = 2 << 20;
constexpr int tool_timeout_ms = 5000;

// An external tool and the condition under which it may run.
struct tool_command {
    const char* const* argv;  // null-terminated; argv[0] is the tool's name
    // Null, or whether what the tool reads is there already: a tool must
    // never make the kernel load a module to answer.
    bool (*ready)();
};

struct command_result {
    bool started = false;
    bool timed_out = false;
    bool cut = false;      // output beyond the cap was left out
    int status = -1;       // wait status, when the command ended by itself
    std::string output;    // its standard output, at most the cap
    std::string errors;    // the start of its standard error
};

// Runs argv (argv[0] a full path; null-terminated) with standard input on
// /dev/null, in "/", in a process group of its own, with a fixed plain
// environment, for at most timeout_ms milliseconds.
command_result run_bounded(const char* const* argv, int timeout_ms, size_t output_cap);
// The full path of a tool in the system's command folders, or empty.
std::string find_tool(const char* tool);
// Replaces the folders find_tool searches (null-terminated list); null
// restores the system's command folders. Tests only.
void set_tool_folders(const char* const* folders);

// The whole environment of every child the collector starts, whatever it was
// started with: the system's command folders as the search path and the C
// locale (no BASH_ENV, ENV, IFS, CDPATH, LD_* or anything else of the caller).
const char* const* child_environment();

// Starts argv[0] (a full path) in "/" with the fixed environment, standard
// input on /dev/null, standard output on out_fd, standard error on err_fd,
// and the usual signals back at their default action; in a process group of
// its own when own_group is set. Gives the child's pid, or -1 with errno.
pid_t spawn_child(const char* const* argv, int out_fd, int err_fd, bool own_group);

using command_runner_fn = command_result (*)(const char* const* argv, int timeout_ms, size_t output_cap);
using tool_finder_fn = std::string (*)(const char* tool);
// The runner and tool lookup the probes use; null restores the real ones.
// Tests only.
void set_command_runner(command_runner_fn run, tool_finder_fn find);
command_result run_tool(const char* const* argv, int timeout_ms, size_t output_cap);
std::string locate_tool(const char* tool);

// A text for the debug log: "rc = 0", "terminated by Killed", "timed out".
std::string describe_result(const command_result& result);

// A forked child that runs work(write_fd, argument) and writes its results
// into a pipe, which the parent reads with a deadline per read.
class bounded_child {
public:
    bounded_child() = default;
    ~bounded_child();  // kills and reaps a child still running
    bounded_child(const bounded_child&) = delete;
    bounded_child& operator=(const bounded_child&) = delete;

    // Forks; the child runs work and ends with _exit. False when the pipe
    // or the fork fails.
    bool start(void (*work)(int fd, void* argument), void* argument);
    // Reads exactly size bytes into data within timeout_ms: true when they
    // all came. False at a timeout (timed_out() then says so) or when the
    // child ended before writing them.
    bool read_exact(void* data, size_t size, int timeout_ms);
    // Reads what the child writes until it closes the pipe, at most cap
    // bytes, within timeout_ms. False at a timeout.
    bool read_all(std::string& text, size_t cap, int timeout_ms);
    // Kills the child's process group and reaps it; waits only briefly for
    // a child that does not die (one stuck in the kernel is left behind,
    // with a debug line, rather than blocking the run).
    void finish();
    bool timed_out() const { return timed_out_; }
    bool running() const { return pid_ > 0; }

private:
    // Waits until the pipe can be read: 1 when it can, 0 at the deadline
    // (timed_out() then says so), -1 on an error.
    int wait_readable(long long deadline);

    pid_t pid_ = -1;
    int fd_ = -1;
    bool timed_out_ = false;
};

// Milliseconds of the monotonic clock.
long long monotonic_ms();

#include "svcproc/sp_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/run_context.h"
#include "svcproc/sp_access.h"

namespace {

constexpr int default_deadline_ms = 30000;
int deadline_ms = default_deadline_ms;
constexpr int reap_wait_ms = 500;
// Descriptors the child closes, apart from its socket and 0-2: what the
// library may touch of this program's files is nothing.
constexpr int closed_descriptor_limit = 4096;

enum : uint8_t { op_open = 1, op_data_io, op_close };

struct call_request {
    uint8_t operation;
    int32_t argument;
};

struct call_reply {
    int32_t result;
    uint32_t handle;
};

using open_driver_fn = int (*)(uint32_t* handle, int argument, int reserved);
using close_driver_fn = int (*)(uint32_t handle, int reserved);
using data_io_fn = int (*)(uint32_t handle, void* block, int reserved);

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Moves size bytes through the socket (send or receive) by the deadline;
// false at the deadline, at end of input or on an error. *late says which.
bool transfer(int fd, bool sending, void* data, size_t size, long long deadline, bool* late) {
    char* at = static_cast<char*>(data);
    while (size > 0) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            *late = true;
            return false;
        }
        pollfd ready{fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        int n = poll(&ready, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) continue;
        ssize_t moved = sending ? send(fd, at, size, MSG_NOSIGNAL | MSG_DONTWAIT)
                                : recv(fd, at, size, MSG_DONTWAIT);
        if (moved < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (moved <= 0) return false;
        at += moved;
        size -= static_cast<size_t>(moved);
    }
    return true;
}

// Blocking whole transfers in the child, which has all the time it needs.
bool child_io(int fd, bool sending, void* data, size_t size) {
    bool late = false;
    return transfer(fd, sending, data, size, now_ms() + 24LL * 3600 * 1000, &late);
}

// The child's setup: its own process group, gone with its parent, no core
// file in the result folder, quiet standard streams, no other descriptor.
void isolate_child(int keep) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
        if (null > 2) close(null);
    }
    for (int fd = 3; fd < closed_descriptor_limit; ++fd)
        if (fd != keep) close(fd);
    signal(SIGPIPE, SIG_DFL);
}

// The child: load, answer calls until the parent goes away.
[[noreturn]] void serve(int fd, const char* name) {
    isolate_child(fd);
    void* library = dlopen(name, RTLD_NOW);
    auto open_driver = library ? reinterpret_cast<open_driver_fn>(dlsym(library, "OpenSPDriver")) : nullptr;
    auto close_driver = library ? reinterpret_cast<close_driver_fn>(dlsym(library, "CloseSPDriver")) : nullptr;
    auto data_io = library ? reinterpret_cast<data_io_fn>(dlsym(library, "SystemDataIO")) : nullptr;
    uint8_t state = static_cast<uint8_t>(!library ? sp_library_state::absent
                                         : !open_driver || !close_driver || !data_io ? sp_library_state::incomplete
                                                                                      : sp_library_state::loaded);
    if (!child_io(fd, true, &state, 1) || state != static_cast<uint8_t>(sp_library_state::loaded)) _exit(0);
    uint32_t handle = 0;
    static sp_request block;
    call_request request{};
    while (child_io(fd, false, &request, sizeof request)) {
        call_reply reply{};
        if (request.operation == op_open) {
            reply.result = open_driver(&handle, request.argument, 0);
        } else if (request.operation == op_data_io) {
            if (!child_io(fd, false, &block, sizeof block)) break;
            reply.result = data_io(handle, &block, 0);
        } else if (request.operation == op_close) {
            reply.result = close_driver(handle, 0);
        } else {
            break;
        }
        reply.handle = handle;
        if (!child_io(fd, true, &reply, sizeof reply)) break;
        if (request.operation == op_data_io && !child_io(fd, true, &block, sizeof block)) break;
    }
    _exit(0);
}

const char* operation_name(uint8_t operation) {
    return operation == op_open ? "OpenSPDriver" : operation == op_data_io ? "SystemDataIO" : "CloseSPDriver";
}

}  // namespace

sp_library_child::~sp_library_child() { stop(); }

sp_library_state sp_library_child::start(const char* name, int deadline) {
    stop();
    deadline_ms_ = deadline;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        debug_printf("%s: socketpair: %s\n", name, std::strerror(errno));
        return sp_library_state::failed;
    }
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_t pid = fork();
    if (pid < 0) {
        debug_printf("%s: fork: %s\n", name, std::strerror(errno));
        close(pair[0]);
        close(pair[1]);
        return sp_library_state::failed;
    }
    if (pid == 0) {
        close(pair[0]);
        serve(pair[1], name);
    }
    setpgid(pid, pid);  // either side may get there first
    close(pair[1]);
    pid_ = pid;
    fd_ = pair[0];
    uint8_t state = 0;
    bool late = false;
    if (!transfer(fd_, false, &state, 1, now_ms() + deadline_ms_, &late)) {
        failed("loading", late);
        return sp_library_state::failed;
    }
    if (state > static_cast<uint8_t>(sp_library_state::incomplete)) {
        failed("loading", false);  // something other than the child's answer
        return sp_library_state::failed;
    }
    auto loaded = static_cast<sp_library_state>(state);
    if (loaded != sp_library_state::loaded) stop();
    return loaded;
}

bool sp_library_child::call(uint8_t operation, int argument, sp_request* block, int* result, uint32_t* handle) {
    if (pid_ <= 0) return false;
    const long long deadline = now_ms() + deadline_ms_;
    call_request request{operation, argument};
    call_reply reply{};
    bool late = false;
    bool ok = transfer(fd_, true, &request, sizeof request, deadline, &late) &&
              (!block || transfer(fd_, true, block, sizeof *block, deadline, &late)) &&
              transfer(fd_, false, &reply, sizeof reply, deadline, &late);
    // The reply block goes into a copy first: a child that dies halfway
    // leaves the caller's block as it was.
    static sp_request answer;
    if (ok && block) ok = transfer(fd_, false, &answer, sizeof answer, deadline, &late);
    if (!ok) {
        failed(operation_name(operation), late);
        return false;
    }
    if (block) std::memcpy(block, &answer, sizeof answer);
    *result = reply.result;
    if (handle) *handle = reply.handle;
    return true;
}

bool sp_library_child::open_driver(int argument, int* result, uint32_t* handle) {
    return call(op_open, argument, nullptr, result, handle);
}

bool sp_library_child::data_io(sp_request& block, int* result) { return call(op_data_io, 0, &block, result, nullptr); }

bool sp_library_child::close_driver(int* result) { return call(op_close, 0, nullptr, result, nullptr); }

void sp_library_child::failed(const char* during, bool late) {
    const int pid = static_cast<int>(pid_);
    if (late) {
        stop_child(0);
        debug_printf("service processor library: process %d did not answer during %s within %d ms, killed\n", pid,
                     during, deadline_ms_);
        return;
    }
    // A child that closed its end is on its way out: give it a moment to
    // finish, so that its own ending is what the log says.
    int status = stop_child(reap_wait_ms);
    char ending[96] = "killed";  // when it did not end by itself after all
    if (status != -1 && WIFSIGNALED(status))
        std::snprintf(ending, sizeof ending, "terminated by %s", strsignal(WTERMSIG(status)));
    else if (status != -1 && WIFEXITED(status))
        std::snprintf(ending, sizeof ending, "exit status %d", WEXITSTATUS(status));
    debug_printf("service processor library: process %d ended during %s (%s)\n", pid, during, ending);
}

void sp_library_child::stop() { stop_child(0); }

int sp_library_child::stop_child(int grace_ms) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    int status = -1;
    if (pid_ <= 0) return status;
    // A child that has ended keeps its wait status; one that has not is killed.
    const long long grace_end = now_ms() + grace_ms;
    pid_t done;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && now_ms() < grace_end) poll(nullptr, 0, 2);
    if (done != pid_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        status = -1;
        const long long end = now_ms() + reap_wait_ms;
        while (waitpid(pid_, &status, WNOHANG) == 0 && now_ms() < end) poll(nullptr, 0, 5);
    }
    pid_ = -1;
    return status;
}

void set_sp_library_deadline(int milliseconds) { deadline_ms = milliseconds > 0 ? milliseconds : default_deadline_ms; }

int sp_library_deadline() { return deadline_ms; }

// The service processor's driver library, a closed component, loaded and
// called only in a child process of its own. The child holds the library and
// its driver handle; each call travels through a socket as a small request
// (and the request block) and comes back as the result (and the filled
// block), within a deadline. Whatever the library does (abort, crash, hang,
// or a C library of another version refusing to load into this program) ends
// only the child: the call then reports failure and the caller falls back to
// the ports.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct sp_request;

enum class sp_library_state {
    loaded,      // loaded with its three entry points
    absent,      // the loader found no usable library under the name
    incomplete,  // an entry point is missing
    failed,      // the child could not start, died or did not answer
};

class sp_library_child {
public:
    sp_library_child() = default;
    ~sp_library_child();  // ends the child
    sp_library_child(const sp_library_child&) = delete;
    sp_library_child& operator=(const sp_library_child&) = delete;

    // Starts the child, which loads the library by name and looks up its
    // entry points. The child stays only when the state is loaded.
    sp_library_state start(const char* name, int deadline_ms);
    // Each call is false when the child failed to answer (it is then ended,
    // with a debug line); else *result is the entry point's own result.
    bool open_driver(int argument, int* result, uint32_t* handle);
    bool data_io(sp_request& block, int* result);
    bool close_driver(int* result);
    // Ends the child, unloading the library.
    void stop();
    bool running() const { return pid_ > 0; }

private:
    bool call(uint8_t operation, int argument, sp_request* block, int* result, uint32_t* handle);
    // The child has failed (late: it did not answer in time): it is ended,
    // with a debug line that says how.
    void failed(const char* during, bool late);
    // Ends the child, after waiting up to grace_ms for it to end by itself;
    // its wait status, -1 when it had to be killed.
    int stop_child(int grace_ms);

    pid_t pid_ = -1;
    int fd_ = -1;
    int deadline_ms_ = 0;
};

// How long the library may take for one call before its child is killed
// (30 s, as long as the ports' guard); 0 restores it. Tests only.
void set_sp_library_deadline(int milliseconds);
int sp_library_deadline();

// Process-wide run state shared by the driver, the probe framework and every probe.
#pragma once

#include <cstdint>
#include <cstdio>

struct run_context_t {
    int32_t level = 5;        // run level 0-5: items above it are left out
    bool silent = false;      // nothing at all goes to the console
    FILE* console = stderr;   // banner and progress lines: stdout with -batch, else stderr
    FILE* report = nullptr;   // the open temporary report
};

extern run_context_t run_context;

// Unbuffered diagnostic stream: "keldran.log" with -debug, else /dev/null.
// It is null until the driver opens it; write through debug_printf, which
// tolerates that.
extern FILE* debug_log;

// True when debug_log is the /dev/null stand-in: nothing written there is
// ever read, so the trace writers skip formatting it (hex dumps of large
// replies would otherwise cost more than the probe itself).
extern bool debug_log_discarded;

// The debug log when its lines are kept, else null (for writers that take a
// stream, such as the hex dump).
FILE* debug_output();

void debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The program's version text.
inline constexpr const char* sifterra_version = "2.00 (Internal use Only)";

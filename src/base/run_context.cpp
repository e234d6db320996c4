#include "base/run_context.h"

#include <cstdarg>

run_context_t run_context;
FILE* debug_log = nullptr;
bool debug_log_discarded = false;

FILE* debug_output() { return debug_log_discarded ? nullptr : debug_log; }

void debug_printf(const char* format, ...) {
    if (!debug_log || debug_log_discarded) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(debug_log, format, args);
    va_end(args);
}

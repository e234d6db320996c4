#include "base/clock.h"

namespace {
std::time_t (*clock_source)() = nullptr;
}

std::time_t clock_now() {
    return clock_source ? clock_source() : std::time(nullptr);
}

void set_clock_source(std::time_t (*source)()) {
    clock_source = source;
}

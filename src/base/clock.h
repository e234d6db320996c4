// The wall clock, reached through one replaceable function so tests can fix the time.
#pragma once

#include <ctime>

// Current time; the real clock unless a test has replaced it.
std::time_t clock_now();
// Replaces the clock (null restores the real one). Tests only.
void set_clock_source(std::time_t (*source)());

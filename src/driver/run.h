// The whole run of the sifterra program, from the command line to the
// final message.
#pragma once

inline constexpr int exit_done = 0;             // the run finished, or -help
inline constexpr int exit_refused = 1;          // the disclaimer was refused
inline constexpr int exit_no_report = 2;        // the temporary report could not be created
inline constexpr int exit_packing_failed = 3;   // packing failed; the report was kept as the plain copy

// Runs the program with its arguments; returns one of the exit codes above.
int run_sifterra(int argc, const char* const* argv);

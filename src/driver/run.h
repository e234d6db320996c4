// The whole run of the sifterra program, from the command line to the
// final message.
#pragma once

// Runs the program with its arguments; returns the exit code (0 done or
// -help, 1 disclaimer refused, 2 temporary report not created).
int run_sifterra(int argc, const char* const* argv);

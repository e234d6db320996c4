// The command line of the sifterra program.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* default_name_template = "@V-@M-@S";
inline constexpr const char* plain_copy_word = "TulipMarch";

struct run_options {
    bool batch = false;
    bool silent = false;
    bool step = false;
    int debug_logs = 0;       // how many times -debug was given before any -help
    bool help = false;        // -help was given; processing stopped there
    int32_t level = 5;
    std::string name_template = default_name_template;
    bool keep_plain_copy = false;  // argument 3 is the hidden word
    bool clean = false;            // replace the machine's identifiers before packing
};

// Compares every argument with every option, left to right. Arguments that
// match nothing are ignored; "-help" stops the processing at its position.
run_options parse_arguments(int argc, const char* const* argv);

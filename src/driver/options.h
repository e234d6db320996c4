// The command line of the sifterra program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    std::string case_id;           // -caseID: stored in the summary, template code @C
    int since_days = 0;            // -sinceN: logs of the last N days only (0: the fixed counts)
    std::vector<std::string> skip; // -skipLIST: short section names left out
    std::vector<std::string> only; // -onlyLIST: the only sections run (empty: all)
    bool list = false;             // -list: print the sections and stop
    // Arguments that were ignored, each with the reason ("ignored "-level9": ...").
    std::vector<std::string> warnings;
};

inline constexpr int max_since_days = 3650;

// Compares every argument with every option, left to right. Arguments that
// match nothing are ignored; "-help" stops the processing at its position.
run_options parse_arguments(int argc, const char* const* argv);

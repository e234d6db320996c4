#include "driver/options.h"

#include <cstring>

namespace {

bool either(const char* arg, const char* lower, const char* upper) {
    return std::strcmp(arg, lower) == 0 || std::strcmp(arg, upper) == 0;
}

bool either_prefix(const char* arg, const char* lower, const char* upper) {
    size_t n = std::strlen(lower);
    return std::strncmp(arg, lower, n) == 0 || std::strncmp(arg, upper, n) == 0;
}

}  // namespace

run_options parse_arguments(int argc, const char* const* argv) {
    run_options options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!arg) continue;
        if (either(arg, "-batch", "-BATCH")) options.batch = true;
        if (either(arg, "-silent", "-SILENT")) options.silent = true;
        if (either(arg, "-step", "-STEP")) options.step = true;
        if (either(arg, "-debug", "-DEBUG")) ++options.debug_logs;
        if (either(arg, "-clean", "-CLEAN")) options.clean = true;
        if (either_prefix(arg, "-level", "-LEVEL") && std::strlen(arg) == 7 && arg[6] >= '0' && arg[6] <= '5')
            options.level = arg[6] - '0';
        if (either_prefix(arg, "-filename", "-FILENAME")) options.name_template = std::string(arg + 9).substr(0, 255);
        if (either(arg, "-help", "-HELP")) {
            options.help = true;
            return options;
        }
    }
    options.keep_plain_copy = argc >= 4 && argv[3] && std::strcmp(argv[3], plain_copy_word) == 0;
    return options;
}

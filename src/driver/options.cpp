#include "driver/options.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool either(const char* arg, const char* lower, const char* upper) {
    return std::strcmp(arg, lower) == 0 || std::strcmp(arg, upper) == 0;
}

bool either_prefix(const char* arg, const char* lower, const char* upper) {
    size_t n = std::strlen(lower);
    return std::strncmp(arg, lower, n) == 0 || std::strncmp(arg, upper, n) == 0;
}

// Every option by its lower-case name; `joined` ones take their value
// directly after the name (-level2, -filenameTEMPLATE).
struct option_name {
    const char* name;
    bool joined;
};

const option_name option_names[] = {
    {"-batch", false}, {"-silent", false}, {"-step", false}, {"-debug", false}, {"-clean", false},
    {"-help", false},  {"-list", false},   {"-level", true}, {"-filename", true}, {"-case", true},
    {"-since", true},  {"-skip", true},    {"-only", true},
};

std::string lower_case(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// Edits (insertions, deletions, changes, swaps of neighbours) between a and b.
size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// Why an argument that matched no option was ignored.
std::string unknown_reason(const std::string& arg) {
    const std::string lower = lower_case(arg);
    for (const option_name& option : option_names) {
        bool same = option.joined ? lower.rfind(option.name, 0) == 0 : lower == option.name;
        if (same) return "not an option: options are all lower case or all upper case";
    }
    if (arg.empty() || arg.size() > 64) return "not an option";
    const option_name* nearest = nullptr;
    size_t best = 3;
    for (const option_name& option : option_names) {
        size_t length = std::strlen(option.name);
        // A joined option is compared with as much of the argument as its
        // name (give or take one character), the rest being its value.
        size_t from = option.joined && length > 1 ? length - 1 : lower.size();
        size_t to = option.joined ? length + 1 : lower.size();
        for (size_t n = from; n <= to && n <= lower.size(); ++n) {
            size_t distance = edit_distance(lower.substr(0, n), option.name);
            if (distance < best) {
                best = distance;
                nearest = &option;
            }
        }
    }
    if (nearest) return std::string("not an option; did you mean ") + nearest->name + "?";
    return "not an option";
}

void warn(run_options& options, const char* arg, const std::string& reason) {
    options.warnings.push_back(std::string("ignored \"") + arg + "\": " + reason);
}

// Comma-separated names; empty items are dropped.
void add_names(std::vector<std::string>& names, const char* list) {
    std::string item;
    for (const char* at = list;; ++at) {
        if (*at == ',' || *at == 0) {
            if (!item.empty()) names.push_back(item);
            item.clear();
            if (*at == 0) return;
        } else {
            item += *at;
        }
    }
}

// -sinceN: N a number of days from 1 to max_since_days; 0 when malformed.
int parse_days(const char* text) {
    if (!*text || std::strlen(text) > 4) return 0;
    int days = 0;
    for (const char* at = text; *at; ++at) {
        if (*at < '0' || *at > '9') return 0;
        days = days * 10 + (*at - '0');
    }
    return days <= max_since_days ? days : 0;
}

}  // namespace

run_options parse_arguments(int argc, const char* const* argv) {
    run_options options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!arg) continue;
        bool matched = false;
        auto whole = [&](const char* lower, const char* upper) {
            bool hit = either(arg, lower, upper);
            matched = matched || hit;
            return hit;
        };
        auto prefix = [&](const char* lower, const char* upper) {
            bool hit = either_prefix(arg, lower, upper);
            matched = matched || hit;
            return hit;
        };
        if (whole("-batch", "-BATCH")) options.batch = true;
        if (whole("-silent", "-SILENT")) options.silent = true;
        if (whole("-step", "-STEP")) options.step = true;
        if (whole("-debug", "-DEBUG")) ++options.debug_logs;
        if (whole("-clean", "-CLEAN")) options.clean = true;
        if (whole("-list", "-LIST")) options.list = true;
        if (prefix("-level", "-LEVEL")) {
            if (std::strlen(arg) == 7 && arg[6] >= '0' && arg[6] <= '5')
                options.level = arg[6] - '0';
            else
                warn(options, arg, "the level is one digit 0 to 5 right after -level (as in -level2)");
        }
        if (prefix("-filename", "-FILENAME")) {
            options.name_template = std::string(arg + 9).substr(0, 255);
            if (!arg[9])
                warn(options, arg, "no template right after -filename (as in -filename@H); the default @V-@M-@S is used");
        }
        if (prefix("-case", "-CASE")) {
            if (arg[5])
                options.case_id = std::string(arg + 5).substr(0, 255);
            else
                warn(options, arg, "no case id right after -case (as in -case12345)");
        }
        if (prefix("-since", "-SINCE")) {
            int days = parse_days(arg + 6);
            if (days > 0)
                options.since_days = days;
            else
                warn(options, arg, "the days are a number from 1 to 3650 right after -since (as in -since7)");
        }
        if (prefix("-skip", "-SKIP")) {
            if (arg[5])
                add_names(options.skip, arg + 5);
            else
                warn(options, arg, "no section names right after -skip (as in -skipsmbios,pci; -list names them)");
        }
        if (prefix("-only", "-ONLY")) {
            if (arg[5])
                add_names(options.only, arg + 5);
            else
                warn(options, arg, "no section names right after -only (as in -onlysmbios,pci; -list names them)");
        }
        if (whole("-help", "-HELP")) {
            options.help = true;
            return options;
        }
        bool hidden_word = i == 3 && std::strcmp(arg, plain_copy_word) == 0;
        if (!matched && !hidden_word) warn(options, arg, unknown_reason(arg));
    }
    options.keep_plain_copy = argc >= 4 && argv[3] && std::strcmp(argv[3], plain_copy_word) == 0;
    return options;
}

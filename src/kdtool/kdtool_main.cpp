// kdtool: reads and builds Sifterra container files for the support side,
// and shows, compares and converts the reports inside them. The file it is
// given is never changed: reading works on a private copy.
#include <cstring>

#include "kdtool/kdtool_commands.h"
#include "kdtool/pager.h"

namespace {

struct command_entry {
    const char* name;
    kdtool_command run;
    bool paged;
};

constexpr command_entry commands[] = {
    {"list", kdtool_list, false},   {"extract", kdtool_extract, false}, {"verify", kdtool_verify, false},
    {"pack", kdtool_pack, false},   {"show", kdtool_show, true},        {"html", kdtool_html, false},
    {"diff", kdtool_diff, false},   {"json", kdtool_json, false},       {"clean", kdtool_clean, false},
    {"findings", kdtool_findings, true},
    {"summary", kdtool_summary, false},
};

}  // namespace

int main(int argc, char** argv) {
    kdtool_io io;
    if (argc < 2) return kdtool_usage(io);
    kdtool_args args(argv + 2, argv + argc);
    for (const command_entry& c : commands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        return c.paged ? run_paged(c.run, args) : c.run(args, io);
    }
    return kdtool_usage(io);
}

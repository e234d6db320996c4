#include "system/firewall.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "base/run_context.h"
#include "system/bounded_command.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

// The legacy tables' names, listed by the kernel once the part is loaded.
const char* const ip_tables_names = "/proc/net/ip_tables_names";
const char* const ip6_tables_names = "/proc/net/ip6_tables_names";

bool nft_usable() { return !locate_tool("nft").empty() && nf_tables_present(); }

// iptables-save comes in two builds: one that reads nf_tables and one that
// reads the legacy tables. The name of the program behind the tool's links
// says which.
bool backend_present(const char* tool, bool (*legacy_present)()) {
    std::string path = locate_tool(tool);
    char resolved[PATH_MAX];
    if (!path.empty() && realpath(path.c_str(), resolved)) path = resolved;
    std::string program = path.substr(path.rfind('/') + 1);
    if (program.find("nft") != std::string::npos) return nf_tables_present();
    return legacy_present();
}

bool iptables_save_ready() { return !nft_usable() && backend_present("iptables-save", ip_tables_present); }
bool ip6tables_save_ready() { return !nft_usable() && backend_present("ip6tables-save", ip6_tables_present); }

const char* const nft_argv[] = {"nft", "list", "ruleset", nullptr};
const char* const iptables_save_argv[] = {"iptables-save", nullptr};
const char* const ip6tables_save_argv[] = {"ip6tables-save", nullptr};

std::string table_names(const char* path) {
    std::string text;
    read_capped(path, 4096, text);
    std::string names;
    for (char c : text) names += c == '\n' ? ' ' : c;
    while (!names.empty() && names.back() == ' ') names.pop_back();
    return names;
}

}  // namespace

bool nf_tables_present() { return kernel_module_present("nf_tables"); }
bool ip_tables_present() { return system_file_exists(ip_tables_names); }
bool ip6_tables_present() { return system_file_exists(ip6_tables_names); }

const tool_command nft_command{nft_argv, nf_tables_present};
const tool_command iptables_save_command{iptables_save_argv, iptables_save_ready};
const tool_command ip6tables_save_command{ip6tables_save_argv, ip6tables_save_ready};

bool write_netfilter_parts(FILE* report) {
    struct part {
        const char* name;
        bool present;
        std::string tables;
    };
    const part parts[] = {
        {"nf_tables", nf_tables_present(), ""},
        {"ip_tables", ip_tables_present(), table_names(ip_tables_names)},
        {"ip6_tables", ip6_tables_present(), table_names(ip6_tables_names)},
    };
    std::vector<table_row> rows;
    for (const part& entry : parts)
        rows.push_back({entry.name, {entry.name, table_cell::of_flag(entry.present), entry.tables}});
    write_table(report, "Netfilter", {{"Part", STRING}, {"Present", BOOL}, {"Tables", STRING}}, rows);
    return true;
}

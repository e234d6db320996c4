#include "system/name_resolution.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "base/run_context.h"
#include "system/bounded_command.h"
#include "report/table_rows.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

constexpr int link_hop_cap = 8;
constexpr int resolver_timeout_ms = 3000;
constexpr size_t name_cap = 1024;

name_resolver_fn resolver = resolve_canonical_name;

// "/etc/../run/x" as "/run/x": "." and ".." resolved by the text alone.
std::string normalised(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string joined;
    for (const std::string& part : parts) joined += "/" + part;
    return joined.empty() ? "/" : joined;
}

constexpr size_t lookup_output_cap = 64 << 10;
constexpr size_t hosts_file_cap = 1 << 20;

// The whitespace-separated words of a line, up to a '#'.
std::vector<std::string> line_words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    const size_t end = std::min(line.find('#'), line.size());
    while (at < end) {
        size_t begin = line.find_first_not_of(" \t\r", at);
        if (begin == std::string::npos || begin >= end) break;
        size_t stop = std::min(line.find_first_of(" \t\r", begin), end);
        words.push_back(line.substr(begin, stop - begin));
        at = stop;
    }
    return words;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Without getent: the machine's own /etc/hosts, as the resolver's "files"
// source reads it. The canonical name is the first name on the line that
// names host; a numeric address is its own name.
std::string lookup_in_hosts_file(const char* host, std::string& canonical) {
    unsigned char address[sizeof(in6_addr)];
    if (inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1) {
        canonical = host;  // a numeric address names itself
        return "";
    }
    std::string text;
    if (read_capped("/etc/hosts", hosts_file_cap, text)) {
        size_t at = 0;
        while (at < text.size()) {
            size_t end = std::min(text.find('\n', at), text.size());
            std::vector<std::string> words = line_words(text.substr(at, end - at));
            for (size_t i = 1; i < words.size(); ++i) {
                if (strcasecmp(words[i].c_str(), host) != 0) continue;
                canonical = words[1];
                return "";
            }
            at = end + 1;
        }
    }
    return gai_strerror(EAI_NONAME);
}

// The first line that is neither empty nor a comment.
std::string first_name_line(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        size_t begin = line.find_first_not_of(" \t\r");
        if (begin != std::string::npos && line[begin] != '#') {
            size_t last = line.find_last_not_of(" \t\r");
            return line.substr(begin, last - begin + 1);
        }
        at = end + 1;
    }
    return "";
}


}  // namespace

std::string link_target(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < link_hop_cap; ++hop) {
        char target[PATH_MAX];
        ssize_t n = readlink(system_path(current).c_str(), target, sizeof target - 1);
        if (n < 0) return hop == 0 ? "" : current;
        std::string next(target, static_cast<size_t>(n));
        if (next.empty()) return "";
        if (next[0] != '/') next = current.substr(0, current.rfind('/') + 1) + next;
        current = normalised(next);
    }
    debug_printf("%s: more than %d links, not followed\n", path.c_str(), link_hop_cap);
    return "";
}

std::string resolve_canonical_name(const char* host, std::string& canonical) {
    const std::string getent = locate_tool("getent");
    if (getent.empty()) {
        debug_printf("resolver: no getent, %s looked up in /etc/hosts\n", host);
        return lookup_in_hosts_file(host, canonical);
    }
    // The machine's own resolver, in its own process: its service modules
    // belong to the machine's C library, not to this program's.
    const char* const argv[] = {getent.c_str(), "ahosts", "--", host, nullptr};
    command_result result = run_tool(argv, resolver_timeout_ms, lookup_output_cap);
    if (!result.started) return "no lookup process";
    if (result.timed_out) return "timed out";
    if (WIFEXITED(result.status) && WEXITSTATUS(result.status) == 2) return gai_strerror(EAI_NONAME);
    if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0) return describe_result(result);
    // "ADDRESS STREAM CANONICAL-NAME" on the first line.
    std::vector<std::string> words = line_words(first_line(result.output));
    canonical = words.size() >= 3 ? words[2].substr(0, name_cap) : "";
    return "";
}

void set_name_resolver(name_resolver_fn replacement) {
    resolver = replacement ? replacement : resolve_canonical_name;
}

bool host_names_available() { return true; }

bool write_host_names(FILE* report) {
    std::vector<table_row> rows;
    std::string text;
    if (read_capped("/etc/hostname", name_cap, text)) rows.push_back({"/etc/hostname", {"/etc/hostname", first_name_line(text), "OK"}});
    const std::string kernel_name = read_attribute("/proc/sys/kernel/hostname");
    if (!kernel_name.empty()) {
        rows.push_back({"kernel", {"kernel", kernel_name, "OK"}});
        std::string canonical;
        std::string failure = resolver(kernel_name.c_str(), canonical);
        debug_printf("resolver: %s -> %s\n", kernel_name.c_str(), failure.empty() ? canonical.c_str() : failure.c_str());
        rows.push_back({"resolver", {"resolver", canonical, failure.empty() ? "OK" : failure}});
    }
    write_table(report, "Host Names", {{"Source", STRING}, {"Name", STRING}, {"Status", STRING}}, rows);
    return !rows.empty();
}

bool resolver_link_available() {
    std::string target = link_target("/etc/resolv.conf");
    return !target.empty() && system_file_readable(target);
}

bool write_resolver_link(FILE* report) {
    const std::string target = link_target("/etc/resolv.conf");
    if (target.empty()) return false;
    write_table(report, "Resolver Configuration Link", {{"Link", STRING}, {"Target", STRING}},
                {{"/etc/resolv.conf", {"/etc/resolv.conf", target}}});
    return embed_capped(report, target, default_file_cap);
}

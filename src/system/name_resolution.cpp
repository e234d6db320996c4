#include "system/name_resolution.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <netdb.h>
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

// Runs in the child: the canonical name, or '!' and the error text.
void resolve_in_child(int fd, void* argument) {
    const char* host = static_cast<const char*>(argument);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    std::string answer;
    if (rc != 0)
        answer = std::string("!") + gai_strerror(rc);
    else
        answer = found && found->ai_canonname ? found->ai_canonname : "";
    if (found) freeaddrinfo(found);
    ssize_t ignored = write(fd, answer.data(), answer.size());
    (void)ignored;
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
    bounded_child child;
    if (!child.start(resolve_in_child, const_cast<char*>(host))) return "no lookup process";
    std::string answer;
    bool finished = child.read_all(answer, name_cap, resolver_timeout_ms);
    child.finish();
    if (!finished) return "timed out";
    if (!answer.empty() && answer[0] == '!') return answer.substr(1);
    canonical = answer;
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

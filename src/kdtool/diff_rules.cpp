// The tables and files kdtool diff treats specially. Every table the
// collector writes was reviewed: those below get a key of their own because
// their row keys do not identify a row (a module name for each of its
// parameters, an interface name for each of its addresses, a time stamp for
// a log message) or because some of their values change on every run. Any
// other table is keyed by its rows' own keys, which name the row (a device,
// a package, a structure handle).
#include "kdtool/diff_rules.h"

#include <cctype>

const char* const boot_varying_messages =
    "MHz processor|BogoMIPS|bogoMips|deferred pages initialised|audit(|setting system clock|TSC clocksource calibration|"
    "tsc: Refined|Fast TSC calibration|clocksource: Switched to|random: crng init|Freeing unused|"
    "sched_clock: Marking stable|APIC calibration not consistent|APIC delta adjusted|Uptime is ";

namespace {

// clang-format off
const std::vector<table_diff_rule> tables = {
    // table                          key                                          volatile columns / rows
    {"Current Time",                  "Location",                                  "YYYY/MM/DD|HH:MM:SS", nullptr, nullptr, nullptr},
    {"PCI Device Summary",            "Bus+Device+Function",                       nullptr, nullptr, nullptr, nullptr},
    {"Network Interfaces",            "Interface",                                 "Carrier Changes", nullptr, nullptr, nullptr},
    {"Network Interface Statistics",  "Name",
        "rx packets|tx packets|rx bytes|tx bytes|rx errors|tx errors|rx dropped|tx dropped|multicast|collisions", nullptr, nullptr, nullptr},
    {"Network Addresses",             "Interface+Family+Address",                  nullptr, nullptr, nullptr, nullptr},
    {"Network Routing Table",         "Destination+Netmask+Gateway+Scope+Type+Interface", nullptr, nullptr, nullptr, nullptr},
    {"Block Devices",                 "Name",                                      nullptr, nullptr, nullptr, nullptr},
    {"File Systems",                  "Mount Point+Device",
        "Used (bytes)|Available (bytes)|Inodes Used|Inodes Free", nullptr, nullptr, nullptr},
    {"Kernel Taint Flags",            "Bit",                                       nullptr, nullptr, nullptr, nullptr},
    {"Kernel Log",                    "Facility+Level+Message",                    "Sequence|Time", nullptr,
        boot_varying_messages, nullptr},
    {"Kernel Parameters",             "Name",                                      nullptr,
        "kernel.random.uuid|kernel.random.boot_id|kernel.random.entropy_avail|kernel.ns_last_pid|kernel.pty.nr|"
        "fs.dentry-state|fs.file-nr|fs.inode-nr|fs.inode-state|fs.aio-nr|fs.quota.*|"
        "net.netfilter.nf_conntrack_count|kernel.sched_*stats*|vm.stat_refresh|vm.user_reserve_kbytes", nullptr,
        "net.*.*.{}.*"},
    {"Module Parameters",             "Module+Parameter",                          nullptr,
        "page_reporting/passes|page_reporting/walked|page_reporting/refcnt|page_reporting/reported_*", nullptr, nullptr},
    {"Listening Sockets",             "Protocol+Family+Address+Port",              "Inode", nullptr, nullptr, nullptr},
    {"Netfilter",                     "Part",                                      nullptr, nullptr, nullptr, nullptr},
    {"Kernel Clock",                  nullptr,
        "Offset (ns)|Frequency (ppm)|Maximum Error (us)|Estimated Error (us)", nullptr, nullptr, nullptr},
    // Entry is the entry's place in the log: one new entry renumbers the rest.
    {"Service Processor Error Log",   "MM/DD/YY HH:MM:SS+Source+Severity+Message", "Entry", nullptr, nullptr, nullptr},
    {"Timestamps",                    "Source",                                    "MM/DD/YY HH:MM:SS", nullptr, nullptr, nullptr},
};

const std::vector<file_diff_rule> files = {
    {"journalctl -b",        file_compare::log,     boot_varying_messages, nullptr},
    {"journalctl -k",        file_compare::log,     boot_varying_messages, nullptr},
    {"/var/log/messages",    file_compare::log,     boot_varying_messages, nullptr},
    {"Kernel messages",      file_compare::log,     boot_varying_messages, nullptr},
    {"/var/log/boot.log",    file_compare::log,     boot_varying_messages, nullptr},
    {"/proc/modules",        file_compare::numbers, nullptr, nullptr},
    {"/proc/meminfo",        file_compare::numbers, nullptr, nullptr},
    {"/proc/interrupts",     file_compare::numbers, nullptr, nullptr},
    {"/proc/cpuinfo",        file_compare::numbers, "cpu MHz|bogomips", nullptr},
    {"/proc/iomem",          file_compare::numbers, "Kernel code|Kernel rodata|Kernel data|Kernel bss", nullptr},
    {"ps auxw",              file_compare::processes, nullptr, "[kworker/"},
};
// clang-format on

}  // namespace

const std::vector<table_diff_rule>& table_diff_rules() { return tables; }
const std::vector<file_diff_rule>& file_diff_rules() { return files; }

const table_diff_rule* table_rule(std::string_view title) {
    for (const table_diff_rule& r : tables)
        if (title == r.table) return &r;
    return nullptr;
}

const file_diff_rule* file_rule(std::string_view name) {
    for (const file_diff_rule& r : files)
        if (name == r.file) return &r;
    return nullptr;
}

namespace {

// Whether text matches the pattern, where '*' stands for any run of characters.
bool glob_match(std::string_view text, std::string_view pattern) {
    size_t t = 0, p = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            p++;
            t++;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') p++;
    return p == pattern.size();
}

}  // namespace

bool matches_listed(std::string_view text, const char* patterns) {
    if (!patterns) return false;
    std::string_view rest = patterns;
    for (;;) {
        size_t bar = rest.find('|');
        if (glob_match(text, rest.substr(0, bar))) return true;
        if (bar == std::string_view::npos) return false;
        rest.remove_prefix(bar + 1);
    }
}

bool holds_listed(std::string_view text, const char* texts) {
    if (!texts) return false;
    std::string_view rest = texts;
    for (;;) {
        size_t bar = rest.find('|');
        std::string_view t = rest.substr(0, bar);
        if (!t.empty() && text.find(t) != std::string_view::npos) return true;
        if (bar == std::string_view::npos) return false;
        rest.remove_prefix(bar + 1);
    }
}

// A kernel time stamp at the start of text ("[   12.345678] "), or 0.
size_t kernel_stamp_length(std::string_view text) {
    if (text.size() < 3 || text[0] != '[') return 0;
    size_t close = text.find("] ");
    if (close == std::string_view::npos || close >= 20 ||
        text.substr(1, close - 1).find_first_not_of(" 0123456789.") != std::string_view::npos)
        return 0;
    return close + 2;
}

std::string log_message(std::string_view line) {
    auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(line[i])) != 0; };
    bool syslog = line.size() > 16 && std::isupper(static_cast<unsigned char>(line[0])) && line[3] == ' ' &&
                  digit(5) && line[6] == ' ' && digit(7) && line[9] == ':' && line[12] == ':' && line[15] == ' ';
    if (!syslog) return std::string(line.substr(kernel_stamp_length(line)));
    // "Mon DD HH:MM:SS host ident[pid]: text": the time and host go, the
    // ident stays without its process id.
    size_t host_end = line.find(' ', 16);
    if (host_end == std::string_view::npos) return std::string(line.substr(16));
    std::string_view rest = line.substr(host_end + 1);
    size_t ident_end = rest.find(": ");
    if (ident_end == std::string_view::npos || rest.substr(0, ident_end).find(' ') != std::string_view::npos)
        return std::string(rest);
    std::string_view ident = rest.substr(0, ident_end);
    std::string_view text = rest.substr(ident_end + 2);
    std::string message(ident.substr(0, ident.find('[')));
    message += ": ";
    message.append(text.substr(kernel_stamp_length(text)));
    return message;
}

std::string without_numbers(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    size_t i = 0;
    while (i < line.size()) {
        // Columns padded to their numbers' widths: one blank for any run.
        if (line[i] == ' ' || line[i] == '\t') {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
            out += ' ';
            continue;
        }
        // A hexadecimal number written with its 0x.
        if (line[i] == '0' && i + 2 < line.size() && (line[i + 1] == 'x' || line[i + 1] == 'X') &&
            std::isxdigit(static_cast<unsigned char>(line[i + 2])) &&
            (i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1])))) {
            i += 2;
            while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i]))) i++;
            out += '#';
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(line[i]))) {
            out += line[i++];
            continue;
        }
        size_t end = i;
        bool digit = false;
        while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end]))) {
            digit = digit || std::isdigit(static_cast<unsigned char>(line[end]));
            end++;
        }
        // Part of a word ("eth0", "sda1"): kept, only a number standing alone goes.
        auto word_char = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
        bool in_word = (i > 0 && word_char(line[i - 1])) || (end < line.size() && word_char(line[end]));
        // A run that starts with a letter is a name ("e1000") unless it is
        // as long as an address.
        bool number = std::isdigit(static_cast<unsigned char>(line[i])) || end - i >= 8;
        if (digit && number && !in_word)
            out += '#';
        else
            out.append(line.substr(i, end - i));
        i = end;
    }
    return out;
}

std::string process_identity(std::string_view line) {
    // A short listing (busybox: PID, user, command) has no figures to skip.
    size_t fields = 0;
    for (size_t i = 0; i < line.size(); i++)
        if (line[i] != ' ' && (i == 0 || line[i - 1] == ' ')) fields++;
    if (fields < 11) return without_numbers(line);
    std::string out;
    size_t field = 0, i = 0;
    while (i < line.size() && field < 10) {
        while (i < line.size() && line[i] == ' ') i++;
        size_t end = line.find(' ', i);
        if (end == std::string_view::npos) end = line.size();
        if (field == 0) out.append(line.substr(i, end - i));
        field++;
        i = end;
    }
    while (i < line.size() && line[i] == ' ') i++;
    out += ' ';
    out.append(line.substr(i));
    return out;
}

std::string key_group(std::string_view key, const char* pattern) {
    if (!pattern) return std::string();
    std::string_view p = pattern;
    std::string group;
    for (;;) {
        size_t p_dot = p.find('.'), k_dot = key.find('.');
        std::string_view part = p.substr(0, p_dot), word = key.substr(0, k_dot);
        bool last = p_dot == std::string_view::npos;
        if (last && part == "*") return group;
        if (part == "{}")
            group = std::string(word);
        else if (part != "*" && part != word)
            return std::string();
        if (last || k_dot == std::string_view::npos) return last && k_dot == std::string_view::npos ? group : "";
        p.remove_prefix(p_dot + 1);
        key.remove_prefix(k_dot + 1);
    }
}

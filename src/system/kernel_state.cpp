#include "system/kernel_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/run_context.h"
#include "system/bounded_command.h"
#include "report/table_rows.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

const taint_flag taint_flags[] = {
    {0, 'P', "proprietary module was loaded"},
    {1, 'F', "module was force loaded"},
    {2, 'S', "kernel running on an out of specification system"},
    {3, 'R', "module was force unloaded"},
    {4, 'M', "processor reported a machine check exception"},
    {5, 'B', "bad page referenced or some unexpected page flags"},
    {6, 'U', "taint requested by a user space application"},
    {7, 'D', "kernel died recently (an oops or a BUG)"},
    {8, 'A', "an ACPI table was overridden by the user"},
    {9, 'W', "kernel issued a warning"},
    {10, 'C', "staging driver was loaded"},
    {11, 'I', "workaround for a bug in platform firmware applied"},
    {12, 'O', "externally built (out of tree) module was loaded"},
    {13, 'E', "unsigned module was loaded"},
    {14, 'L', "soft lockup occurred"},
    {15, 'K', "kernel has been live patched"},
    {16, 'X', "auxiliary taint, defined and used by distributions"},
    {17, 'T', "kernel was built with the struct randomization plugin"},
    {18, 'N', "an in-kernel test has been run"},
    {19, 'J', "user space used a mutating debug operation in fwctl"},
};

const char* const level_names[] = {"emerg", "alert", "crit", "err", "warn", "notice", "info", "debug"};

struct named_facility {
    int facility;
    const char* name;
};
const named_facility facilities[] = {
    {0, "kern"},    {1, "user"},    {2, "mail"},    {3, "daemon"},  {4, "auth"},    {5, "syslog"},
    {6, "lpr"},     {7, "news"},    {8, "uucp"},    {9, "cron"},    {10, "authpriv"}, {11, "ftp"},
    {16, "local0"}, {17, "local1"}, {18, "local2"}, {19, "local3"}, {20, "local4"}, {21, "local5"},
    {22, "local6"}, {23, "local7"},
};

int kernel_log_days = 0;

// The kernel stamps its log with its monotonic clock.
uint64_t monotonic_us() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}
uint64_t (*boot_clock)() = monotonic_us;

constexpr size_t kmsg_read_size = 16384;      // more than the longest record
constexpr size_t kmsg_line_cap = 16384;       // a line longer than this is not a record
constexpr size_t kmsg_record_cap = 1000000;   // records read at most
constexpr int walk_time_limit_ms = 3000;
constexpr size_t value_cap = 4096;
constexpr int walk_depth_cap = 12;
constexpr size_t folder_cap = 65536;

bool parse_unsigned(const std::string& text, uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (*end || errno) return false;
    value = parsed;
    return true;
}

// Feeds complete lines of a byte stream to a handler, keeping a partial line
// for the next chunk. /dev/kmsg gives one record per read; a copy in a
// plain file gives many, or parts of one.
class line_splitter {
public:
    template <typename Handler>
    void feed(const char* data, size_t size, Handler handle) {
        for (size_t at = 0; at < size;) {
            const char* end = static_cast<const char*>(std::memchr(data + at, '\n', size - at));
            size_t length = end ? static_cast<size_t>(end - (data + at)) : size - at;
            if (partial_.size() + length > kmsg_line_cap) {
                if (!overlong_) debug_printf("kernel log: a line over %zu bytes, skipped\n", kmsg_line_cap);
                overlong_ = true;
                partial_.clear();
            } else if (!overlong_) {
                partial_.append(data + at, length);
            }
            at += length;
            if (!end) break;
            ++at;
            if (!overlong_) handle(partial_);
            partial_.clear();
            overlong_ = false;
        }
    }

private:
    std::string partial_;
    bool overlong_ = false;
};

// A value as one line: line ends and tabs become blanks, the last line end goes.
std::string one_line(std::string value) {
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    for (char& c : value)
        if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    return value;
}

enum class entry_kind { skip, folder, value };

// What a walk does with an entry: enter folders on the same file system,
// read regular files that someone may read. Never follows links or
// triggers an automount.
entry_kind classify(const std::string& path, dev_t walk_device, const char* walk) {
    struct stat info;
    if (fstatat(AT_FDCWD, system_path(path).c_str(), &info, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0)
        return entry_kind::skip;
    if (S_ISDIR(info.st_mode)) {
        if (info.st_dev == walk_device) return entry_kind::folder;
        debug_printf("%s: %s is another file system, not entered\n", walk, path.c_str());
        return entry_kind::skip;
    }
    if (!S_ISREG(info.st_mode) || !(info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH))) return entry_kind::skip;
    return entry_kind::value;
}

bool read_value(const std::string& path, std::string& value) {
    bool cut = false;
    if (!read_capped(path, value_cap, value, &cut)) return false;
    value = one_line(value);
    return true;
}

bool device_of(const std::string& path, dev_t& device) {
    struct stat info;
    if (stat(system_path(path).c_str(), &info) != 0) return false;
    device = info.st_dev;
    return true;
}

// Entries the walk leaves out: a new random value at every read, and the
// IPv6 neighbour times in seconds whose millisecond twins hold the same
// value (reading them makes the kernel log a deprecation warning).
bool left_out(const std::string& folder, const std::string& name, const std::vector<std::string>& names) {
    if (folder == "kernel.random" && name == "uuid") return true;
    static const std::string neighbours = "net.ipv6.neigh.";
    if (folder.compare(0, neighbours.size(), neighbours) != 0 || folder.size() == neighbours.size() ||
        folder.find('.', neighbours.size()) != std::string::npos)
        return false;
    if (name != "base_reachable_time" && name != "retrans_time") return false;
    return std::find(names.begin(), names.end(), name + "_ms") != names.end();
}

// The /proc/sys walk and its limits.
struct parameter_walk {
    std::vector<setting>& out;
    size_t cap;
    dev_t device;
    long long deadline;
    size_t unreadable = 0;
    bool ended = false;

    void walk(const std::string& path, const std::string& prefix, int depth) {
        std::vector<std::string> names;
        if (depth > walk_depth_cap || !list_directory(path, names, folder_cap)) return;
        for (const std::string& name : names) {
            if (ended) return;
            if (out.size() >= cap || monotonic_ms() > deadline) {
                debug_printf("kernel parameters: the walk ends at %zu entries%s\n", out.size(),
                             out.size() >= cap ? "" : ", out of time");
                ended = true;
                return;
            }
            // A dot inside a folder name (an interface "eth0.5") is shown as
            // a slash, so that the dots keep separating levels.
            std::string shown = name;
            for (char& c : shown)
                if (c == '.') c = '/';
            const std::string child = path + "/" + name;
            const std::string dotted = prefix.empty() ? shown : prefix + "." + shown;
            if (left_out(prefix, name, names)) continue;
            entry_kind kind = classify(child, device, "kernel parameters");
            if (kind == entry_kind::folder) {
                walk(child, dotted, depth + 1);
            } else if (kind == entry_kind::value) {
                std::string value;
                if (read_value(child, value))
                    out.push_back({dotted, value});
                else
                    ++unreadable;
            }
        }
    }
};

}  // namespace

taint_flag taint_flag_of(int bit) {
    for (const taint_flag& flag : taint_flags)
        if (flag.bit == bit) return flag;
    return {bit, '?', "unknown taint flag"};
}

std::string taint_letters(uint64_t mask) {
    std::string letters;
    for (int bit = 0; bit < 64; ++bit)
        if (mask >> bit & 1) letters += taint_flag_of(bit).letter;
    return letters;
}

bool parse_kmsg_record(const std::string& line, kernel_record& record) {
    size_t text_start = line.find(';');
    if (text_start == std::string::npos) return false;
    const std::string prefix = line.substr(0, text_start);
    uint64_t numbers[3];
    size_t at = 0;
    for (uint64_t& number : numbers) {
        size_t comma = prefix.find(',', at);
        std::string field = prefix.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!parse_unsigned(field, number)) return false;
        if (comma == std::string::npos && &number != &numbers[2]) return false;
        at = comma == std::string::npos ? prefix.size() : comma + 1;
    }
    record.facility = static_cast<int>(numbers[0] >> 3 & 0xffff);
    record.level = static_cast<int>(numbers[0] & 7);
    record.sequence = numbers[1];
    record.time_us = numbers[2];
    record.message = line.substr(text_start + 1);
    return true;
}

std::vector<kernel_record> read_kernel_log(size_t keep) {
    std::deque<kernel_record> last;
    int fd = open(system_path("/dev/kmsg").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        debug_printf("/dev/kmsg: %s\n", std::strerror(errno));
        return {};
    }
    line_splitter lines;
    size_t records = 0, malformed = 0;
    const long long deadline = monotonic_ms() + walk_time_limit_ms;
    auto take = [&](const std::string& line) {
        if (line.empty() || line[0] == ' ') return;  // continuation: key=value pairs
        kernel_record record;
        if (!parse_kmsg_record(line, record)) {
            ++malformed;
            return;
        }
        ++records;
        last.push_back(std::move(record));
        if (last.size() > keep) last.pop_front();
    };
    std::string buffer(kmsg_read_size, '\0');
    for (;;) {
        if (records >= kmsg_record_cap || monotonic_ms() > deadline) {
            debug_printf("/dev/kmsg: reading ends after %zu records\n", records);
            break;
        }
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) {
            debug_printf("/dev/kmsg: records were overwritten while reading\n");
            continue;
        }
        if (n < 0 && errno != EAGAIN) debug_printf("/dev/kmsg: %s\n", std::strerror(errno));
        if (n <= 0) break;  // EAGAIN: no more records now; 0: end of a copy
        lines.feed(buffer.data(), static_cast<size_t>(n), take);
    }
    close(fd);
    if (malformed) debug_printf("/dev/kmsg: %zu lines were not records\n", malformed);
    debug_printf("/dev/kmsg: %zu records, the last %zu kept\n", records, last.size());
    return {std::make_move_iterator(last.begin()), std::make_move_iterator(last.end())};
}

std::vector<kernel_record> records_since(std::vector<kernel_record> records, uint64_t now_us, int days) {
    if (days <= 0) return records;
    const uint64_t span = static_cast<uint64_t>(days) * 86400u * 1000000u;
    const uint64_t start = now_us > span ? now_us - span : 0;
    std::erase_if(records, [start](const kernel_record& record) { return record.time_us < start; });
    return records;
}

void set_kernel_log_days(int days) { kernel_log_days = days; }

void set_boot_clock(uint64_t (*clock)()) { boot_clock = clock ? clock : monotonic_us; }

const char* log_level_name(int level) { return level >= 0 && level < 8 ? level_names[level] : "?"; }

std::string log_facility_name(int facility) {
    for (const named_facility& entry : facilities)
        if (entry.facility == facility) return entry.name;
    return std::to_string(facility);
}

std::vector<setting> read_kernel_parameters(size_t cap) {
    std::vector<setting> out;
    dev_t device;
    if (!device_of("/proc/sys", device)) return out;
    parameter_walk walk{out, cap, device, monotonic_ms() + walk_time_limit_ms};
    walk.walk("/proc/sys", "", 0);
    if (walk.unreadable) debug_printf("kernel parameters: %zu could not be read\n", walk.unreadable);
    return out;
}

std::vector<module_parameter> read_module_parameters(size_t cap) {
    std::vector<module_parameter> out;
    std::vector<std::string> modules;
    dev_t device;
    if (!device_of("/sys/module", device) || !list_directory("/sys/module", modules, folder_cap)) return out;
    const long long deadline = monotonic_ms() + walk_time_limit_ms;
    size_t unreadable = 0;
    for (const std::string& module : modules) {
        const std::string folder = "/sys/module/" + module + "/parameters";
        std::vector<std::string> names;
        if (!list_directory(folder, names, folder_cap)) continue;
        for (const std::string& name : names) {
            if (out.size() >= cap || monotonic_ms() > deadline) {
                debug_printf("module parameters: the walk ends at %zu entries\n", out.size());
                return out;
            }
            const std::string path = folder + "/" + name;
            if (classify(path, device, "module parameters") != entry_kind::value) continue;
            std::string value;
            if (read_value(path, value))
                out.push_back({module, name, value});
            else
                ++unreadable;
        }
    }
    if (unreadable) debug_printf("module parameters: %zu could not be read\n", unreadable);
    return out;
}

bool kernel_taint_available() { return system_file_readable("/proc/sys/kernel/tainted"); }

bool write_kernel_taint(FILE* report) {
    uint64_t mask = 0;
    if (!parse_unsigned(read_attribute("/proc/sys/kernel/tainted"), mask)) {
        debug_printf("/proc/sys/kernel/tainted: not a number\n");
        return false;
    }
    write_table(report, "Kernel Taint", {{"Mask", INTEGER}, {"Flags", STRING}},
                {{"tainted", {table_cell::of_count(mask), taint_letters(mask)}}});
    std::vector<table_row> rows;
    for (int bit = 0; bit < 64; ++bit) {
        if (!(mask >> bit & 1)) continue;
        taint_flag flag = taint_flag_of(bit);
        const std::string letter(1, flag.letter);
        rows.push_back({letter, {table_cell::of_value(bit), letter, flag.meaning}});
    }
    write_table(report, "Kernel Taint Flags", {{"Bit", INTEGER}, {"Flag", STRING}, {"Meaning", STRING}}, rows);
    return true;
}

bool kernel_log_available() { return system_file_readable("/dev/kmsg"); }

bool write_kernel_log(FILE* report) {
    std::vector<kernel_record> records;
    if (kernel_log_days > 0) {
        records = records_since(read_kernel_log(kmsg_record_cap), boot_clock(), kernel_log_days);
        debug_printf("/dev/kmsg: %zu records of the last %d days\n", records.size(), kernel_log_days);
    } else {
        records = read_kernel_log();
    }
    std::vector<table_row> rows;
    rows.reserve(records.size());
    char time[48];
    for (kernel_record& record : records) {
        std::snprintf(time, sizeof time, "%llu.%06llu", static_cast<unsigned long long>(record.time_us / 1000000),
                      static_cast<unsigned long long>(record.time_us % 1000000));
        rows.push_back({time,
                        {table_cell::of_count(record.sequence), time, log_facility_name(record.facility),
                         log_level_name(record.level), std::move(record.message)}});
    }
    write_table(report, "Kernel Log",
                {{"Sequence", INTEGER}, {"Time", STRING}, {"Facility", STRING}, {"Level", STRING}, {"Message", STRING}},
                rows);
    return !rows.empty();
}

bool kernel_parameters_available() { return system_file_exists("/proc/sys"); }

bool write_kernel_parameters(FILE* report) {
    std::vector<setting> settings = read_kernel_parameters();
    std::vector<table_row> rows;
    rows.reserve(settings.size());
    for (setting& entry : settings) rows.push_back({entry.name, {entry.name, std::move(entry.value)}});
    write_table(report, "Kernel Parameters", {{"Name", STRING}, {"Value", STRING}}, rows);
    return !rows.empty();
}

bool module_parameters_available() { return system_file_exists("/sys/module"); }

bool write_module_parameters(FILE* report) {
    std::vector<module_parameter> parameters = read_module_parameters();
    std::vector<table_row> rows;
    rows.reserve(parameters.size());
    for (module_parameter& entry : parameters)
        rows.push_back({entry.module, {entry.module, std::move(entry.parameter), std::move(entry.value)}});
    write_table(report, "Module Parameters", {{"Module", STRING}, {"Parameter", STRING}, {"Value", STRING}}, rows);
    return !rows.empty();
}

#include "system/system_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/run_context.h"
#include "report/report.h"

namespace {

std::string system_root;  // empty: the machine's own root

constexpr size_t attribute_cap = 4096;
// Walks over /proc for a process name end here: far above any real machine.
constexpr size_t process_walk_cap = 65536;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void set_system_root(const char* directory) {
    system_root = directory && std::strcmp(directory, "/") != 0 ? directory : "";
    while (!system_root.empty() && system_root.back() == '/') system_root.pop_back();
}

std::string system_path(const std::string& path) { return system_root + path; }

bool read_capped(const std::string& path, size_t cap, std::string& text, bool* cut) {
    text.clear();
    if (cut) *cut = false;
    const std::string real = system_path(path);
    int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        debug_printf("%s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        debug_printf("%s: not a regular file, not read\n", path.c_str());
        close(fd);
        return false;
    }
    // One byte past the cap tells whether the file is longer.
    char buffer[65536];
    bool failed = false;
    while (text.size() <= cap) {
        size_t want = std::min(sizeof buffer, cap + 1 - text.size());
        ssize_t n = read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            debug_printf("%s: %s\n", path.c_str(), std::strerror(errno));
            failed = true;
            break;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (failed) return false;
    if (text.size() > cap) {
        text.resize(cap);
        if (cut) *cut = true;
        debug_printf("%s: cut at %zu bytes\n", path.c_str(), cap);
    }
    return true;
}

std::string read_attribute(const std::string& path) {
    std::string text;
    int fd = open(system_path(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return text;
    char buffer[attribute_cap];
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n > 0) text.assign(buffer, static_cast<size_t>(n));
    return trimmed(text);
}

bool system_file_exists(const std::string& path) {
    struct stat info;
    return stat(system_path(path).c_str(), &info) == 0;
}

bool system_file_readable(const std::string& path) {
    bool readable = access(system_path(path).c_str(), R_OK) == 0;
    if (!readable) debug_printf("%s: %s\n", path.c_str(), std::strerror(errno));
    return readable;
}

bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            size_t i_end = i, j_end = j;
            while (i_end < a.size() && is_digit(a[i_end])) ++i_end;
            while (j_end < b.size() && is_digit(b[j_end])) ++j_end;
            // Leading zeros do not count; then the longer run is the larger.
            size_t i_lead = i, j_lead = j;
            while (i_lead + 1 < i_end && a[i_lead] == '0') ++i_lead;
            while (j_lead + 1 < j_end && b[j_lead] == '0') ++j_lead;
            size_t i_len = i_end - i_lead, j_len = j_end - j_lead;
            if (i_len != j_len) return i_len < j_len;
            int order = a.compare(i_lead, i_len, b, j_lead, j_len);
            if (order != 0) return order < 0;
            if (i_end - i != j_end - j) return i_end - i < j_end - j;
            i = i_end;
            j = j_end;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool list_directory(const std::string& path, std::vector<std::string>& names, size_t cap, bool* cut) {
    names.clear();
    if (cut) *cut = false;
    DIR* folder = opendir(system_path(path).c_str());
    if (!folder) return false;
    while (dirent* entry = readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (names.size() >= cap) {
            if (cut) *cut = true;
            debug_printf("%s: listing ends at %zu entries\n", path.c_str(), cap);
            break;
        }
        names.emplace_back(entry->d_name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end(), natural_less);
    return true;
}

std::string cut_marker(size_t cap) {
    return "--- cut here: what followed the first " + std::to_string(cap) + " bytes is left out ---\n";
}

bool embed_text(FILE* report, const char* name, const std::string& text, bool cut, size_t cap) {
    std::string shown = text;
    if (cut) {
        if (!shown.empty() && shown.back() != '\n') shown += '\n';
        shown += cut_marker(cap);
    }
    // A memory stream lets the report's one embedding routine copy the text.
    char empty = 0;
    FILE* input = fmemopen(shown.empty() ? &empty : shown.data(), shown.size(), "r");
    if (!input) {
        debug_printf("%s: fmemopen: %s\n", name, std::strerror(errno));
        return false;
    }
    bool written = embed_stream(report, name, input);
    std::fclose(input);
    return written;
}

std::string cut_marker_before(size_t cap) {
    return "--- cut here: what came before the last " + std::to_string(cap) + " bytes is left out ---\n";
}

namespace {

// The newest cap bytes of a stream: a plain buffer until it holds cap
// bytes, a ring from then on.
struct newest_bytes {
    explicit newest_bytes(size_t limit) : cap(limit) {}
    void add(const char* data, size_t size) {
        total += size;
        if (cap == 0) return;
        if (kept.size() < cap) {
            size_t room = std::min(size, cap - kept.size());
            kept.append(data, room);
            data += room;
            size -= room;
        }
        bool skipped = size > cap;
        if (skipped) {  // only the chunk's own end survives
            data += size - cap;
            size = cap;
            last_dropped = data[-1];
        }
        while (size > 0) {
            size_t part = std::min(size, cap - head);
            if (!skipped) last_dropped = kept[head + part - 1];
            std::memcpy(&kept[head], data, part);
            head = (head + part) % cap;
            data += part;
            size -= part;
        }
    }
    // The bytes in their order; true when older ones were dropped.
    bool finish() {
        if (total <= cap) return false;
        std::rotate(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(head), kept.end());
        return true;
    }
    size_t cap;
    size_t total = 0;
    size_t head = 0;  // the oldest byte once the ring is full
    std::string kept;
    char last_dropped = 0;  // the byte just before the oldest kept
};

}  // namespace

bool embed_newest(FILE* report, const char* name, FILE* input, size_t cap) {
    newest_bytes newest(cap);
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, input)) > 0) newest.add(chunk, got);
    bool failed = std::ferror(input) != 0;
    std::string shown;
    if (newest.finish()) {
        debug_printf("%s: %zu bytes, the newest %zu kept\n", name, newest.total, cap);
        // A first line kept that is the end of one goes too.
        size_t line_end = newest.last_dropped == '\n' ? std::string::npos : newest.kept.find('\n');
        size_t start = line_end == std::string::npos ? 0 : line_end + 1;
        shown = cut_marker_before(cap) + newest.kept.substr(start);
    } else {
        shown.swap(newest.kept);
    }
    char empty = 0;
    FILE* text = fmemopen(shown.empty() ? &empty : shown.data(), shown.size(), "r");
    if (!text) {
        debug_printf("%s: fmemopen: %s\n", name, std::strerror(errno));
        return false;
    }
    bool written = embed_stream(report, name, text);
    std::fclose(text);
    return written && !failed;
}

bool embed_capped(FILE* report, const std::string& path, size_t cap) {
    std::string text;
    bool cut = false;
    if (!read_capped(path, cap, text, &cut)) return false;
    debug_printf("embedded: %s\n", path.c_str());
    return embed_text(report, path.c_str(), text, cut, cap);
}

bool kernel_module_present(const char* name) {
    if (system_file_exists(std::string("/sys/module/") + name)) return true;
    std::string modules;
    if (!read_capped("/proc/modules", 1 << 20, modules)) return false;
    const std::string wanted = std::string(name) + " ";
    for (size_t at = 0; at < modules.size();) {
        if (modules.compare(at, wanted.size(), wanted) == 0) return true;
        size_t end = modules.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return false;
}

bool process_running(const char* command) {
    std::vector<std::string> entries;
    if (!list_directory("/proc", entries, process_walk_cap)) return false;
    for (const std::string& entry : entries) {
        if (entry.empty() || !is_digit(entry[0])) continue;
        if (read_attribute("/proc/" + entry + "/comm") == command) return true;
    }
    return false;
}

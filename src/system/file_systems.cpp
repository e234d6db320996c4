#include "system/file_systems.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "base/run_context.h"
#include "system/bounded_command.h"
#include "report/table_rows.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

constexpr size_t mountinfo_cap = 4 << 20;
constexpr int default_per_call_ms = 2000;
constexpr int default_budget_ms = 5000;

statvfs_fn statvfs_call = statvfs;
int per_call_ms = default_per_call_ms;
int budget_ms = default_budget_ms;

// What the measuring child sends for each mount.
struct statvfs_record {
    uint32_t index;
    int32_t error;  // 0, or the errno of the failed call
    uint64_t fragment_size;
    uint64_t blocks;
    uint64_t blocks_free;
    uint64_t blocks_available;
    uint64_t inodes;
    uint64_t inodes_free;
};

struct measure_job {
    const std::vector<std::string>* paths;  // under the system root
    const std::vector<uint32_t>* indexes;   // of the mounts, in order
    size_t first;                           // the first still to measure
};

// Runs in the child: one record per mount, written as soon as it is known.
void measure_in_child(int fd, void* argument) {
    const measure_job& job = *static_cast<const measure_job*>(argument);
    for (size_t i = job.first; i < job.indexes->size(); ++i) {
        statvfs_record record{};
        record.index = (*job.indexes)[i];
        struct statvfs info {};
        if (statvfs_call((*job.paths)[i].c_str(), &info) != 0) {
            record.error = errno ? errno : EIO;
        } else {
            record.fragment_size = info.f_frsize ? info.f_frsize : info.f_bsize;
            record.blocks = info.f_blocks;
            record.blocks_free = info.f_bfree;
            record.blocks_available = info.f_bavail;
            record.inodes = info.f_files;
            record.inodes_free = info.f_ffree;
        }
        if (write(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) return;
    }
}

uint64_t times(uint64_t count, uint64_t size) { return size && count > UINT64_MAX / size ? UINT64_MAX : count * size; }

void apply(const statvfs_record& record, mount_entry& mount) {
    if (record.error) {
        mount.status = std::strerror(record.error);
        return;
    }
    mount.status = "OK";
    mount.measured = true;
    mount.size = times(record.blocks, record.fragment_size);
    uint64_t used_blocks = record.blocks >= record.blocks_free ? record.blocks - record.blocks_free : 0;
    mount.used = times(used_blocks, record.fragment_size);
    mount.available = times(record.blocks_available, record.fragment_size);
    mount.inodes = record.inodes;
    mount.inodes_free = record.inodes_free;
    mount.inodes_used = record.inodes >= record.inodes_free ? record.inodes - record.inodes_free : 0;
}

// Splits a mountinfo line at its blanks.
std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        if (end > at) fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

}  // namespace

std::string unescape_mount_field(const std::string& field) {
    std::string text;
    text.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char* digits = field.c_str() + i + 1;
            bool octal = true;
            for (int d = 0; d < 3; ++d) octal = octal && digits[d] >= '0' && digits[d] <= '7';
            if (octal) {
                text += static_cast<char>((digits[0] - '0') << 6 | (digits[1] - '0') << 3 | (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

std::vector<mount_entry> parse_mountinfo(const std::string& text, size_t cap) {
    std::vector<mount_entry> mounts;
    size_t line_number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++line_number;
        if (line.empty()) continue;
        std::vector<std::string> fields = fields_of(line);
        // Six fixed fields, optional ones, "-", then type, source and
        // super options.
        size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-") ++separator;
        if (separator + 2 >= fields.size()) {
            debug_printf("mountinfo line %zu malformed, skipped\n", line_number);
            continue;
        }
        if (mounts.size() >= cap) {
            debug_printf("mountinfo: the list ends at %zu mounts\n", cap);
            break;
        }
        mount_entry mount;
        mount.mount_point = unescape_mount_field(fields[4]);
        mount.options = fields[5];
        mount.type = unescape_mount_field(fields[separator + 1]);
        mount.device = unescape_mount_field(fields[separator + 2]);
        if (separator + 3 < fields.size()) mount.fs_options = unescape_mount_field(fields[separator + 3]);
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

void measure_mounts(std::vector<mount_entry>& mounts) {
    std::vector<std::string> paths;
    std::vector<uint32_t> indexes;
    for (size_t i = 0; i < mounts.size(); ++i) {
        if (mounts[i].type == "autofs") {
            mounts[i].status = "not queried: automount point";
            continue;
        }
        paths.push_back(system_path(mounts[i].mount_point));
        indexes.push_back(static_cast<uint32_t>(i));
    }
    const long long end = monotonic_ms() + budget_ms;
    const char* left_out = "not queried: time limit reached";
    size_t next = 0;
    while (next < indexes.size() && monotonic_ms() < end) {
        measure_job job{&paths, &indexes, next};
        bounded_child child;
        if (!child.start(measure_in_child, &job)) {
            left_out = "not queried: no measuring process";
            break;
        }
        for (; next < indexes.size(); ++next) {
            long long left = end - monotonic_ms();
            if (left <= 0) break;
            statvfs_record record{};
            bool read = child.read_exact(&record, sizeof record, left < per_call_ms ? static_cast<int>(left) : per_call_ms);
            mount_entry& mount = mounts[indexes[next]];
            if (!read || record.index != indexes[next]) {
                // A fresh child goes on after the mount that did not answer.
                mount.status = child.timed_out() ? "timed out" : "not queried: the measuring process ended";
                debug_printf("statvfs %s: %s\n", mount.mount_point.c_str(), mount.status.c_str());
                ++next;
                break;
            }
            apply(record, mount);
        }
        child.finish();
    }
    for (; next < indexes.size(); ++next) {
        mount_entry& mount = mounts[indexes[next]];
        mount.status = left_out;
        debug_printf("statvfs %s: %s\n", mount.mount_point.c_str(), mount.status.c_str());
    }
}

bool file_systems_available() { return system_file_readable("/proc/self/mountinfo"); }

bool write_file_systems(FILE* report) {
    std::string text;
    if (!read_capped("/proc/self/mountinfo", mountinfo_cap, text)) return false;
    std::vector<mount_entry> mounts = parse_mountinfo(text);
    measure_mounts(mounts);
    std::vector<table_row> rows;
    for (const mount_entry& mount : mounts) {
        table_row row{mount.mount_point,
                      {mount.device, mount.mount_point, mount.type, mount.options, mount.fs_options, mount.status}};
        if (mount.measured)
            for (uint64_t figure :
                 {mount.size, mount.used, mount.available, mount.inodes, mount.inodes_used, mount.inodes_free})
                row.cells.push_back(table_cell::of_count(figure));
        rows.push_back(std::move(row));
    }
    // Without figures a row ends at its status.
    write_table(report, "File Systems",
                {{"Device", STRING},
                 {"Mount Point", STRING},
                 {"Type", STRING},
                 {"Options", STRING},
                 {"FS Options", STRING},
                 {"Status", STRING},
                 {"Size (bytes)", INTEGER},
                 {"Used (bytes)", INTEGER},
                 {"Available (bytes)", INTEGER},
                 {"Inodes", INTEGER},
                 {"Inodes Used", INTEGER},
                 {"Inodes Free", INTEGER}},
                rows);
    return !rows.empty();
}

void set_statvfs_call(statvfs_fn call) { statvfs_call = call ? call : statvfs; }

void set_statvfs_limits(int per_call, int budget) {
    per_call_ms = per_call > 0 ? per_call : default_per_call_ms;
    budget_ms = budget > 0 ? budget : default_budget_ms;
}

// Mounted file systems from /proc/self/mountinfo, each measured with
// statvfs in a child process under a deadline, so that a dead network share
// cannot hang the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <sys/statvfs.h>

struct mount_entry {
    std::string device;
    std::string mount_point;
    std::string type;
    std::string options;     // of this mount
    std::string fs_options;  // of the file system (the super block)
    std::string status;      // "OK", or why there are no figures
    bool measured = false;
    uint64_t size = 0;       // bytes
    uint64_t used = 0;
    uint64_t available = 0;  // to unprivileged users
    uint64_t inodes = 0;
    uint64_t inodes_used = 0;
    uint64_t inodes_free = 0;
};

constexpr size_t mount_cap = 10000;

// The mounts of a mountinfo text in their order, at most cap; malformed
// lines are skipped with a debug line.
std::vector<mount_entry> parse_mountinfo(const std::string& text, size_t cap = mount_cap);
// Undoes the kernel's octal escapes ("\040" for a blank) in a mount field.
std::string unescape_mount_field(const std::string& field);
// Fills the figures of each mount. Each statvfs may take per_call_ms, all
// of them together budget_ms; automount points are never touched (that
// would mount them).
void measure_mounts(std::vector<mount_entry>& mounts);

bool file_systems_available();
bool write_file_systems(FILE* report);

using statvfs_fn = int (*)(const char* path, struct statvfs* result);
// The statvfs call (null restores the real one) and the time limits
// (0 restores the defaults). Tests only.
void set_statvfs_call(statvfs_fn call);
void set_statvfs_limits(int per_call_ms, int budget_ms);

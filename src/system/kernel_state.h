// The running kernel's state: its taint flags, the last records of its log
// (/dev/kmsg, read without blocking), its parameters under /proc/sys and
// the parameters of its modules under /sys/module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct taint_flag {
    int bit;
    char letter;
    const char* meaning;
};
// The flag of a taint bit; unknown bits get the letter '?'.
taint_flag taint_flag_of(int bit);
// The letters of the set flags, in bit order ("PO").
std::string taint_letters(uint64_t mask);

struct kernel_record {
    uint64_t sequence = 0;
    uint64_t time_us = 0;  // since boot
    int facility = 0;
    int level = 0;
    std::string message;
};

constexpr size_t kernel_log_keep = 2000;

// One record as /dev/kmsg gives it: "priority,sequence,time,flags[,...];text".
// False when the line is not such a record.
bool parse_kmsg_record(const std::string& line, kernel_record& record);
// The last keep records of the kernel log, oldest first. Continuation lines
// (which start with a blank) are skipped.
std::vector<kernel_record> read_kernel_log(size_t keep = kernel_log_keep);
// The records of the last `days` days before now_us (time since boot),
// oldest first; records of an older time are dropped.
std::vector<kernel_record> records_since(std::vector<kernel_record> records, uint64_t now_us, int days);
// With days > 0 the "Kernel Log" table holds the records of the last
// `days` days instead of the last kernel_log_keep records. The driver sets it.
void set_kernel_log_days(int days);
// Time since boot in microseconds, on the clock of the kernel log; tests
// replace it (null restores the real one).
void set_boot_clock(uint64_t (*clock)());
const char* log_level_name(int level);
std::string log_facility_name(int facility);

struct setting {
    std::string name;
    std::string value;
};

constexpr size_t setting_cap = 20000;

// The readable kernel parameters under /proc/sys as "kernel.hostname" and
// their values, in natural order; write-only and unreadable entries are
// left out, and nothing beyond /proc/sys itself is entered (so an automount
// point such as fs/binfmt_misc is never triggered).
std::vector<setting> read_kernel_parameters(size_t cap = setting_cap);

struct module_parameter {
    std::string module;
    std::string parameter;
    std::string value;
};
std::vector<module_parameter> read_module_parameters(size_t cap = setting_cap);

bool kernel_taint_available();
bool write_kernel_taint(FILE* report);
bool kernel_log_available();
bool write_kernel_log(FILE* report);
bool kernel_parameters_available();
bool write_kernel_parameters(FILE* report);
bool module_parameters_available();
bool write_module_parameters(FILE* report);

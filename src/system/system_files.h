// The machine's files as the native readers reach them: one replaceable
// root folder for /proc, /sys, /etc and /dev, bounded whole-file and
// attribute reads, sorted directory listings, and files embedded with a cap.
// Every path given here is the path on the machine ("/proc/mdstat").
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The size cap of an embedded file of the machine.
constexpr size_t default_file_cap = 1 << 20;

// The folder that stands for "/"; null or "/" restores the machine's own
// root. Tests only: they point it at a fixture tree.
void set_system_root(const char* directory);
// The path under the system root.
std::string system_path(const std::string& path);

// Up to cap bytes of a regular file into text; cut (when given) says that
// the file held more. False, with a debug line, when it cannot be opened or
// read, or is not a regular file (a planted FIFO must not block the run).
bool read_capped(const std::string& path, size_t cap, std::string& text, bool* cut = nullptr);
// A short attribute file (sysfs, /proc), at most 4 KiB, with the blanks and
// line ends at both ends removed; empty when it is missing.
std::string read_attribute(const std::string& path);
bool system_file_exists(const std::string& path);
bool system_file_readable(const std::string& path);

// The entry names of a folder ("." and ".." left out) in natural order, at
// most cap of them; cut (when given) says there were more. False when the
// folder cannot be opened.
bool list_directory(const std::string& path, std::vector<std::string>& names, size_t cap, bool* cut = nullptr);
// Orders names with their runs of digits compared as numbers, so that sda2
// comes before sda10 and 9 before 10.
bool natural_less(const std::string& a, const std::string& b);

// Embeds a file under its path on the machine: at most cap bytes, and a
// longer file is cut and ends with the cut marker line. False when it cannot
// be read.
bool embed_capped(FILE* report, const std::string& path, size_t cap);
// Embeds text under name; a text cut at cap bytes ends with the marker line.
bool embed_text(FILE* report, const char* name, const std::string& text, bool cut, size_t cap);
// The line that ends a cut file or output.
std::string cut_marker(size_t cap);

// The cap of a log's embedded output: its newest bytes are kept.
constexpr size_t log_tail_cap = 16u << 20;
// Embeds the newest cap bytes of what input gives, under name. Output that
// was longer starts with the marker line of the older part left out, and
// then with the first whole line kept. Memory stays within cap. False when
// input could not be read.
bool embed_newest(FILE* report, const char* name, FILE* input, size_t cap);
// The line that starts output whose older part was left out.
std::string cut_marker_before(size_t cap);

// Whether a kernel module is in the running kernel: listed in /proc/modules
// or present under /sys/module. Reading these never loads anything.
bool kernel_module_present(const char* name);
// Whether a process with this command name (as in /proc/PID/comm) runs.
bool process_running(const char* command);

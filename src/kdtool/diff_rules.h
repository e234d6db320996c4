// What kdtool diff needs to know about the tables and files of a report:
// what identifies a row, which values change on every run (counters, times,
// process ids, random and boot ids, load addresses, memory and interrupt
// counts), and which files are logs. The lists are data (diff_rules.cpp),
// reviewed in tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct table_diff_rule {
    const char* table;
    const char* key;               // columns that identify a row, '+' between; null: the row's own key
    const char* volatile_columns;  // '|' between
    const char* volatile_rows;     // rows whose every value is volatile, by key ('/' between key
                                   // columns; '*' stands for any run of characters)
    const char* varying;           // rows whose key holds one of these texts are keyed without
                                   // their numbers, and come and go between runs (boot messages)
    const char* group;             // rows added or removed together, by the part of their key at
                                   // "{}" in a pattern of '.'-separated parts ('*' any one part,
                                   // a last '*' all the rest): one line per group
};

// The group of a key under a pattern such as "net.*.*.{}.*", empty when
// the key does not match it.
std::string key_group(std::string_view key, const char* pattern);

enum class file_compare {
    lines,     // a line diff
    log,       // messages, their time stamps and process ids set aside, compared as a set
    numbers,   // lines compared as a set with their numbers set aside
    processes, // a process list compared as a set of users and commands
};

struct file_diff_rule {
    const char* file;
    file_compare how;
    const char* volatile_lines;   // numbers: only lines holding one of these ('|' between); null: all;
                                  // logs: messages whose numbers vary from boot to boot
    const char* transient_lines;  // lines holding one of these come and go between runs
};

// The rule for a table or file by its title or name; null when it has none.
const table_diff_rule* table_rule(std::string_view title);
const file_diff_rule* file_rule(std::string_view name);
const std::vector<table_diff_rule>& table_diff_rules();
const std::vector<file_diff_rule>& file_diff_rules();

// Whether text matches one of the '|'-separated patterns, in which '*'
// stands for any run of characters.
bool matches_listed(std::string_view text, const char* patterns);
// Kernel messages whose numbers differ from boot to boot (calibrations,
// times, random seeds) and that some boots write and others do not.
extern const char* const boot_varying_messages;

// Whether text holds one of the '|'-separated texts.
bool holds_listed(std::string_view text, const char* texts);

// A log line without its time stamp, host and process id; kernel time
// stamps ("[   12.345678] ") are set aside as well.
std::string log_message(std::string_view line);
// A line with every number (decimal or hexadecimal, with a digit) standing
// alone as '#', and every run of blanks as one.
std::string without_numbers(std::string_view line);
// A line of "ps aux" output as its user and command, without the process
// id, usage figures, state and times between them.
std::string process_identity(std::string_view line);

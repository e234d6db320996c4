// The probe kinds of the native readers: a file of the machine embedded
// with a size cap, an external tool run with a deadline, and a reader
// function that writes its tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "probes/probe.h"
#include "report/report_table.h"

constexpr size_t default_file_cap = 1 << 20;
constexpr size_t tool_output_cap = 2 << 20;
constexpr int tool_timeout_ms = 5000;

struct table_column {
    const char* name;
    ColumnType type;
};

// One cell of a reader's table: a text (STRING columns), a count or size
// (INTEGER), a signed value (INTEGER) or a flag (BOOL).
struct table_cell {
    enum class kind { text, count, value, flag };
    kind type;
    std::string text;
    uint64_t count = 0;
    int32_t value = 0;

    table_cell(std::string cell_text) : type(kind::text), text(std::move(cell_text)) {}
    table_cell(const char* cell_text) : type(kind::text), text(cell_text ? cell_text : "") {}
    static table_cell of_count(uint64_t number);
    static table_cell of_value(int32_t number);
    static table_cell of_flag(bool set);
};

// A row: its label and its cells; a row with fewer cells than columns
// ends early (a figure that could not be had is left out, never shown as 0).
struct table_row {
    std::string label;
    std::vector<table_cell> cells;
};

// Writes a whole table. Each column is as wide as its longest value (at
// most 255), so that the text renderings show whole values.
void write_table(FILE* report, const char* title, std::initializer_list<table_column> columns,
                 const std::vector<table_row>& rows);

// Embeds one file reached through the system root, labelled with its path
// on the machine; a file longer than cap is cut with a marker line.
class capped_file_probe : public probe {
public:
    capped_file_probe(probe_section& section, const char* name, const char* path, int32_t level,
                      size_t cap = default_file_cap);
    bool test() override;  // the file is readable
    bool run() override;

    const char* path;  // static text
    size_t cap;
};

// An external tool and the condition under which it may run.
struct tool_command {
    const char* const* argv;  // null-terminated; argv[0] is the tool's name
    // Null, or whether what the tool reads is there already: a tool must
    // never make the kernel load a module to answer.
    bool (*ready)();
};

// Runs a tool found in the system's command folders, without a shell and
// with a deadline, and embeds its output under the probe's name; true when
// it exits with 0.
class tool_probe : public probe {
public:
    tool_probe(probe_section& section, const char* name, const tool_command& command, int32_t level);
    bool test() override;  // the tool exists and is ready
    bool run() override;

    const tool_command& command;  // static
};

// A reader that writes tables: available says whether its source is
// there, write reads it and writes into the report (true when it wrote).
class reader_probe : public probe {
public:
    using available_fn = bool (*)();
    using write_fn = bool (*)(FILE* report);
    reader_probe(probe_section& section, const char* name, int32_t level, available_fn available, write_fn write);
    bool test() override;
    bool run() override;

private:
    available_fn available_;
    write_fn write_;
};

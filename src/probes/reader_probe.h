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
#include "report/table_rows.h"
#include "system/bounded_command.h"
#include "system/system_files.h"

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

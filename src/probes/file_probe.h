// Probes that copy text into the report unchanged: one file, or the output
// of one shell command line.
#pragma once

#include "probes/probe.h"

// Embeds one file, labelled with its path.
class file_probe : public probe {
public:
    file_probe(probe_section& section, const char* name, const char* path, int32_t level);
    bool test() override;  // the file is readable
    bool run() override;

    const char* path;  // static text
};

// Runs a command (a plain command or an embedded script) and embeds its
// output under the probe's name; true only when the command exits with 0.
class list_probe : public probe {
public:
    list_probe(probe_section& section, const char* name, const char* command, int32_t level);
    bool run() override;

    const char* command;  // static text
};

// The result of a list probe's command from its wait status (negative when
// closing failed), with the debug line that tells it.
bool command_status_ok(const char* name, int status);

// Embeds every readable regular file of one folder, each labelled with its
// path, in name order. Links to regular files count; anything else (devices,
// pipes, sub-folders) is left out.
class folder_probe : public probe {
public:
    folder_probe(probe_section& section, const char* name, const char* folder, int32_t level);
    bool test() override;  // the folder holds such a file
    bool run() override;

    const char* folder;  // static text
};

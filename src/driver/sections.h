// Short names for every section of a run, the driver's fixed sections and
// the probe sections alike, and the choice of sections the command line
// makes with -skip and -only. The system summary always runs.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "probes/probe.h"

struct run_options;

// The short name of a probe section: from the table of known sections
// (occurrence counts sections of the same title, from 1), else made from
// its title ("Kernel State" -> "kernelstate").
std::string probe_section_short_name(const char* title, int occurrence);

// Which sections a run writes.
struct section_choice {
    std::vector<std::string> only;  // the only ones wanted; empty: all
    std::vector<std::string> skip;  // left out
    bool wanted(const std::string& short_name) const;
};

// The choice of -skip and -only. Names are matched in any case; a name that
// is no section's, and the summary (which always runs), give a warning.
section_choice choose_sections(const run_options& options, const section_list& list,
                               std::vector<std::string>& warnings);

// Marks the probe sections the choice leaves out.
void apply_choice(const section_choice& choice, section_list& list);

// One line per section in run order: short name, title, level, sources.
void write_section_list(FILE* out, const section_list& list);

// Short names of the driver's fixed sections.
inline constexpr const char* summary_section = "summary";
inline constexpr const char* time_zone_section = "timezone";
inline constexpr const char* smbios_section = "smbios";
inline constexpr const char* pci_section = "pci";
inline constexpr const char* service_processor_section = "svcproc";

// The short name of a fixed section by its progress label ("SMBIOS Info");
// the summary's for a label that is none of theirs.
const char* fixed_section_of_label(const char* label);

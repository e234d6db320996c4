// The "SMBIOS INFORMATION" section: one table per structure type present.
#pragma once

#include <cstdio>

class smbios_table;

// Loads the machine's SMBIOS table and writes the section. Returns "OK", or
// "Failed" (and writes nothing) when there is no usable table.
const char* write_smbios_section(FILE* report);
// As above, with a table object of the caller's (loaded here if not yet).
const char* write_smbios_section(FILE* report, smbios_table& table);

// Turns the text of a pci.ids list into the rows of a PCI name table. The
// build runs it (through pci_ids_gen) to make the built-in table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pci/pci_names.h"

struct pci_name_data {
    std::vector<pci_name_row> rows;
    std::string texts;  // the names, each ended by a NUL; rows hold offsets
};

// Parses a list of "vvvv  vendor", "\tdddd  device" and
// "\t\tssss tttt  subsystem" lines (comments and blank lines skipped; the
// class section from the first "C " line on is not used). Vendors must be
// strictly ascending, and devices strictly ascending within a vendor. Each
// device's subsystem lines become, per subsystem vendor in order of first
// appearance, an 'O' row named after that vendor followed by its 'S' rows,
// or 'X' rows when the list has no vendor line for it. False on the first
// malformed line, with error naming it ("line N: ...").
bool parse_pci_ids(std::string_view list, pci_name_data& out, std::string& error);

// The C++ source that defines pci_name_table, pci_name_table_rows and
// pci_name_texts for data.
std::string pci_name_source(const pci_name_data& data, const std::string& origin);

// What the report says about PCI hardware: the text listing of every
// function, the summary table and the expansion ROM listing.
#pragma once

#include <cstdio>

// Section "PCI DEVICES" with one block of lines per function (text modes).
// "OK" when a function was listed, "Not Found" (and no section) when none,
// "FAILED" without a report stream.
const char* list_pci_devices(FILE* report);

// Section "PCI DEVICES" with the table "PCI Device Summary", one row per
// function (the structured modes). "OK", or "FAILED" without a report stream.
const char* summarize_pci_devices(FILE* report);

// The option ROMs found on 512-byte boundaries from 0xC0000 up to 0xE0000,
// written straight to the report (text modes). "OK" when one was listed,
// else "Not Found".
const char* list_expansion_roms(FILE* report);

// The built-in PCI name database: vendor, device and subsystem names from a
// table of rows, and the class and subclass names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// One row of a name table. The rows form a hierarchy by position alone: a
// 'V' (vendor) row opens a block that runs to the next 'V' row; inside it
// 'D' (device) rows, each followed by its subsystem rows: an 'O' row naming a
// subsystem vendor, then the 'S' rows of that vendor's subsystem IDs. 'X'
// rows keep a subsystem vendor and subsystem ID pair (id, second_id) whose
// vendor has no name; no lookup matches them.
struct pci_name_row {
    char kind;
    uint16_t id;
    uint16_t second_id;  // 'X' rows only, else 0
    uint32_t name;       // offset of the name in the table's texts
};

// The table compiled into the program (generated from the pci.ids list at
// build time): its rows, their count and the NUL-separated names.
extern const pci_name_row pci_name_table[];
extern const size_t pci_name_table_rows;
extern const char pci_name_texts[];

// A name table with an index of its vendor rows. The lookups give the same
// answers as linear scans from the first row; the index only finds the
// first 'V' row of a vendor without scanning the rows before it.
class pci_name_list {
public:
    pci_name_list(const pci_name_row* rows, size_t count, const char* texts);

    // "Unknown" when the vendor has no row.
    const char* vendor_name(uint16_t vendor) const;
    // The first 'D' row of the device within the vendor's block; "Unknown"
    // when there is none.
    const char* device_name(uint16_t vendor, uint16_t device) const;
    // The most specific name: the subsystem's own, else its subsystem vendor
    // row's, else the device's; "Unknown" without a device row, or when the
    // table ends inside the subsystem vendor's rows.
    const char* subsystem_name(uint16_t vendor, uint16_t device, uint16_t sub_vendor, uint16_t sub_device) const;

    // Index of the first 'V' row of vendor, or size() when there is none.
    size_t vendor_row(uint16_t vendor) const;
    size_t size() const { return count_; }
    const pci_name_row& row(size_t index) const { return rows_[index]; }
    const char* name_of(const pci_name_row& row) const { return texts_ + row.name; }

private:
    size_t device_row(uint16_t vendor, uint16_t device) const;

    const pci_name_row* rows_;
    size_t count_;
    const char* texts_;
    std::vector<std::pair<uint16_t, uint32_t>> vendor_index_;  // (vendor ID, first 'V' row), by ID
};

// The built-in table, indexed on first use.
const pci_name_list& builtin_pci_names();

const char* pci_vendor_name(uint16_t vendor);
const char* pci_device_name(uint16_t vendor, uint16_t device);
const char* pci_subsystem_name(uint16_t vendor, uint16_t device, uint16_t sub_vendor, uint16_t sub_device);
// Name of a base class code; "Unknown" for codes without one.
const char* pci_class_name(uint8_t base_class);
// Name of a subclass; key = base class * 256 + subclass. "Unknown" for keys
// without one.
const char* pci_subclass_name(uint16_t key);

// Vital Product Data of a PCI function, read through its VPD capability.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// The texts of one function's VPD, by slot: 0 product name (identifier
// string), 1 part number (keyword P.), 2 EC level (E.), 3 manufacture ID
// (M.), 4 serial number (S.), 5-14 V0-V9, 15-40 VA-VZ, 41 extended
// capability (C.), 42 R. (kept, never printed).
struct pci_vpd {
    static constexpr int slots = 43;
    std::optional<std::string> slot[slots];
};

// Offset of the function's VPD capability in configuration space, or 0.
uint8_t find_vpd_capability(uint8_t bus, uint8_t device, uint8_t function);

// Reads the VPD through the capability at cap into vpd (all slots empty
// first). A fetch that the device never answers, an unknown resource or a
// resource reaching past the 15-bit VPD address space ends the read; what was
// read before stays.
void read_vpd(uint8_t bus, uint8_t device, uint8_t function, uint8_t cap, pci_vpd& vpd);

// Writes the line of every filled slot and empties the slots.
void print_vpd(FILE* out, pci_vpd& vpd);

// Replaces the sleep between polls of the VPD flag (null restores sleep_ms).
// Tests only.
void set_vpd_poll_sleep(void (*sleep)(int ms));

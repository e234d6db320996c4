// What the kernel says about a PCI function beyond its configuration space:
// the bound driver, the NUMA node and the PCIe link, from its folder under
// /sys/bus/pci/devices/.
#pragma once

#include <cstdint>
#include <string>

struct pci_function_facts {
    std::string driver;          // name of the bound driver, "None" when unbound
    std::string numa_node;       // as the kernel writes it ("-1": no node)
    std::string link_speed;      // e.g. "8.0 GT/s PCIe"
    std::string max_link_speed;
    std::string link_width;      // lanes, e.g. "16"
    std::string max_link_width;
};

// The function's address in the usual form, "DDDD:BB:DD.F" (lower case).
std::string pci_address_text(uint32_t domain, uint8_t bus, uint8_t device, uint8_t function);

// Reads the facts of the function at address; a value the kernel does not
// give is "Unknown".
pci_function_facts read_pci_function_facts(const std::string& address);

// Replaces "/sys/bus/pci/devices/" (the text must end in '/'); null restores
// it. Tests only.
void set_pci_sysfs_directory(const char* directory);

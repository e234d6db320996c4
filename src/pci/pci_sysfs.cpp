#include "pci/pci_sysfs.h"

#include <unistd.h>

#include <cstdio>

#include "base/attribute_file.h"

namespace {

const char* const default_sysfs_directory = "/sys/bus/pci/devices/";
std::string sysfs_directory = default_sysfs_directory;

std::string attribute(const std::string& folder, const char* name) {
    return read_attribute_line(folder + name);
}

// The driver is the last part of the "driver" link's target.
std::string driver_name(const std::string& folder) {
    char target[512];
    ssize_t length = readlink((folder + "driver").c_str(), target, sizeof target - 1);
    if (length <= 0) return "None";
    std::string path(target, static_cast<size_t>(length));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void set_pci_sysfs_directory(const char* directory) {
    sysfs_directory = directory ? directory : default_sysfs_directory;
}

std::string pci_address_text(uint32_t domain, uint8_t bus, uint8_t device, uint8_t function) {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", domain, static_cast<unsigned>(bus),
                  static_cast<unsigned>(device), static_cast<unsigned>(function));
    return text;
}

pci_function_facts read_pci_function_facts(const std::string& address) {
    std::string folder = sysfs_directory + address + "/";
    pci_function_facts facts;
    facts.driver = driver_name(folder);
    facts.numa_node = attribute(folder, "numa_node");
    facts.link_speed = attribute(folder, "current_link_speed");
    facts.max_link_speed = attribute(folder, "max_link_speed");
    facts.link_width = attribute(folder, "current_link_width");
    facts.max_link_width = attribute(folder, "max_link_width");
    return facts;
}

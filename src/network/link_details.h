// What the kernel says about a network interface beyond its link message:
// the driver and firmware (the ethtool driver-info request) and the link
// state of its /sys/class/net folder.
#pragma once

#include <string>

struct driver_info {
    std::string driver;
    std::string firmware;
};

struct link_details {
    std::string driver = "Unknown";
    std::string firmware = "Unknown";
    std::string speed;            // Mb/s as the kernel writes it ("-1": not known)
    std::string duplex;           // "full", "half", "unknown"
    std::string oper_state;       // "up", "down", "dormant", ...
    std::string carrier;          // "1", "0"
    std::string carrier_changes;  // a count
};

// Driver and firmware of the named interface; false when the interface
// does not answer the request (no driver, or a virtual one).
using driver_info_source = bool (*)(const char* interface, driver_info& info);

// The details of one interface; values not given are "Unknown". A name
// that could leave the interface folder gets "Unknown" everywhere.
link_details read_link_details(const std::string& interface);

// Replace the driver-info request and "/sys/class/net/" (the text must end
// in '/'); null restores them. Tests only.
void set_driver_info_source(driver_info_source source);
void set_net_sysfs_directory(const char* directory);

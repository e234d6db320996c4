// Disk health where the machine has the tools: the SMART health verdict and
// attributes of SATA and SAS disks (smartctl, never waking a disk that
// sleeps) and the health log of NVMe controllers (nvme smart-log), each
// output embedded under the command it came from.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// One health command: its label in the report and its arguments after the
// tool's name.
struct health_command {
    std::string label;               // "smartctl -H -A /dev/sda"
    const char* tool;                // "smartctl" or "nvme"
    std::vector<std::string> args;   // after the tool's name
};

// The commands for the machine's disks: SATA and SAS disks ("sd" names, not
// removable) by smartctl, NVMe controllers (/sys/class/nvme) by nvme, in
// natural name order, only for tools that are there.
std::vector<health_command> disk_health_commands();

bool disk_health_available();
// Runs each command with the tool runner's deadline and embeds its output;
// true when any output was embedded.
bool write_disk_health(FILE* report);

// Block devices, read from /sys/block and /sys/class/nvme: one row per
// disk and partition with its identity, size and queue settings, and the
// tools that show software RAID, LVM and multipath on top of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report/table_rows.h"
#include "system/bounded_command.h"

struct block_device {
    std::string name;
    std::string type;         // disk, part, rom, loop, md or dm
    std::string major_minor;  // "8:0"
    uint64_t size = 0;        // bytes
    std::string vendor;
    std::string model;
    std::string serial;
    std::string revision;
    std::string transport;
    bool rotational = false;
    bool removable = false;
    bool read_only = false;
    std::string scheduler;  // the one in use
    std::string holders;    // blank-separated names of the devices built on it
};

constexpr size_t block_device_cap = 4096;

// The machine's block devices in natural name order, each disk followed by
// its partitions; at most cap rows. Unattached loop devices are left out.
std::vector<block_device> read_block_devices(size_t cap = block_device_cap);
// The serial number in a SCSI unit serial number page (VPD 0x80) as the
// kernel exports it, blanks trimmed; empty when the page is malformed.
std::string vpd_serial(const std::string& page);
// The scheduler in use from a queue's "none [mq-deadline] kyber" list.
std::string current_scheduler(const std::string& list);

bool block_devices_available();
bool write_block_devices(FILE* report);

// LVM's views (only with the device-mapper in the kernel: the tools would
// otherwise open its control node and have the module loaded) and the
// multipath topology (only with the multipath target loaded).
extern const tool_command pvs_command;
extern const tool_command vgs_command;
extern const tool_command lvs_command;
extern const tool_command multipath_command;

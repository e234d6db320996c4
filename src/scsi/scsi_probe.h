// The SCSI device probe: every device the SCSI generic driver exposes, one
// report table per host adapter and one row per device, with each device's
// ordinary device node (/dev/sda, /dev/scd0, ...), identity, address, serial
// number and capacity. Everything learnt on the way goes to the debug log.
#pragma once

#include <cstdint>
#include <string>

#include "probes/probe.h"

// One ordinary device node and the SCSI address words it answered with.
struct SidEntry {
    SidEntry* next = nullptr;
    char name[64] = {};
    uint32_t dev_id = 0;
    uint32_t host_unique_id = 0;
};

// What is learnt about one generic device.
struct ScsiDeviceInfo {
    std::string sg_version;       // "%d.%d.%d"; empty on the old driver
    int32_t emulated_host = 0;
    std::string generic_name;     // for example /dev/sg0
    uint32_t dev_id = 0;
    uint32_t host_unique_id = 0;
    int32_t bus_number = 0;
    int32_t host = 0;
    int32_t channel = 0;
    int32_t target_id = 0;
    int32_t lun = 0;
    bool old_driver = false;
    std::string type;             // peripheral type text
    std::string vendor;           // at most 8 characters
    std::string model;            // at most 16
    std::string revision;         // at most 4
    std::string serial;           // at most 16, empty when unknown
    std::string capacity;         // empty when unknown
    std::string host_adapter;     // empty when the adapter gave no name
};

class scsi_probe : public probe {
public:
    scsi_probe(probe_section& section, const char* name, int32_t level);
    ~scsi_probe() override;

    // True when a generic device node can be opened for reading.
    bool test() override;
    // Writes the tables; true when at least one device was reported.
    bool run() override;

    // The ordinary device nodes found by the last run, in search order.
    const SidEntry* sid_list() const { return sid_head_; }

private:
    void build_sid_list();
    void clear_sid_list();
    const SidEntry* find_sid(uint32_t dev_id, uint32_t host_unique_id) const;
    bool report_pass(bool letters);

    SidEntry* sid_head_ = nullptr;
    SidEntry* sid_tail_ = nullptr;
};

// The node name prefix + index: with digits "%s%d"; with letters a-z for
// 0-25, aa-zz for 26-701 and "NA" beyond. Cut to 63 characters.
std::string device_node_name(const char* prefix, int index, bool letters);

// Decimal capacity text: "36.4GB", "1.0KB", "999 bytes"; at most 11 characters.
std::string format_capacity(uint64_t bytes);

// The type text for the first byte of INQUIRY data (qualifier bits included).
std::string peripheral_type_text(unsigned char type_byte);

// Collects one generic device (/dev/sg<index> in digits or letters); true when
// it is to be reported.
bool collect_device(int index, bool letters, ScsiDeviceInfo& info);

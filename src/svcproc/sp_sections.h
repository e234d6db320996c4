// The SERVICE PROCESSOR INFORMATION section: what the service processor
// knows, as report tables.
#pragma once

#include <cstdint>
#include <cstdio>

// Selector bits of the table groups, run in this order.
enum sp_group : uint16_t {
    sp_group_vpd = 0x0001,          // firmware and system VPD
    sp_group_dimms = 0x0002,
    sp_group_fru = 0x0004,
    sp_group_voltages = 0x0008,
    sp_group_temperatures = 0x0010,
    sp_group_fans = 0x0020,
    sp_group_dial_out = 0x0040,
    sp_group_alerts = 0x0080,
    sp_group_dial_in = 0x0100,
    sp_group_clocks_and_log = 0x0200,  // timestamps and the error log
    sp_all_groups = 0xFFFF,
};

// At most this many error-log entries are read, so a service processor that
// never ends its log cannot hold the run.
constexpr int sp_log_entry_limit = 10000;

// Opens the service processor and writes the section with the selected
// groups: "OK", or "Not Found" with nothing written when none answers.
const char* gather_service_processor(FILE* report, uint16_t selector);

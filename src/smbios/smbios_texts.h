// The enumeration and bit-list texts of the SMBIOS decoders, and the few
// texts that are computed rather than looked up.
#pragma once

#include <cstdint>
#include <string>

#include "smbios/smbios_decode.h"

// BIOS, system, enclosure and processor.
extern const text_table rom_size_texts;
extern const text_table wake_up_type_texts;
extern const text_table bootup_state_texts;
extern const text_table processor_status_texts;

// Memory controllers, modules, caches and memory devices.
extern const text_table error_detect_texts;
extern const text_table error_correct_texts;
extern const text_table interleave_texts;
extern const text_table cache_mode_texts;
extern const text_table cache_size_texts;
extern const text_table cache_ecc_texts;
extern const text_table system_cache_texts;
extern const text_table associativity_texts;
extern const text_table array_location_texts;
extern const text_table array_use_texts;
extern const text_table array_ecc_texts;
extern const text_table form_factor_texts;
extern const text_table memory_device_type_texts;
extern const text_table memory_technology_texts;   // the whole list of device types
extern const text_table cache_associativity_texts; // the whole list of associativities
extern const bit_names speed_bits;
extern const bit_names memory_type_bits;
extern const bit_names voltage_bits;
extern const bit_names sram_type_bits;

// Ports, slots and on-board devices.
extern const text_table connector_type_texts;
extern const text_table port_type_texts;
extern const text_table slot_type_texts;
extern const text_table bus_width_texts;
extern const text_table slot_usage_texts;
extern const text_table slot_length_texts;
extern const text_table onboard_device_texts;
extern const bit_names slot_characteristics_1_bits;
extern const bit_names slot_characteristics_2_bits;

// On-board devices with their addresses, BMC interfaces, power supplies, TPMs.
extern const text_table onboard_device_extended_texts;
extern const text_table bmc_interface_texts;
extern const text_table power_supply_status_texts;
extern const text_table power_supply_type_texts;
extern const text_table power_supply_range_texts;

// Pointing devices.
extern const text_table pointing_type_texts;
extern const text_table pointing_interface_texts;

// "Populated, Enabled" and the like; bit 6 is the socket-populated flag.
const char* processor_status_text(uint8_t status, std::string& buffer);
// Size of a memory module: 2 to the power of bits 0-6 in MB, or a state;
// bit 7 (double bank) is ignored.
const char* module_size_text(uint8_t size, std::string& buffer);
// The RAS lines of a module's bank connections, high nibble first; 15 means
// no connection.
const char* bank_connection_text(uint8_t connections, std::string& buffer);
// A size in kilobytes as "%llu KB", or in MB or GB when it divides evenly.
const char* size_text(uint64_t kilobytes, std::string& buffer);

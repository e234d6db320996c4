// The built-in probe sections in their fixed order.
#pragma once

#include <string>

#include "probes/probe.h"

// The embedded scripts, each one shell command line.
extern const char* const messages_script;
extern const char* const kernel_messages_script;
extern const char* const boot_log_script;
extern const char* const module_script;
extern const char* const package_script;
// Their stand-ins on today's systems.
extern const char* const dpkg_package_script;
extern const char* const journal_script;
extern const char* const kernel_journal_script;
extern const char* const systemd_units_script;

// A journal script narrowed to the entries of the last `days` days, of all
// boots, instead of the last lines of the current boot.
std::string journal_script_since(const char* script, int days);
// Points the catalogue's journal probes at their scripts for the last
// `days` days (days > 0). Called by the driver before the probe pass.
void keep_journal_days(int days);

// The first two sections of the list, where the network and SCSI device
// probes belong; the driver adds those probes.
probe_section& network_devices_section();
probe_section& scsi_devices_section();

// The built-in probe sections in their fixed order.
#pragma once

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

// The first two sections of the list, where the network and SCSI device
// probes belong; the driver adds those probes.
probe_section& network_devices_section();
probe_section& scsi_devices_section();

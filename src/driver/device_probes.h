// The network and SCSI device probes, which belong to their own subsystems,
// registered into the first two sections of the built-in list.
#pragma once

// Adds both probes on the first call; later calls do nothing.
void register_device_probes();

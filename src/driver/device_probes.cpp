#include "driver/device_probes.h"

#include "network/net_probe.h"
#include "probes/catalogue.h"
#include "scsi/scsi_probe.h"

void register_device_probes() {
    static net_probe network_probe{network_devices_section(), "NETWORK", 3};
    static scsi_probe scsi{scsi_devices_section(), "SCSI", 3};
}

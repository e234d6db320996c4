#include "network/link_details.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/attribute_file.h"

namespace {

// The ethtool driver-info request on a datagram socket of its own.
bool kernel_driver_info(const char* interface, driver_info& info) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ethtool_drvinfo request{};
    request.cmd = ETHTOOL_GDRVINFO;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, interface, IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char*>(&request);
    bool answered = ioctl(fd, SIOCETHTOOL, &ifr) == 0;
    close(fd);
    if (!answered) return false;
    info.driver.assign(request.driver, strnlen(request.driver, sizeof request.driver));
    info.firmware.assign(request.fw_version, strnlen(request.fw_version, sizeof request.fw_version));
    return true;
}

const char* const default_sysfs_directory = "/sys/class/net/";
std::string sysfs_directory = default_sysfs_directory;
driver_info_source driver_source = kernel_driver_info;

// Interface names never hold '/' and are never "." or "..": anything else
// would read outside the interface's folder.
bool safe_name(const std::string& name) {
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

}  // namespace

void set_driver_info_source(driver_info_source source) {
    driver_source = source ? source : kernel_driver_info;
}

void set_net_sysfs_directory(const char* directory) {
    sysfs_directory = directory ? directory : default_sysfs_directory;
}

link_details read_link_details(const std::string& interface) {
    link_details details;
    details.speed = details.duplex = details.oper_state = details.carrier = details.carrier_changes = "Unknown";
    if (!safe_name(interface)) return details;
    const std::string folder = sysfs_directory + interface + "/";
    // Asking about a name the kernel does not know makes it try to load a
    // module of that name: only interfaces that are there are asked.
    struct stat there;
    if (stat(folder.c_str(), &there) != 0) return details;
    driver_info info;
    if (driver_source(interface.c_str(), info)) {
        if (!info.driver.empty()) details.driver = info.driver;
        if (!info.firmware.empty()) details.firmware = info.firmware;
    }
    const std::pair<const char*, std::string*> attributes[] = {
        {"speed", &details.speed},
        {"duplex", &details.duplex},
        {"operstate", &details.oper_state},
        {"carrier", &details.carrier},
        {"carrier_changes", &details.carrier_changes},
    };
    for (auto [name, value] : attributes) *value = read_attribute_line(folder + name);
    return details;
}

#include "system/block_devices.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/run_context.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

constexpr size_t holder_cap = 64;
constexpr size_t folder_entry_cap = 4096;
constexpr uint64_t sector_size = 512;  // sysfs counts sizes in 512-byte sectors whatever the device's blocks
constexpr int scsi_type_cd_dvd = 5;

struct path_hint {
    const char* fragment;  // in the device's path under /sys/devices
    const char* transport;
};

// Searched in order: a USB bridge in front of an ATA disk is USB.
const path_hint transport_hints[] = {
    {"/usb", "usb"},        {"/session", "iscsi"}, {"/rport-", "fc"},     {"/end_device-", "sas"},
    {"/ata", "ata"},        {"/virtio", "virtio"}, {"/mmc_host/", "mmc"},
};

struct name_kind {
    const char* prefix;
    const char* type;
};

const name_kind kinds_by_name[] = {{"loop", "loop"}, {"md", "md"}, {"dm-", "dm"}};

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool attribute_set(const std::string& path) { return read_attribute(path) == "1"; }

uint64_t sectors_to_bytes(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long sectors = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || errno) return 0;
    return sectors > UINT64_MAX / sector_size ? UINT64_MAX : sectors * sector_size;
}

std::string holders_of(const std::string& base) {
    std::vector<std::string> names;
    list_directory(base + "/holders", names, holder_cap);
    std::string joined;
    for (const std::string& name : names) {
        if (!joined.empty()) joined += ' ';
        joined += name;
    }
    return joined;
}

// The device's place under /sys/devices, without the system root.
std::string device_path(const std::string& base) {
    const std::string real = system_path(base);
    char resolved[PATH_MAX];
    if (!realpath(real.c_str(), resolved)) return "";
    std::string path = resolved;
    const std::string root = system_path("");
    if (!root.empty() && starts_with(path, root.c_str())) path.erase(0, root.size());
    return path;
}

std::string transport_from_path(const std::string& path, bool scsi) {
    for (const path_hint& hint : transport_hints)
        if (path.find(hint.fragment) != std::string::npos) return hint.transport;
    return scsi ? "scsi" : "";
}

// "nvme0n1" belongs to the controller "nvme0".
std::string nvme_controller(const std::string& name) {
    size_t digits = 4;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    return name.substr(0, digits);
}

// The first of the attribute files that has a value.
std::string first_attribute(std::initializer_list<std::string> paths) {
    for (const std::string& path : paths) {
        std::string value = read_attribute(path);
        if (!value.empty()) return value;
    }
    return "";
}

void read_nvme_identity(const std::string& base, const std::string& name, block_device& disk) {
    const std::string controller = "/sys/class/nvme/" + nvme_controller(name);
    disk.model = first_attribute({base + "/device/model", controller + "/model"});
    disk.serial = first_attribute({base + "/device/serial", controller + "/serial"});
    disk.revision = first_attribute({base + "/device/firmware_rev", controller + "/firmware_rev"});
    disk.transport = first_attribute({base + "/device/transport", controller + "/transport"});
}

void read_identity(const std::string& base, block_device& disk) {
    if (starts_with(disk.name, "nvme")) {
        read_nvme_identity(base, disk.name, disk);
        return;
    }
    const std::string device = base + "/device";
    const bool scsi = system_file_exists(device + "/scsi_level") || system_file_exists(device + "/type");
    disk.vendor = read_attribute(device + "/vendor");
    disk.model = read_attribute(device + "/model");
    disk.revision = read_attribute(device + "/rev");
    std::string page;
    if (read_capped(device + "/vpd_pg80", 1024, page)) disk.serial = vpd_serial(page);
    if (disk.serial.empty()) disk.serial = first_attribute({base + "/serial", device + "/serial"});
    disk.transport = transport_from_path(device_path(base), scsi);
    if (scsi && read_attribute(device + "/type") == std::to_string(scsi_type_cd_dvd)) disk.type = "rom";
}

std::string type_by_name(const std::string& name) {
    for (const name_kind& kind : kinds_by_name)
        if (starts_with(name, kind.prefix)) return kind.type;
    return "disk";
}

block_device read_disk(const std::string& name) {
    const std::string base = "/sys/block/" + name;
    block_device disk;
    disk.name = name;
    disk.type = type_by_name(name);
    disk.major_minor = read_attribute(base + "/dev");
    disk.size = sectors_to_bytes(read_attribute(base + "/size"));
    disk.rotational = attribute_set(base + "/queue/rotational");
    disk.removable = attribute_set(base + "/removable");
    disk.read_only = attribute_set(base + "/ro");
    disk.scheduler = current_scheduler(read_attribute(base + "/queue/scheduler"));
    disk.holders = holders_of(base);
    if (disk.type == "disk") read_identity(base, disk);
    return disk;
}

// A partition shares its disk's queue and medium.
block_device read_partition(const block_device& disk, const std::string& name) {
    const std::string base = "/sys/block/" + disk.name + "/" + name;
    block_device part;
    part.name = name;
    part.type = "part";
    part.major_minor = read_attribute(base + "/dev");
    part.size = sectors_to_bytes(read_attribute(base + "/size"));
    part.rotational = disk.rotational;
    part.removable = disk.removable;
    part.read_only = attribute_set(base + "/ro");
    part.scheduler = disk.scheduler;
    part.holders = holders_of(base);
    return part;
}

// A loop device without a backing file has nothing to show.
bool unattached_loop(const std::string& name) {
    return starts_with(name, "loop") && !system_file_exists("/sys/block/" + name + "/loop");
}

bool device_mapper_ready() {
    std::string misc;
    if (read_capped("/proc/misc", 65536, misc) && misc.find(" device-mapper\n") != std::string::npos) return true;
    return kernel_module_present("dm_mod");
}

bool multipath_ready() { return device_mapper_ready() && kernel_module_present("dm_multipath"); }

const char* const pvs_argv[] = {"pvs", "--units", "b", "--nosuffix", nullptr};
const char* const vgs_argv[] = {"vgs", "--units", "b", "--nosuffix", nullptr};
const char* const lvs_argv[] = {"lvs", "--units", "b", "--nosuffix", nullptr};
const char* const multipath_argv[] = {"multipath", "-ll", nullptr};

}  // namespace

const tool_command pvs_command{pvs_argv, device_mapper_ready};
const tool_command vgs_command{vgs_argv, device_mapper_ready};
const tool_command lvs_command{lvs_argv, device_mapper_ready};
const tool_command multipath_command{multipath_argv, multipath_ready};

std::string vpd_serial(const std::string& page) {
    constexpr size_t header = 4;
    if (page.size() < header || static_cast<unsigned char>(page[1]) != 0x80) return "";
    size_t length = static_cast<size_t>(static_cast<unsigned char>(page[2])) << 8 |
                    static_cast<unsigned char>(page[3]);
    if (length > page.size() - header) length = page.size() - header;
    std::string serial = page.substr(header, length);
    serial.resize(strnlen(serial.c_str(), serial.size()));
    size_t begin = serial.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    return serial.substr(begin, serial.find_last_not_of(' ') - begin + 1);
}

std::string current_scheduler(const std::string& list) {
    size_t open = list.find('[');
    size_t close = open == std::string::npos ? open : list.find(']', open);
    if (close != std::string::npos) return list.substr(open + 1, close - open - 1);
    return list;
}

std::vector<block_device> read_block_devices(size_t cap) {
    std::vector<block_device> rows;
    std::vector<std::string> disks;
    if (!list_directory("/sys/block", disks, cap)) return rows;
    for (const std::string& name : disks) {
        if (unattached_loop(name)) continue;
        if (rows.size() >= cap) break;
        rows.push_back(read_disk(name));
        const block_device disk = rows.back();
        std::vector<std::string> entries;
        list_directory("/sys/block/" + name, entries, folder_entry_cap);
        for (const std::string& entry : entries) {
            if (!starts_with(entry, name.c_str()) || !system_file_exists("/sys/block/" + name + "/" + entry + "/partition"))
                continue;
            if (rows.size() >= cap) break;
            rows.push_back(read_partition(disk, entry));
        }
    }
    if (rows.size() >= cap) debug_printf("block devices: the list ends at %zu rows\n", cap);
    return rows;
}

bool block_devices_available() { return system_file_exists("/sys/block"); }

bool write_block_devices(FILE* report) {
    std::vector<block_device> devices = read_block_devices();
    std::vector<table_row> rows;
    for (const block_device& device : devices)
        rows.push_back({device.name,
                        {device.name, device.type, device.major_minor, table_cell::of_count(device.size),
                         device.vendor, device.model, device.serial, device.revision, device.transport,
                         table_cell::of_flag(device.rotational), table_cell::of_flag(device.removable),
                         table_cell::of_flag(device.read_only), device.scheduler, device.holders}});
    write_table(report, "Block Devices",
                {{"Name", STRING},
                 {"Type", STRING},
                 {"Major:Minor", STRING},
                 {"Size (bytes)", INTEGER},
                 {"Vendor", STRING},
                 {"Model", STRING},
                 {"Serial", STRING},
                 {"Revision", STRING},
                 {"Transport", STRING},
                 {"Rotational", BOOL},
                 {"Removable", BOOL},
                 {"Read Only", BOOL},
                 {"Scheduler", STRING},
                 {"Holders", STRING}},
                rows);
    return !rows.empty();
}

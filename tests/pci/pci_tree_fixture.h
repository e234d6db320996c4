// A folder standing for /proc/bus/pci, with configuration spaces built in
// tests, and a VPD device that answers during the poll sleep.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pci/pci_config.h"
#include "pci/pci_sysfs.h"
#include "pci/pci_vpd.h"
#include "smbios/memory_fixture.h"

// The 256-byte configuration space of one function.
struct config_space {
    bytes b = bytes(256, 0);

    config_space(uint16_t vendor, uint16_t device, uint8_t base_class, uint8_t subclass, uint8_t header_type) {
        put_u16(b, 0x00, vendor);
        put_u16(b, 0x02, device);
        b[0x0B] = base_class;
        b[0x0A] = subclass;
        b[0x0E] = header_type;
    }
    config_space& u8(unsigned at, uint8_t v) { return b[at] = v, *this; }
    config_space& u16(unsigned at, uint16_t v) { return put_u16(b, at, v), *this; }
    config_space& u32(unsigned at, uint32_t v) { return put_u32(b, at, v), *this; }
    // Status bit 4, the capability pointer and a chain of (offset, ID)
    // capabilities, each pointing at the next.
    config_space& capabilities(const std::vector<std::pair<uint8_t, uint8_t>>& chain) {
        b[0x06] |= 0x10;
        b[0x34] = chain.empty() ? 0 : chain[0].first;
        for (size_t i = 0; i < chain.size(); ++i) {
            b[chain[i].first] = chain[i].second;
            b[chain[i].first + 1u] = i + 1 < chain.size() ? chain[i + 1].first : 0;
        }
        return *this;
    }
};

// Makes itself the configuration directory while it lives.
class pci_tree {
public:
    // The kernel's device folders are looked for under sys/, empty at first.
    pci_tree() {
        set_pci_config_directory((dir.path() + "/").c_str());
        set_pci_sysfs_directory((dir.path() + "/sys/").c_str());
    }
    ~pci_tree() {
        set_pci_config_directory(nullptr);
        set_pci_sysfs_directory(nullptr);
    }
    pci_tree(const pci_tree&) = delete;
    pci_tree& operator=(const pci_tree&) = delete;

    std::string add(unsigned bus, unsigned device, unsigned function, const config_space& space) {
        char name[32];
        std::snprintf(name, sizeof name, "%02x", bus);
        return add_in(name, device, function, space);
    }
    // A function in the bus folder of that name ("3a", "0001:3a", ...).
    std::string add_in(const std::string& folder, unsigned device, unsigned function, const config_space& space) {
        mkdir(dir.file(folder).c_str(), 0755);
        char name[16];
        std::snprintf(name, sizeof name, "/%02x.%x", device, function);
        write_file(dir.file(folder + name), std::string(space.b.begin(), space.b.end()));
        return dir.file(folder + name);
    }

    temp_dir dir;
};

// Serves the VPD image of the function whose configuration file is at path,
// with its VPD capability at cap: each poll sleep answers the address in the
// address register with the four bytes there and sets the flag, unless the
// device is mute. Installs itself as the poll sleep while it lives.
class fake_vpd_device {
public:
    fake_vpd_device(std::string path, uint8_t cap, bytes image, bool mute = false)
        : path_(std::move(path)), cap_(cap), image_(std::move(image)), mute_(mute) {
        active_ = this;
        set_vpd_poll_sleep(&sleep_hook);
    }
    ~fake_vpd_device() {
        set_vpd_poll_sleep(nullptr);
        active_ = nullptr;
    }
    fake_vpd_device(const fake_vpd_device&) = delete;
    fake_vpd_device& operator=(const fake_vpd_device&) = delete;

    int sleeps = 0;
    std::vector<unsigned> addresses;  // every address answered

    // The address register as the last access left it.
    unsigned address_register() const {
        std::string space = read_file(path_);
        return static_cast<uint8_t>(space[cap_ + 2u]) | static_cast<uint8_t>(space[cap_ + 3u]) << 8;
    }

private:
    static void sleep_hook(int) {
        if (active_) active_->answer();
    }
    void answer() {
        ++sleeps;
        if (mute_) return;
        std::string space = read_file(path_);
        unsigned address = static_cast<uint8_t>(space[cap_ + 2u]) | static_cast<uint8_t>(space[cap_ + 3u]) << 8;
        if (address & 0x8000) return;  // already answered
        addresses.push_back(address);
        for (unsigned i = 0; i < 4; ++i)
            space[cap_ + 4u + i] = static_cast<char>(address + i < image_.size() ? image_[address + i] : 0xFF);
        space[cap_ + 3u] = static_cast<char>(space[cap_ + 3u] | 0x80);
        write_file(path_, space);
    }

    std::string path_;
    uint8_t cap_;
    bytes image_;
    bool mute_;
    static inline fake_vpd_device* active_ = nullptr;
};

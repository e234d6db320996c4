#include "pci/pci_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "pci/physical_memory.h"

bool pci_write_mode = false;

namespace {

const char* const default_config_directory = "/proc/bus/pci/";
std::string config_directory = default_config_directory;
uint32_t current_domain = 0;
bool domain_in_folder_name = false;  // "DDDD:BB" rather than "BB"

// One positioned transfer of size bytes to or from a function's
// configuration file. The file is opened for this access only; pread/pwrite
// move exactly the bytes asked for, so no register outside them is touched.
// Writes open the file read-write without truncating it.
bool config_transfer(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset,
                     void* data, size_t size, bool write) {
    char path[512];
    pci_config_path(bus, device, function, path, sizeof path);
    pci_write_mode = write;
    int fd = open(path, (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t done;
    do {
        done = write ? pwrite(fd, data, size, offset) : pread(fd, data, size, offset);
    } while (done < 0 && errno == EINTR);
    close(fd);
    return done == static_cast<ssize_t>(size);
}

}  // namespace

void set_pci_config_directory(const char* directory) {
    config_directory = directory ? directory : default_config_directory;
}

void pci_set_domain(uint32_t domain) {
    current_domain = domain;
    domain_in_folder_name = domain != 0;
}

uint32_t pci_current_domain() { return current_domain; }

void pci_config_path(uint8_t bus, uint8_t device, uint8_t function, char* out, unsigned out_size) {
    if (!domain_in_folder_name)
        std::snprintf(out, out_size, "%s%02x/%02x.%01x", config_directory.c_str(), static_cast<unsigned>(bus),
                      static_cast<unsigned>(device), static_cast<unsigned>(function));
    else
        std::snprintf(out, out_size, "%s%04x:%02x/%02x.%01x", config_directory.c_str(), current_domain,
                      static_cast<unsigned>(bus), static_cast<unsigned>(device), static_cast<unsigned>(function));
}

bool pci_read_header(uint8_t bus, uint8_t device, uint8_t function, uint8_t header[64]) {
    return config_transfer(bus, device, function, 0, header, 64, false);
}

bool pci_config_read8(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint8_t* value) {
    return config_transfer(bus, device, function, offset, value, 1, false);
}

bool pci_config_read16(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint16_t* value) {
    return config_transfer(bus, device, function, offset, value, 2, false);
}

bool pci_config_read32(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint32_t* value) {
    return config_transfer(bus, device, function, offset, value, 4, false);
}

bool pci_config_write16(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint16_t value) {
    return config_transfer(bus, device, function, offset, &value, 2, true);
}

bool read_rom_header(uint32_t address, rom_header* header, rom_pci_data* data) {
    std::memset(header, 0, sizeof *header);
    std::memset(data, 0, sizeof *data);
    uint8_t* copy = read_physical(address, sizeof *header);
    if (!copy) return false;
    if (copy[0] != 0x55 || copy[1] != 0xAA) {
        std::free(copy);
        return false;
    }
    std::memcpy(header, copy, sizeof *header);
    std::free(copy);
    copy = read_physical(address + header->pci_data_offset, sizeof *data);
    if (copy) {
        std::memcpy(data, copy, sizeof *data);
        std::free(copy);
    }
    return true;
}

void sleep_ms(int ms) {
    if (ms < 1) ms = 1;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

struct bus_folder {
    uint32_t domain;
    unsigned bus;
    bool named_with_domain;
    bool operator<(const bus_folder& other) const {
        if (domain != other.domain) return domain < other.domain;
        if (bus != other.bus) return bus < other.bus;
        return !named_with_domain && other.named_with_domain;
    }
};

// Value of exactly the hexadecimal digits of text[0, length), or -1.
long hex_value(const char* text, size_t length) {
    if (length == 0 || length > 8) return -1;
    long value = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// A bus folder's name: "BB" in domain 0, "DDDD:BB" in the others.
bool parse_bus_folder(const char* name, bus_folder& folder) {
    const char* colon = std::strchr(name, ':');
    const char* bus_text = colon ? colon + 1 : name;
    long bus = std::strlen(bus_text) == 2 ? hex_value(bus_text, 2) : -1;
    long domain = colon ? hex_value(name, static_cast<size_t>(colon - name)) : 0;
    if (bus < 0 || domain < 0 || (colon && colon - name < 4)) return false;
    folder = {static_cast<uint32_t>(domain), static_cast<unsigned>(bus), colon != nullptr};
    return true;
}

bool is_directory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The bus folders of the configuration directory in walk order. A machine
// has at most 256 buses in each of a few domains; the listing stops at a
// generous bound all the same.
std::vector<bus_folder> bus_folders() {
    constexpr size_t most_folders = 16384;
    std::vector<bus_folder> folders;
    DIR* directory = opendir(config_directory.c_str());
    if (!directory) return folders;
    while (dirent* entry = readdir(directory)) {
        bus_folder folder;
        if (!parse_bus_folder(entry->d_name, folder)) continue;
        if (!is_directory(config_directory + entry->d_name)) continue;
        folders.push_back(folder);
        if (folders.size() >= most_folders) break;
    }
    closedir(directory);
    // A bus shown both as "BB" and as "0000:BB" is walked once.
    std::sort(folders.begin(), folders.end());
    auto same_bus = [](const bus_folder& a, const bus_folder& b) { return a.domain == b.domain && a.bus == b.bus; };
    folders.erase(std::unique(folders.begin(), folders.end(), same_bus), folders.end());
    return folders;
}

}  // namespace

void pci_scan(const pci_visitor& visit) {
    uint8_t header[64];
    for (const bus_folder& folder : bus_folders()) {
        pci_set_domain(folder.domain);
        domain_in_folder_name = folder.named_with_domain;
        auto bus = static_cast<uint8_t>(folder.bus);
        for (unsigned device = 0; device < 32; ++device) {
            // Function 0 decides: absent, there is no device; without the
            // multi-function bit, there is no other function. The other
            // functions of a multi-function device need not be contiguous
            // (a chipset may have 0, 1 and 3), so a missing one is skipped.
            if (!pci_read_header(bus, device, 0, header)) continue;
            visit(bus, device, 0, header);
            if (!(header[0x0E] & 0x80)) continue;
            for (unsigned function = 1; function < 8; ++function)
                if (pci_read_header(bus, device, function, header)) visit(bus, device, function, header);
        }
    }
    pci_set_domain(0);
}

#include "pci/pci_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

void pci_config_path(uint8_t bus, uint8_t device, uint8_t function, char* out, unsigned out_size) {
    std::snprintf(out, out_size, "%s%02x/%02x.%01x", config_directory.c_str(),
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

// True when the directory of a bus exists. Without it no function of the
// bus can be read, so the walk skips its 32 devices instead of failing to
// open each of their files.
bool bus_directory_exists(unsigned bus) {
    char path[512];
    std::snprintf(path, sizeof path, "%s%02x", config_directory.c_str(), bus);
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void pci_scan(const pci_visitor& visit) {
    uint8_t header[64];
    for (unsigned bus = 0; bus < 16; ++bus) {
        if (!bus_directory_exists(bus)) continue;
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
}

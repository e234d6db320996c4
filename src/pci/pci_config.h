// PCI configuration space through the kernel's per-function files, the
// expansion ROM header reader and the bus walk.
#pragma once

#include <cstdint>
#include <functional>

// Set while a configuration write is in progress, clear for reads.
extern bool pci_write_mode;

// The PCI domain (segment) that the accessors below address: 0 unless set,
// and set by pci_scan to the domain of each function it visits. Domain 0's
// buses are folders "BB", the others' "DDDD:BB".
void pci_set_domain(uint32_t domain);
uint32_t pci_current_domain();

// Path of the configuration file of bus/device/function in the current
// domain, for example "/proc/bus/pci/00/1f.3" or "/proc/bus/pci/0001:3a/00.0".
void pci_config_path(uint8_t bus, uint8_t device, uint8_t function, char* out, unsigned out_size);

// Reads the 64-byte standard header; true when all 64 bytes were read.
bool pci_read_header(uint8_t bus, uint8_t device, uint8_t function, uint8_t header[64]);
// Single registers in host byte order; true when all bytes were transferred.
bool pci_config_read8(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint8_t* value);
bool pci_config_read16(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint16_t* value);
bool pci_config_read32(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint32_t* value);
bool pci_config_write16(uint8_t bus, uint8_t device, uint8_t function, uint8_t offset, uint16_t value);

// Replaces the configuration directory ("/proc/bus/pci/"; the text must end
// in '/'); null restores it. Tests only.
void set_pci_config_directory(const char* directory);

// Header of an expansion ROM image (26 bytes, little-endian).
struct rom_header {
    uint16_t signature;       // 0xAA55
    uint8_t image_size;       // in 512-byte units
    uint8_t entry_code[3];
    char vendor_area[18];
    uint16_t pci_data_offset; // from the ROM's start
};
static_assert(sizeof(rom_header) == 26);

// PCI data structure of an expansion ROM image (26 bytes read).
struct rom_pci_data {
    char signature[4];        // "PCIR"
    uint16_t vendor_id;
    uint16_t device_id;
    uint16_t vpd_offset;      // 0 = none
    uint16_t length;
    uint8_t revision;
    uint8_t prog_if;
    uint8_t subclass;
    uint8_t base_class;
    uint16_t image_length;    // in 512-byte units
    uint16_t code_revision;
    uint8_t code_type;
    uint8_t indicator;        // bit 7: last image
    uint8_t reserved[4];
};
static_assert(sizeof(rom_pci_data) == 26);

// Reads the ROM header at address and, through its offset, the PCI data
// structure (left zero when that read fails). True when the ROM signature
// 0xAA55 is there.
bool read_rom_header(uint32_t address, rom_header* header, rom_pci_data* data);

// Sleeps ms milliseconds (at least 1).
void sleep_ms(int ms);

using pci_visitor = std::function<void(uint8_t bus, uint8_t device, uint8_t function, const uint8_t header[64])>;

// Visits every present function of every bus folder the configuration
// directory shows (buses 0-255 of every domain), domain 0 first, then by
// domain and bus; the current domain is that of the visited function during
// the visit and 0 afterwards. A function is present when
// its 64-byte header can be read. A device whose function 0 is absent is
// skipped whole; one without the multi-function bit in function 0's header
// type is visited at function 0 only; a multi-function device at each of
// its functions 0-7 that is present, gaps included.
void pci_scan(const pci_visitor& visit);

#include "pci/pci_vpd.h"

#include <vector>

#include "pci/pci_config.h"

namespace {

void (*poll_sleep)(int ms) = nullptr;

constexpr uint8_t vpd_capability_id = 3;
constexpr uint32_t last_vpd_address = 0x7FFF;  // bit 15 of the address register is the flag
constexpr int poll_limit = 1000;
// The capability's registers span cap to cap + 7 and must lie past the
// 64-byte header and inside the 256-byte configuration space.
constexpr unsigned lowest_capability = 0x40;
constexpr unsigned highest_vpd_capability = 0xF8;

// Resource names.
constexpr unsigned identifier_string = 0x02;
constexpr unsigned read_only_data = 0x10;
constexpr unsigned read_write_data = 0x11;

struct vpd_device {
    uint8_t bus, device, function, cap;

    bool read8(unsigned offset, uint8_t* value) const {
        return pci_config_read8(bus, device, function, static_cast<uint8_t>(cap + offset), value);
    }
    bool read16(unsigned offset, uint16_t* value) const {
        return pci_config_read16(bus, device, function, static_cast<uint8_t>(cap + offset), value);
    }

    // Asks for the four VPD bytes at address and waits for the device to set
    // the flag. A failed write would leave the flag of the previous fetch
    // standing, so it ends the fetch, as does a failed read.
    bool fetch(uint32_t address) const {
        if (address > last_vpd_address) return false;
        if (!pci_config_write16(bus, device, function, static_cast<uint8_t>(cap + 2), static_cast<uint16_t>(address)))
            return false;
        for (int poll = 0; poll < poll_limit; ++poll) {
            uint8_t flag = 0;
            if (!read8(3, &flag)) return false;
            if (flag & 0x80) return true;
            if (poll_sleep)
                poll_sleep(1);
            else
                sleep_ms(1);
        }
        return false;
    }
};

std::string printable_text(const uint8_t* data, size_t length) {
    std::string text(length, '.');
    for (size_t i = 0; i < length; ++i)
        if (data[i] >= 32 && data[i] <= 126) text[i] = static_cast<char>(data[i]);
    return text;
}

char upper(uint8_t c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); }

// The slot of a keyword, or -1 for keywords that are not kept.
int keyword_slot(uint8_t first, uint8_t second) {
    switch (upper(first)) {
    case 'P': return 1;
    case 'E': return 2;
    case 'M': return 3;
    case 'S': return 4;
    case 'C': return 41;
    case 'R': return 42;
    case 'V': {
        char c = upper(second);
        if (c >= '0' && c <= '9') return 5 + (c - '0');
        if (c >= 'A' && c <= 'Z') return 15 + (c - 'A');
        return -1;
    }
    default: return -1;
    }
}

// Items of a read-only or read-write resource: two keyword characters, a
// length byte and the data. An item running past the resource ends the walk.
void parse_items(const std::vector<uint8_t>& data, pci_vpd& vpd) {
    size_t at = 0;
    while (at < data.size()) {
        if (data.size() - at < 3) return;
        size_t length = data[at + 2];
        if (data.size() - at - 3 < length) return;
        int slot = keyword_slot(data[at], data[at + 1]);
        if (slot >= 0) vpd.slot[slot] = printable_text(&data[at + 3], length);
        at += 3 + length;
    }
}

struct vpd_line {
    int slot;
    const char* format;
};

const vpd_line named_lines[] = {
    {0, "  Product Name  : '%s'\n"},  {1, "  Part Number   : '%s'\n"}, {2, "  EC Level      : '%s'\n"},
    {3, "  Manufacture ID: '%s'\n"},  {4, "  Serial Number : '%s'\n"}, {41, "  Ext Capability: '%s'\n"},
};

}  // namespace

void set_vpd_poll_sleep(void (*sleep)(int ms)) { poll_sleep = sleep; }

uint8_t find_vpd_capability(uint8_t bus, uint8_t device, uint8_t function) {
    uint16_t status = 0;
    if (!pci_config_read16(bus, device, function, 0x06, &status) || !(status & 0x10)) return 0;
    uint8_t pointer = 0;
    if (!pci_config_read8(bus, device, function, 0x34, &pointer)) return 0;
    for (int i = 0; i < 10; ++i) {
        // A pointer into the header or onto the last byte (whose next pointer
        // would wrap to offset 0) is broken; it ends the walk.
        if (pointer < lowest_capability || pointer == 0xFF) return 0;
        uint8_t id = 0, next = 0;
        if (!pci_config_read8(bus, device, function, pointer, &id)) return 0;
        if (!pci_config_read8(bus, device, function, static_cast<uint8_t>(pointer + 1), &next)) return 0;
        if (id == vpd_capability_id) return pointer;
        if (next == 0 || next == 0xFF) return 0;
        pointer = next;
    }
    return 0;
}

void read_vpd(uint8_t bus, uint8_t device, uint8_t function, uint8_t cap, pci_vpd& vpd) {
    for (auto& text : vpd.slot) text.reset();
    if (cap < lowest_capability || cap > highest_vpd_capability) return;
    const vpd_device vpd_regs{bus, device, function, cap};
    uint8_t id = 0;
    if (!vpd_regs.read8(0, &id) || id != vpd_capability_id) return;

    std::vector<uint8_t> data;
    uint32_t address = 0;
    while (vpd_regs.fetch(address)) {
        uint8_t tag = 0;
        if (!vpd_regs.read8(4, &tag)) return;
        unsigned name;
        uint32_t length;
        if (tag & 0x80) {
            uint16_t large_length = 0;
            if (!vpd_regs.read16(5, &large_length)) return;
            name = tag & 0x7F;
            length = large_length;
            address += 3;
        } else {
            name = (tag >> 3) & 0x0F;
            length = tag & 0x07;
            address += 1;
        }
        if (name != identifier_string && name != read_only_data && name != read_write_data) return;
        if (length > 0) {
            if (address + length - 1 > last_vpd_address) return;
            data.resize(length);
            for (uint32_t i = 0; i < length; ++i)
                if (!vpd_regs.fetch(address + i) || !vpd_regs.read8(4, &data[i])) return;
            if (name == identifier_string)
                vpd.slot[0] = printable_text(data.data(), data.size());
            else
                parse_items(data, vpd);
        }
        address += length;
    }
}

void print_vpd(FILE* out, pci_vpd& vpd) {
    for (const vpd_line& line : named_lines) {
        auto& text = vpd.slot[line.slot];
        if (text) std::fprintf(out, line.format, text->c_str());
        text.reset();
    }
    vpd.slot[42].reset();
    for (int slot = 5; slot <= 40; ++slot) {
        auto& text = vpd.slot[slot];
        char second = static_cast<char>(slot < 15 ? '0' + (slot - 5) : 'A' + (slot - 15));
        if (text) std::fprintf(out, "  V%c            : '%s'\n", second, text->c_str());
        text.reset();
    }
}

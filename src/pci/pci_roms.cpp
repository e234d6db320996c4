#include <cstdint>

#include "pci/pci_config.h"
#include "pci/pci_listing.h"
#include "pci/pci_names.h"

namespace {

constexpr uint32_t rom_window_start = 0xC0000;
constexpr uint32_t rom_window_end = 0xE0000;  // not examined
constexpr uint32_t rom_step = 512;

char shown(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 32 && byte <= 127 ? c : '.';
}

void write_rom(FILE* out, uint32_t address, const rom_header& header, const rom_pci_data& data) {
    std::fprintf(out, "  ROM Head Signature     : %04X\n", header.signature);
    std::fprintf(out, "  ROM Start Address      : %lX\n", static_cast<unsigned long>(address));
    std::fprintf(out, "  ROM Image size (bytes) : %u\n", header.image_size * 512u);
    std::fprintf(out, "  ROM Text               : ");
    for (char c : header.vendor_area) std::fputc(shown(c), out);
    std::fprintf(out, "\n");
    std::fprintf(out, "  ROM PCI Structure Sig. : %c%c%c%c\n", shown(data.signature[0]), shown(data.signature[1]),
                 shown(data.signature[2]), shown(data.signature[3]));
    std::fprintf(out, "  ROM Vendor Description : %04X (%s)\n", data.vendor_id, pci_vendor_name(data.vendor_id));
    std::fprintf(out, "  ROM Device Description : %04X (%s)\n", data.device_id,
                 pci_device_name(data.vendor_id, data.device_id));
    std::fprintf(out, "  ROM VPD Address        : %04x \n", data.vpd_offset);
    if (data.vpd_offset) std::fprintf(out, "  ROM VPD Abs. Address   : %X\n", address + data.vpd_offset);
    std::fprintf(out, "  ROM Data Struc. Length : %d\n", data.length);
    std::fprintf(out, "  ROM Data Struc. Rev.   : %X\n", data.revision);
    std::fprintf(out, "  ROM Class Code         : %02X (%s)\n", data.base_class, pci_class_name(data.base_class));
    std::fprintf(out, "  ROM SubClass Code      : %02X (%s)\n", data.subclass,
                 pci_subclass_name(static_cast<uint16_t>(data.base_class << 8 | data.subclass)));
    std::fprintf(out, "  ROM Image Length       : %u\n", data.image_length);
    std::fprintf(out, "  ROM Code Revision      : %u\n", data.code_revision);
    std::fprintf(out, "  ROM COde Type          : %u\n", data.code_type);
    std::fprintf(out, "  ROM Indicator          : %X\n\n", data.indicator);
}

}  // namespace

// Every 512-byte boundary that carries the signature is listed as a ROM of
// its own: the image chain is not followed, so the images of a multi-image
// ROM appear one by one.
const char* list_expansion_roms(FILE* report) {
    if (!report) return "Not Found";
    bool found = false;
    for (uint32_t address = rom_window_start; address < rom_window_end; address += rom_step) {
        rom_header header;
        rom_pci_data data;
        if (!read_rom_header(address, &header, &data)) continue;
        if (!found) {
            std::fprintf(report, "\n=========================\n");
            std::fprintf(report, "  EXPANSION ROM LISTING\n");
            std::fprintf(report, "=========================\n");
            std::fflush(report);
        }
        found = true;
        write_rom(report, address, header, data);
    }
    if (!found) return "Not Found";
    std::fprintf(report, "\n");
    return "OK";
}

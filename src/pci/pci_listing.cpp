#include "pci/pci_listing.h"

#include <cstdint>
#include <string>

#include "pci/pci_config.h"
#include "pci/pci_names.h"
#include "pci/pci_sysfs.h"
#include "pci/pci_vpd.h"
#include "report/report.h"
#include "report/report_table.h"

namespace {

uint16_t le16(const uint8_t* bytes, unsigned at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); }

uint32_t le32(const uint8_t* bytes, unsigned at) {
    return static_cast<uint32_t>(le16(bytes, at)) | static_cast<uint32_t>(le16(bytes, at + 2)) << 16;
}

// Header fields used by both listings.
struct function_ids {
    uint16_t vendor, device;
    uint8_t base_class, subclass;

    explicit function_ids(const uint8_t* header)
        : vendor(le16(header, 0x00)), device(le16(header, 0x02)), base_class(header[0x0B]), subclass(header[0x0A]) {}
    uint16_t class_key() const { return static_cast<uint16_t>(base_class << 8 | subclass); }
};

void write_interrupt_lines(FILE* out, const uint8_t* header) {
    if (header[0x3C]) std::fprintf(out, "  IRQ Line      : %d\n", header[0x3C]);
    if (header[0x3D]) std::fprintf(out, "  IRQ Pin       : %d\n", header[0x3D]);
}

void write_device_lines(FILE* out, uint8_t bus, uint8_t device, uint8_t function, const uint8_t* header) {
    const function_ids ids(header);
    for (int bar = 0; bar < 6; ++bar) {
        uint32_t address = le32(header, 0x10 + 4 * bar);
        if (address) std::fprintf(out, "  BaseAddress %d : %08Xh\n", bar, address);
    }
    if (uint32_t cis = le32(header, 0x28)) std::fprintf(out, "  CardBus Ptr   : %08Xh\n", cis);
    // The subsystem is shown once per device, with its first function.
    if (function == 0) {
        uint16_t sub_vendor = le16(header, 0x2C), sub_device = le16(header, 0x2E);
        if (sub_vendor) std::fprintf(out, "  Subsys Vendor : (%04Xh) %s\n", sub_vendor, pci_vendor_name(sub_vendor));
        if (sub_device)
            std::fprintf(out, "  Subsys Device : (%04Xh) %s\n", sub_device,
                         pci_subsystem_name(ids.vendor, ids.device, sub_vendor, sub_device));
    }
    if (uint32_t rom = le32(header, 0x30)) std::fprintf(out, "  Exp ROM Addr  : %08Xh\n", rom);
    write_interrupt_lines(out, header);
    if (uint8_t cap = find_vpd_capability(bus, device, function)) {
        pci_vpd vpd;
        read_vpd(bus, device, function, cap, vpd);
        print_vpd(out, vpd);
    }
}

void write_bridge_lines(FILE* out, const uint8_t* header) {
    std::fprintf(out, "  BaseAddress 0 : %08Xh\n", le32(header, 0x10));
    std::fprintf(out, "  BaseAddress 1 : %08Xh\n", le32(header, 0x14));
    std::fprintf(out, "  Primary Bus   : %d\n", header[0x18]);
    std::fprintf(out, "  Secondary Bus : %d\n", header[0x19]);
    if (uint32_t rom = le32(header, 0x38)) std::fprintf(out, "  Exp ROM Addr  : %08Xh\n", rom);
    write_interrupt_lines(out, header);
}

// The CardBus subsystem registers lie past the 64-byte header; one that
// cannot be read counts as zero.
void write_cardbus_lines(FILE* out, uint8_t bus, uint8_t device, uint8_t function, const uint8_t* header) {
    const function_ids ids(header);
    uint16_t sub_vendor = 0, sub_device = 0;
    uint32_t legacy = 0;
    if (!pci_config_read16(bus, device, function, 0x40, &sub_vendor)) sub_vendor = 0;
    if (!pci_config_read16(bus, device, function, 0x42, &sub_device)) sub_device = 0;
    if (!pci_config_read32(bus, device, function, 0x44, &legacy)) legacy = 0;
    if (sub_vendor) std::fprintf(out, "  Subsys Vendor : (%04Xh) %s\n", sub_vendor, pci_vendor_name(sub_vendor));
    if (sub_device)
        std::fprintf(out, "  Subsys Device : (%04Xh) %s\n", sub_device,
                     pci_subsystem_name(ids.vendor, ids.device, sub_vendor, sub_device));
    if (legacy) std::fprintf(out, "  Legacy Addr   : %08Xh\n", legacy);
    write_interrupt_lines(out, header);
}

void write_function_block(FILE* out, uint8_t bus, uint8_t device, uint8_t function, const uint8_t* header) {
    const function_ids ids(header);
    std::fprintf(out, "  Vendor        : %s (%04Xh)\n", pci_vendor_name(ids.vendor), ids.vendor);
    std::fprintf(out, "  Device        : %s (%04Xh)\n", pci_device_name(ids.vendor, ids.device), ids.device);
    std::fprintf(out, "  Class         : %s\n", pci_class_name(ids.base_class));
    std::fprintf(out, "  Subclass      : %s\n", pci_subclass_name(ids.class_key()));
    std::fprintf(out, "  Bus Address   : Bus %d, Device %d, Func %d\n", bus, device, function);
    std::fprintf(out, "  Command       : %04Xh\n", le16(header, 0x04));
    std::fprintf(out, "  Status        : %04Xh\n", le16(header, 0x06));
    std::fprintf(out, "  Rev ID        : %02Xh\n", header[0x08]);
    std::fprintf(out, "  Header Type   : %02Xh\n", header[0x0E]);
    // Functions outside domain 0 would otherwise read like domain 0's.
    if (uint32_t domain = pci_current_domain())
        std::fprintf(out, "  Address       : %s\n", pci_address_text(domain, bus, device, function).c_str());
    switch (header[0x0E] & 0x7F) {
    case 0: write_device_lines(out, bus, device, function, header); break;
    case 1: write_bridge_lines(out, header); break;
    case 2: write_cardbus_lines(out, bus, device, function, header); break;
    default: break;
    }
    std::fprintf(out, "\n");
}

struct summary_column {
    const char* name;
    ColumnType type;
};

const summary_column summary_columns[] = {
    {"Bus", INTEGER},
    {"Device", INTEGER},
    {"Function", INTEGER},
    {"Slot", ASCII_STRING},
    {"Vendor ID", HEX},
    {"Vendor Name", ASCII_STRING},
    {"Device ID", HEX},
    {"Device Name", ASCII_STRING},
    {"Class", ASCII_STRING},
    {"Sub Class", ASCII_STRING},
    {"Product Name", ASCII_STRING},
    {"Part Number", ASCII_STRING},
    {"EC Level", ASCII_STRING},
    {"Manufacture ID", ASCII_STRING},
    {"Serial Number", ASCII_STRING},
    {"Address", ASCII_STRING},
    {"Driver", ASCII_STRING},
    {"NUMA Node", ASCII_STRING},
    {"Link Speed", ASCII_STRING},
    {"Max Link Speed", ASCII_STRING},
    {"Link Width", ASCII_STRING},
    {"Max Link Width", ASCII_STRING},
};

void write_summary_row(report_table& table, uint8_t bus, uint8_t device, uint8_t function, const uint8_t* header) {
    const function_ids ids(header);
    const char* device_name = pci_device_name(ids.vendor, ids.device);
    char place[48];
    uint32_t domain = pci_current_domain();
    if (domain)
        std::snprintf(place, sizeof place, " - %u:%d:%d:%d", domain, bus, device, function);
    else
        std::snprintf(place, sizeof place, " - %d:%d:%d", bus, device, function);
    table.start_row((std::string(device_name) + place).c_str());
    table.log_data(bus);
    table.log_data(device);
    table.log_data(function);
    table.log_data("Unknown");
    table.log_data(ids.vendor);
    table.log_data(pci_vendor_name(ids.vendor));
    table.log_data(ids.device);
    table.log_data(device_name);
    table.log_data(pci_class_name(ids.base_class));
    table.log_data(pci_subclass_name(ids.class_key()));
    pci_vpd vpd;
    if (uint8_t cap = find_vpd_capability(bus, device, function)) read_vpd(bus, device, function, cap, vpd);
    for (int slot = 0; slot < 5; ++slot) table.log_data(vpd.slot[slot] ? vpd.slot[slot]->c_str() : "");
    std::string address = pci_address_text(domain, bus, device, function);
    pci_function_facts facts = read_pci_function_facts(address);
    for (const std::string* cell : {&address, &facts.driver, &facts.numa_node, &facts.link_speed,
                                    &facts.max_link_speed, &facts.link_width, &facts.max_link_width})
        table.log_data(cell->c_str());
    table.end_row();
}

}  // namespace

const char* list_pci_devices(FILE* report) {
    if (!report) return "FAILED";
    bool listed = false;
    pci_scan([&](uint8_t bus, uint8_t device, uint8_t function, const uint8_t header[64]) {
        if (!listed) begin_section(report, "PCI DEVICES");
        listed = true;
        write_function_block(report, bus, device, function, header);
    });
    if (!listed) return "Not Found";
    end_section(report);
    return "OK";
}

const char* summarize_pci_devices(FILE* report) {
    if (!report) return "FAILED";
    begin_section(report, "PCI DEVICES");
    {
        report_table table(report, "PCI Device Summary", "PCI_DEVICE");
        table.allow_wide_columns();
        table.start_heading();
        for (const summary_column& column : summary_columns) table.add_column(column.name, column.type);
        table.end_heading();
        pci_scan([&](uint8_t bus, uint8_t device, uint8_t function, const uint8_t header[64]) {
            write_summary_row(table, bus, device, function, header);
        });
    }
    end_section(report);
    return "OK";
}

#include "pci/pci_names.h"

#include <algorithm>

namespace {

const char* const unknown = "Unknown";

struct code_name {
    uint16_t code;
    const char* name;
};

// The name of code in a table, or "Unknown".
template <size_t N>
const char* find_name(const code_name (&table)[N], uint16_t code) {
    for (const code_name& entry : table)
        if (entry.code == code) return entry.name;
    return unknown;
}

const code_name class_names[] = {
    {0x01, "Storage"},
    {0x02, "Network"},
    {0x03, "Display"},
    {0x04, "Multimedia"},
    {0x05, "Memory"},
    {0x06, "Bridge"},
    {0x07, "Communications"},
    {0x08, "System"},
    {0x09, "Input"},
    {0x0A, "Docking"},
    {0x0B, "Processor"},
    {0x0C, "Serial"},
    {0x0D, "Wireless"},
    {0x0E, "Intelligent I/O"},
    {0x0F, "Sattelite Communications"},
    {0x10, "Encryption / Decryption"},
    {0x11, "Data Aquisition & Signal Processing"},
};

const code_name subclass_names[] = {
    {0x0000, "Undefined"},      {0x0001, "Undefined VGA"},
    {0x0100, "SCSI"},           {0x0101, "IDE"},
    {0x0102, "Floppy"},         {0x0103, "IPI"},
    {0x0104, "RAID"},           {0x0180, "Other"},
    {0x0200, "Ethernet"},       {0x0201, "Token Ring"},
    {0x0202, "FDDI"},           {0x0203, "ATM"},
    {0x0280, "Other"},          {0x0300, "VGA"},
    {0x0301, "SuperVGA"},       {0x0302, "3D"},
    {0x0380, "Other"},          {0x0400, "Video"},
    {0x0401, "Audio"},          {0x0480, "Other"},
    {0x0500, "RAM"},            {0x0501, "Flash"},
    {0x0580, "Other"},          {0x0600, "PCI-to-Host"},
    {0x0601, "PCI-to-ISA"},     {0x0602, "PCI-to-EISA"},
    {0x0603, "PCI-to-MCA"},     {0x0604, "PCI-to-PCI"},
    {0x0605, "PCI-to-PCMCIA"},  {0x0606, "PCI-to-NuBUS"},
    {0x0607, "PCI-to-Cardbus"}, {0x0608, "PCI-to-RACEway"},
    {0x0680, "PCI-to-Other"},   {0x0700, "Serial"},
    {0x0701, "Parallel"},       {0x0702, "Multiport Serial"},
    {0x0703, "Hayes Compatible Modem"},
    {0x0780, "Other"},          {0x0800, "PIC"},
    {0x0801, "DMA"},            {0x0802, "Timer"},
    {0x0803, "RTC"},            {0x0880, "Other"},
    {0x0900, "Keyboard"},       {0x0901, "Pen"},
    {0x0902, "Mouse"},          {0x0903, "Scanner"},
    {0x0904, "Game Port"},      {0x0980, "Other"},
    {0x0A00, "Generic"},        {0x0A80, "Other"},
    {0x0B00, "386"},            {0x0B01, "486"},
    {0x0B02, "Pentium"},        {0x0B03, "PentiumPro"},
    {0x0B10, "DEC Alpha"},      {0x0B20, "PowerPC"},
    {0x0B40, "Coprocessor"},    {0x0B80, "Other"},
    {0x0C00, "FireWire"},       {0x0C01, "Access Bus"},
    {0x0C02, "SSA"},            {0x0C03, "USB"},
    {0x0C04, "Fibre"},          {0x0C05, "SMBus Controller"},
    {0x0C80, "Other"},
};

}  // namespace

pci_name_list::pci_name_list(const pci_name_row* rows, size_t count, const char* texts)
    : rows_(rows), count_(count), texts_(texts) {
    for (size_t i = 0; i < count; ++i)
        if (rows[i].kind == 'V') vendor_index_.emplace_back(rows[i].id, static_cast<uint32_t>(i));
    // Stable, so the first row of a vendor that appears twice leads its run.
    std::stable_sort(vendor_index_.begin(), vendor_index_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    vendor_index_.erase(std::unique(vendor_index_.begin(), vendor_index_.end(),
                                    [](const auto& a, const auto& b) { return a.first == b.first; }),
                        vendor_index_.end());
}

size_t pci_name_list::vendor_row(uint16_t vendor) const {
    auto found = std::lower_bound(vendor_index_.begin(), vendor_index_.end(), vendor,
                                  [](const auto& entry, uint16_t id) { return entry.first < id; });
    if (found == vendor_index_.end() || found->first != vendor) return count_;
    return found->second;
}

size_t pci_name_list::device_row(uint16_t vendor, uint16_t device) const {
    size_t i = vendor_row(vendor);
    if (i == count_) return count_;
    for (++i; i < count_; ++i) {
        if (rows_[i].kind == 'V') break;
        if (rows_[i].kind == 'D' && rows_[i].id == device) return i;
    }
    return count_;
}

const char* pci_name_list::vendor_name(uint16_t vendor) const {
    size_t i = vendor_row(vendor);
    return i < count_ ? name_of(rows_[i]) : unknown;
}

const char* pci_name_list::device_name(uint16_t vendor, uint16_t device) const {
    size_t i = device_row(vendor, device);
    return i < count_ ? name_of(rows_[i]) : unknown;
}

const char* pci_name_list::subsystem_name(uint16_t vendor, uint16_t device, uint16_t sub_vendor,
                                          uint16_t sub_device) const {
    size_t i = device_row(vendor, device);
    if (i == count_) return unknown;
    const char* best = name_of(rows_[i]);
    // The subsystem vendor's row among the device's subsystem rows.
    for (++i; i < count_; ++i) {
        char kind = rows_[i].kind;
        if (kind == 'V' || kind == 'D') return best;
        if (kind == 'O' && rows_[i].id == sub_vendor) break;
    }
    if (i == count_) return best;
    best = name_of(rows_[i]);
    // Its subsystem row; the vendor row's name when it has none.
    for (++i; i < count_; ++i) {
        char kind = rows_[i].kind;
        if (kind == 'V' || kind == 'D' || kind == 'O') break;
        if (kind == 'S' && rows_[i].id == sub_device) return name_of(rows_[i]);
    }
    return best;
}

const pci_name_list& builtin_pci_names() {
    static const pci_name_list list(pci_name_table, pci_name_table_rows, pci_name_texts);
    return list;
}

const char* pci_vendor_name(uint16_t vendor) { return builtin_pci_names().vendor_name(vendor); }

const char* pci_device_name(uint16_t vendor, uint16_t device) {
    return builtin_pci_names().device_name(vendor, device);
}

const char* pci_subsystem_name(uint16_t vendor, uint16_t device, uint16_t sub_vendor, uint16_t sub_device) {
    return builtin_pci_names().subsystem_name(vendor, device, sub_vendor, sub_device);
}

const char* pci_class_name(uint8_t base_class) { return find_name(class_names, base_class); }

const char* pci_subclass_name(uint16_t key) { return find_name(subclass_names, key); }

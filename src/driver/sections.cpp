#include "driver/sections.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "driver/options.h"

namespace {

// The sections of a run in their order. Fixed sections have their level
// here; probe sections take theirs from their probes.
struct known_section {
    const char* short_name;
    const char* title;
    int occurrence;   // probe sections: which section of this title; 0 for fixed ones
    const char* level;
    const char* sources;
};

const known_section known_sections[] = {
    {"summary", "SYSTEM SUMMARY", 0, "always", "host name, uname, /etc release files, firmware identity, SMBIOS"},
    {"timezone", "TIME ZONE", 0, "2", "the C library's local time and zone"},
    {"smbios", "SMBIOS INFORMATION", 0, "1", "SMBIOS table (/dev/mem, /sys/firmware/dmi/tables)"},
    {"pci", "PCI DEVICES", 0, "3", "/proc/bus/pci configuration space, expansion ROMs"},
    {"svcproc", "SERVICE PROCESSOR INFORMATION", 0, "4", "libsvcp.so, I/O ports 0xE8 and 0xE9"},
    {"network", "Network Devices", 1, nullptr, "route netlink"},
    {"scsi", "SCSI Devices", 1, nullptr, "/dev/sg* (SCSI generic devices)"},
    {"packages", "Package Information", 1, nullptr, "rpm, dpkg-query"},
    {"cpu", "CPU Information", 1, nullptr, "/proc/cpuinfo"},
    {"memory", "Memory Information", 1, nullptr, "/proc/meminfo"},
    {"resources", "Resource Information", 1, nullptr, "/proc/iomem, /proc/ioports, /proc/interrupts"},
    {"drivers", "Device Driver Information", 1, nullptr, "modinfo, /proc/modules, /etc/modules.conf, /etc/modprobe.d"},
    {"procscsi", "SCSI Devices", 2, nullptr, "/proc/scsi/scsi"},
    {"procpci", "PCI Devices", 1, nullptr, "/proc/pci"},
    {"partitions", "Partitions", 1, nullptr, "/proc/partitions"},
    {"startup", "Startup Information", 1, nullptr,
     "/etc/inittab, /etc/lilo.conf, /etc/grub.conf, /etc/default/grub, /boot/grub/grub.cfg, systemctl"},
    {"processes", "Running Processes", 1, nullptr, "ps auxw"},
    {"syslog", "System Log", 1, nullptr, "/var/log/messages, /var/log/boot.log, journalctl"},
    {"blockdevices", "Block Devices", 1, nullptr, "/sys/block, /sys/class/nvme, /proc/mdstat, pvs, vgs, lvs, multipath"},
    {"filesystems", "File Systems", 1, nullptr, "/proc/self/mountinfo, statvfs, /etc/fstab"},
    {"kernel", "Kernel State", 1, nullptr, "/proc/cmdline, /proc/sys, /dev/kmsg, /sys/module"},
    {"names", "Name Resolution", 1, nullptr, "/etc/hostname, /etc/hosts, /etc/resolv.conf, /etc/nsswitch.conf"},
    {"sockets", "Sockets", 1, nullptr, "/proc/net/tcp, tcp6, udp, udp6, /proc/*/fd"},
    {"firewall", "Firewall", 1, nullptr, "/proc/modules, /sys/module, nft, iptables-save, ip6tables-save"},
    {"timesync", "Time Sync", 1, nullptr, "clocksource, adjtimex, timedatectl, chronyc, ntpq"},
};

struct fixed_label {
    const char* label;
    const char* short_name;
};

const fixed_label fixed_labels[] = {
    {"Time Zone Info", time_zone_section},    {"SMBIOS Info", smbios_section},
    {"PCI Devices", pci_section},             {"Expansion ROM Listing", pci_section},
    {"Service Processor Info", service_processor_section},
};

std::string lower_case(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

const known_section* known_probe_section(const char* title, int occurrence) {
    for (const known_section& known : known_sections)
        if (known.occurrence == occurrence && std::string(known.title) == title) return &known;
    return nullptr;
}

// A section of the run as -list shows it.
struct listed_section {
    std::string short_name;
    std::string title;
    std::string level;
    std::string sources;
};

std::string level_range(const probe_section& section) {
    int low = 99, high = -1;
    for (const probe* p = section.first_probe; p; p = p->next) {
        low = std::min<int>(low, p->level);
        high = std::max<int>(high, p->level);
    }
    if (high < 0) return "-";
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

// Every section in run order: the fixed ones, then the probe sections.
std::vector<listed_section> sections_of_run(const section_list& list) {
    std::vector<listed_section> out;
    for (const known_section& known : known_sections)
        if (known.occurrence == 0) out.push_back({known.short_name, known.title, known.level, known.sources});
    std::map<std::string, int> seen;
    for (const probe_section* section = list.head; section; section = section->next) {
        int occurrence = ++seen[section->title];
        const known_section* known = known_probe_section(section->title, occurrence);
        std::string sources;
        if (known) {
            sources = known->sources;
        } else {
            for (const probe* p = section->first_probe; p; p = p->next)
                sources += std::string(sources.empty() ? "" : ", ") + p->name;
        }
        out.push_back({probe_section_short_name(section->title, occurrence), section->title, level_range(*section),
                       sources});
    }
    return out;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

void take_names(const std::vector<std::string>& given, const char* option, const std::vector<listed_section>& all,
                std::vector<std::string>& chosen, std::vector<std::string>& warnings) {
    for (const std::string& name : given) {
        std::string lower = lower_case(name);
        bool exists = std::any_of(all.begin(), all.end(), [&](const listed_section& s) { return s.short_name == lower; });
        if (!exists)
            warnings.push_back("ignored \"" + name + "\" in " + option + ": no section of that name (-list names them)");
        else if (lower == summary_section && std::string(option) == "-skip")
            warnings.push_back("ignored \"" + name + "\" in " + option + ": the system summary always runs");
        else
            chosen.push_back(lower);
    }
}

}  // namespace

std::string probe_section_short_name(const char* title, int occurrence) {
    if (const known_section* known = known_probe_section(title, occurrence)) return known->short_name;
    std::string name;
    for (const char* at = title; *at; ++at)
        if (std::isalnum(static_cast<unsigned char>(*at))) name += static_cast<char>(std::tolower(static_cast<unsigned char>(*at)));
    if (occurrence > 1) name += std::to_string(occurrence);
    return name;
}

const char* fixed_section_of_label(const char* label) {
    for (const fixed_label& fixed : fixed_labels)
        if (std::string(fixed.label) == label) return fixed.short_name;
    return summary_section;
}

bool section_choice::wanted(const std::string& short_name) const {
    if (short_name == summary_section) return true;
    if (contains(skip, short_name)) return false;
    return only.empty() || contains(only, short_name);
}

section_choice choose_sections(const run_options& options, const section_list& list,
                               std::vector<std::string>& warnings) {
    std::vector<listed_section> all = sections_of_run(list);
    section_choice choice;
    take_names(options.only, "-only", all, choice.only, warnings);
    take_names(options.skip, "-skip", all, choice.skip, warnings);
    // An -only whose names were all ignored leaves the run whole, like any
    // other ignored argument; -onlysummary is a run of the summary alone.
    return choice;
}

void apply_choice(const section_choice& choice, section_list& list) {
    std::map<std::string, int> seen;
    for (probe_section* section = list.head; section; section = section->next) {
        int occurrence = ++seen[section->title];
        section->left_out = !choice.wanted(probe_section_short_name(section->title, occurrence));
    }
}

void write_section_list(FILE* out, const section_list& list) {
    for (const listed_section& section : sections_of_run(list))
        std::fprintf(out, "%-13s %-30s %-7s %s\n", section.short_name.c_str(), section.title.c_str(),
                     section.level.c_str(), section.sources.c_str());
}

#include "probes/catalogue.h"

#include "system/block_devices.h"
#include "system/disk_health.h"
#include "probes/checked_probe.h"
#include "probes/file_probe.h"
#include "probes/log_tail_probe.h"
#include "system/file_systems.h"
#include "system/firewall.h"
#include "system/kernel_state.h"
#include "system/name_resolution.h"
#include "probes/reader_probe.h"
#include "system/sockets.h"
#include "probes/tagged_text_probe.h"
#include "system/time_sync.h"

// Every script sends its errors to the shared log, exits with 1 when a tool
// or log it needs is missing, and with 0 when the shell runs it as "test".
// Tools are looked for with the shell's own "command -v", one at a time
// (several names at once give an exit status shells disagree on), so that
// the checks start no process.

// The system log from the first entry of the day of its hundredth-last line.
const char* const messages_script =
    "exec 2>> /tmp/sifterra.log; "
    "[ -f /var/log/messages ] || exit 1; "
    "for T in grep tail head cut; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "TIMESTAMP=$(tail -n 100 /var/log/messages | head -n 1 | cut -c -6); "
    "[ -z \"${TIMESTAMP}\" ] && exit 1; "
    "START_LINE=$(grep -n \"${TIMESTAMP}\" /var/log/messages | head -n 1 | cut -d : -f 1); "
    "[ -z \"${START_LINE}\" ] && exit 1; "
    "tail -n +${START_LINE} /var/log/messages;";

// The kernel lines of the system log since the last boot.
const char* const kernel_messages_script =
    "exec 2>> /tmp/sifterra.log; "
    "[ -f /var/log/messages ] || exit 1; "
    "for T in grep tail cut; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "START_LINE=$(grep -n \"kernel: Linux version\" /var/log/messages | tail -n 1 | cut -d : -f 1); "
    "if [ -z \"${START_LINE}\" ]; "
    "then echo \"Can't find last boot in /var/log/messages\"; "
    "echo \"Uptime is $(uptime)\"; "
    "else tail -n +${START_LINE} /var/log/messages | grep \"kernel:\"; "
    "fi";

// The boot log, all rotated copies, from the line of the last boot.
const char* const boot_log_script =
    "exec 2>> /tmp/sifterra.log; "
    "[ -f \"/var/log/boot.log\" ] || exit 1; "
    "[ -f \"/var/log/messages\" ] || exit 1; "
    "for T in ls grep tail cat head cut; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "BOOT_LOG=$(ls -rt /var/log/boot.log*); "
    "[ -z \"${BOOT_LOG}\" ] && exit 1; "
    "TIMESTAMP=$(grep \"kernel: Linux version\" /var/log/messages | tail -n 1 | cut -c -12); "
    "[ -z \"${TIMESTAMP}\" ] && exit 1; "
    "START_LINE=$(cat ${BOOT_LOG} | grep -n \"${TIMESTAMP}\" | head -n 1 | cut -d : -f 1 2>/dev/null); "
    "[ -z \"${START_LINE}\" ] && exit 1; "
    "cat ${BOOT_LOG} | tail -n +${START_LINE}; "
    "echo \"bootlog.sh, rc = $?\" >&2";

// One tagged table per module directory of the running kernel. Object files
// ("*.o") are read with the old module tool's format; today's modules
// ("*.ko", also compressed; found by the shell's own globbing, which costs no
// process per directory) with the plain listing of today's modinfo, all of a
// directory in one call, turned into the same rows by awk (Version is the
// kernel release the module was built for, the first word of vermagic).
const char* const module_script =
    "exec 2>> /tmp/sifterra.log; "
    "for T in modinfo find sed; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "M=\"\\a\"; "
    "BASEDIR=\"/lib/modules/$(uname -r)\"; "
    "find \"${BASEDIR}\" -type d | while read DIR; "
    "do MODULES=$(find \"${DIR}\" -name '*.o' -maxdepth 1); "
    "KO_MODULES=\"\"; "
    "for MODULE in \"${DIR}\"/*.ko \"${DIR}\"/*.ko.xz \"${DIR}\"/*.ko.zst \"${DIR}\"/*.ko.gz; "
    "do [ -f \"${MODULE}\" ] && KO_MODULES=\"${KO_MODULES} ${MODULE}\"; "
    "done; "
    "[ -z \"${MODULES}${KO_MODULES}\" ] && continue; "
    "echo -en \"@TABLE${M}${DIR#${BASEDIR}/}${M}\"; "
    "[ -n \"${MODULES}\" ] && find ${DIR} -name '*.o' -maxdepth 1 | while read MODULE; "
    "do NAME=$(basename ${MODULE}); "
    "modinfo ${MODULE} --format \"ROW${M}${NAME}${M}FIELD${M}Module${M}${NAME}"
    "${M}FIELD${M}Version${M}%{kernel_version}${M}FIELD${M}Author${M}%{author}"
    "${M}FIELD${M}License${M}%{license}${M}FIELD${M}Description${M}%{description}\"; "
    "echo -en \"${M}\"; "
    "done; "
    "[ -n \"${KO_MODULES}\" ] && modinfo ${KO_MODULES} | awk '"
    "function row() { if (name != \"\") printf \"ROW%s%s%sFIELD%sModule%s%s%sFIELD%sVersion%s%s"
    "%sFIELD%sAuthor%s%s%sFIELD%sLicense%s%s%sFIELD%sDescription%s%s%s\", "
    "M, name, M, M, M, name, M, M, M, version, M, M, M, author, M, M, M, license, M, M, M, description, M; "
    "name = version = author = license = description = \"\" } "
    "BEGIN { M = sprintf(\"%c\", 7) } "
    "/^[^ \\t][^:]*:/ { key = substr($0, 1, index($0, \":\") - 1); value = substr($0, index($0, \":\") + 1); "
    "sub(/^[ \\t]+/, \"\", value); "
    "if (key == \"filename\") { row(); name = value; sub(/.*\\//, \"\", name) } "
    "else if (key == \"vermagic\") { version = value; sub(/[ \\t].*/, \"\", version) } "
    "else if (key == \"author\") author = (author == \"\" ? value : author \", \" value); "
    "else if (key == \"license\") license = value; "
    "else if (key == \"description\") description = (description == \"\" ? value : description \" \" value) } "
    "END { row() }'; "
    "done | sed 's/<none>//g' | tee /tmp/modules.tmp; "
    "echo \"modules.sh, rc = ${?}\" >&2";

// One tagged table per package group.
const char* const package_script =
    "exec 2>> /tmp/sifterra.log; "
    "for T in rpm sort uniq tee; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "echo \"rpm_script.sh\" >&2; "
    "M=\"\\a\"; "
    "rpm -qa --queryformat \"%{GROUP}\\n\" | sort | uniq | while read GROUP; "
    "do echo -en \"@TABLE${M}${GROUP}${M}\"; "
    "rpm --query --group \"${GROUP}\" --queryformat \"ROW${M}%{NAME}"
    "${M}FIELD${M}Package${M}%{NAME}${M}FIELD${M}Version${M}%{VERSION}-%{RELEASE}"
    "${M}FIELD${M}Vendor${M}%{VENDOR}${M}FIELD${M}License${M}%.32{LICENSE}"
    "${M}FIELD${M}Summary${M}%{SUMMARY}${M}\"; "
    "done | tee /tmp/packages.log;";

// Scripts for the sources of today's systems. Each stays out (exit 1, also
// under the name "test") where the older source its probe stands beside is
// there, so such a machine reports exactly as before.

// Debian-family packages, where rpm is missing: one tagged table per package
// section, one row per installed package in the shape of the rpm tables.
// Records are BEL-separated; the continuation lines of a description hold no
// BEL and drop out, which leaves its first line as the summary.
const char* const dpkg_package_script =
    "exec 2>> /tmp/sifterra.log; "
    "command -v rpm > /dev/null && exit 1; "
    "for T in dpkg-query awk sort tee; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "echo \"dpkg_script.sh\" >&2; "
    "M=\"$(printf '\\a')\"; "
    "dpkg-query -W -f \"\\${Status}${M}\\${Section}${M}\\${binary:Package}${M}\\${Version}${M}"
    "\\${Maintainer}${M}\\${Description}\\n\" | "
    "awk -F \"${M}\" 'NF >= 6 && $1 ~ / installed$/ { "
    "printf \"%s%s%s%s%s%s%s%s%s\\n\", ($2 == \"\" ? \"(none)\" : $2), FS, $3, FS, $4, FS, $5, FS, $6 }' | "
    "LC_ALL=C sort | "
    "awk -F \"${M}\" '{ if (NR == 1 || $1 != section) { section = $1; printf \"@TABLE%s%s%s\", FS, section, FS } "
    "printf \"ROW%s%s%sFIELD%sPackage%s%s%sFIELD%sVersion%s%s%sFIELD%sVendor%s%s%sFIELD%sLicense%s%s"
    "FIELD%sSummary%s%s%s\", FS, $2, FS, FS, FS, $2, FS, FS, FS, $3, FS, FS, FS, $4, FS, FS, FS, FS, FS, FS, $5, FS }' | "
    "tee /tmp/packages.log;";

// The journal of the current boot, where there is no /var/log/messages: its
// last 5000 lines. Whether there is a journal is read from its folders (the
// shell's globbing starts no process), not by asking journalctl.
const char* const journal_script =
    "exec 2>> /tmp/sifterra.log; "
    "[ -f /var/log/messages ] && exit 1; "
    "for T in journalctl tail; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "J=; for F in /var/log/journal/*/*.journal* /run/log/journal/*/*.journal*; do [ -f \"${F}\" ] && J=1; done; [ -n \"${J}\" ] || exit 1; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "journalctl -b --no-pager -o short -n 5000 | tail -n 5000;";

// The kernel's lines of the journal of the current boot, as above.
const char* const kernel_journal_script =
    "exec 2>> /tmp/sifterra.log; "
    "[ -f /var/log/messages ] && exit 1; "
    "for T in journalctl tail; do command -v \"${T}\" > /dev/null || exit 1; done; "
    "J=; for F in /var/log/journal/*/*.journal* /run/log/journal/*/*.journal*; do [ -f \"${F}\" ] && J=1; done; [ -n \"${J}\" ] || exit 1; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "journalctl -k --no-pager -o short -n 5000 | tail -n 5000;";

// Every unit systemd knows, where systemd runs.
const char* const systemd_units_script =
    "exec 2>> /tmp/sifterra.log; "
    "[ -d /run/systemd/system ] || exit 1; "
    "command -v systemctl > /dev/null || exit 1; "
    "[ \"$0\" = \"test\" ] && exit 0; "
    "systemctl list-units --all --no-pager;";

namespace {

// The section list and every built-in section and probe. Members are built
// in declaration order, which is the order of the list.
struct catalogue {
    section_list list;

    // Their probes live with their subsystems, which the driver registers
    // (register_device_probes).
    probe_section network{list, "Network Devices"};
    probe_section scsi_devices{list, "SCSI Devices"};

    probe_section packages{list, "Package Information"};
    tagged_text_probe rpm{packages, "RPM", package_script, 4};
    checked_tagged_text_probe dpkg{packages, "DPKG", dpkg_package_script, 4};

    probe_section cpu{list, "CPU Information"};
    file_probe cpu_info{cpu, "CPU Info", "/proc/cpuinfo", 2};

    probe_section memory{list, "Memory Information"};
    file_probe memory_info{memory, "Memory Info", "/proc/meminfo", 2};

    probe_section resources{list, "Resource Information"};
    file_probe iomem{resources, "Memory Mapped I/O Info", "/proc/iomem", 3};
    file_probe ioports{resources, "I/O Port Info", "/proc/ioports", 3};
    file_probe interrupts{resources, "IRQ Info", "/proc/interrupts", 3};

    probe_section drivers{list, "Device Driver Information"};
    tagged_text_probe modinfo{drivers, "modinfo", module_script, 3};
    file_probe modules{drivers, "Modules Info", "/proc/modules", 3};
    file_probe modules_conf{drivers, "Modules Configuration", "/etc/modules.conf", 2};
    folder_probe modprobe_d{drivers, "Module Options", "/etc/modprobe.d", 2};

    probe_section scsi_files{list, "SCSI Devices"};
    file_probe scsi_info{scsi_files, "SCSI Info", "/proc/scsi/scsi", 3};

    probe_section pci{list, "PCI Devices"};
    file_probe pci_info{pci, "PCI Info", "/proc/pci", 2};

    probe_section partitions{list, "Partitions"};
    file_probe partition_info{partitions, "Partition Info", "/proc/partitions", 2};

    probe_section startup{list, "Startup Information"};
    file_probe inittab{startup, "Startup Info", "/etc/inittab", 2};
    file_probe lilo{startup, "LILO Configuration", "/etc/lilo.conf", 2};
    file_probe grub{startup, "GRUB Configuration", "/etc/grub.conf", 2};
    file_probe grub_defaults{startup, "GRUB Defaults", "/etc/default/grub", 2};
    file_probe grub2{startup, "GRUB 2 Configuration", "/boot/grub/grub.cfg", 2};
    checked_list_probe systemd_units{startup, "systemctl list-units --all --no-pager", systemd_units_script, 2};

    probe_section processes{list, "Running Processes"};
    list_probe ps{processes, "ps auxw", "ps auxw", 0};

    probe_section system_log{list, "System Log"};
    log_tail_probe messages{system_log, "/var/log/messages", messages_script, 0, log_tail_cap};
    log_tail_probe kernel_messages{system_log, "Kernel messages", kernel_messages_script, 4, log_tail_cap};
    list_probe boot_log{system_log, "/var/log/boot.log", boot_log_script, 0};
    checked_list_probe journal{system_log, "journalctl -b", journal_script, 0};
    checked_list_probe kernel_journal{system_log, "journalctl -k", kernel_journal_script, 4};

    probe_section block_devices{list, "Block Devices"};
    reader_probe block_table{block_devices, "Block Devices", 2, block_devices_available, write_block_devices};
    capped_file_probe mdstat{block_devices, "Software RAID", "/proc/mdstat", 2};
    tool_probe pvs{block_devices, "pvs --units b --nosuffix", pvs_command, 2};
    tool_probe vgs{block_devices, "vgs --units b --nosuffix", vgs_command, 2};
    tool_probe lvs{block_devices, "lvs --units b --nosuffix", lvs_command, 2};
    tool_probe multipath{block_devices, "multipath -ll", multipath_command, 2};
    reader_probe disk_health{block_devices, "Disk Health", 2, disk_health_available, write_disk_health};

    probe_section file_systems{list, "File Systems"};
    reader_probe mounts{file_systems, "File Systems", 2, file_systems_available, write_file_systems};
    capped_file_probe fstab{file_systems, "File System Table", "/etc/fstab", 2};

    probe_section kernel_state{list, "Kernel State"};
    capped_file_probe cmdline{kernel_state, "Kernel Command Line", "/proc/cmdline", 2};
    reader_probe taint{kernel_state, "Kernel Taint", 2, kernel_taint_available, write_kernel_taint};
    reader_probe kernel_log{kernel_state, "Kernel Log", 2, kernel_log_available, write_kernel_log};
    reader_probe kernel_parameters{kernel_state, "Kernel Parameters", 4, kernel_parameters_available,
                                   write_kernel_parameters};
    reader_probe module_parameters{kernel_state, "Module Parameters", 4, module_parameters_available,
                                   write_module_parameters};

    probe_section name_resolution{list, "Name Resolution"};
    reader_probe host_names{name_resolution, "Host Names", 2, host_names_available, write_host_names};
    capped_file_probe hostname{name_resolution, "Host Name", "/etc/hostname", 2};
    capped_file_probe hosts{name_resolution, "Hosts", "/etc/hosts", 2};
    capped_file_probe resolv_conf{name_resolution, "Resolver Configuration", "/etc/resolv.conf", 2};
    reader_probe resolv_target{name_resolution, "Resolver Configuration Link", 2, resolver_link_available,
                               write_resolver_link};
    capped_file_probe nsswitch{name_resolution, "Name Service Switch", "/etc/nsswitch.conf", 2};

    probe_section sockets{list, "Sockets"};
    reader_probe listening{sockets, "Listening Sockets", 3, sockets_available, write_sockets};

    probe_section firewall{list, "Firewall"};
    reader_probe netfilter{firewall, "Netfilter", 3, nullptr, write_netfilter_parts};
    tool_probe nft{firewall, "nft list ruleset", nft_command, 3};
    tool_probe iptables_save{firewall, "iptables-save", iptables_save_command, 3};
    tool_probe ip6tables_save{firewall, "ip6tables-save", ip6tables_save_command, 3};

    probe_section time_sync{list, "Time Sync"};
    reader_probe clock_source{time_sync, "Clock Source", 3, clock_source_available, write_clock_source};
    reader_probe clock_discipline{time_sync, "Kernel Clock", 3, nullptr, write_clock_discipline};
    tool_probe timedatectl{time_sync, "timedatectl show", timedatectl_command, 3};
    tool_probe chrony_tracking{time_sync, "chronyc -n tracking", chrony_tracking_command, 3};
    tool_probe chrony_sources{time_sync, "chronyc -n sources", chrony_sources_command, 3};
    tool_probe ntpq{time_sync, "ntpq -pn", ntpq_command, 3};
};

catalogue& built_in() {
    static catalogue sections;
    return sections;
}

}  // namespace

section_list& registered_sections() { return built_in().list; }

probe_section& network_devices_section() { return built_in().network; }

probe_section& scsi_devices_section() { return built_in().scsi_devices; }

namespace {

// The line cap of a journal narrowed by days: its newest entries win.
constexpr const char* journal_days_cap = "200000";

std::string replaced_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

std::string journal_script_since(const char* script, int days) {
    const std::string since = "--since=-" + std::to_string(days) + "d";
    // -k means the current boot only; the kernel's transport field matches
    // its lines of every boot.
    struct rule {
        std::string from, to;
    };
    const rule rules[] = {
        {"journalctl -b ", "journalctl " + since + " "},
        {"journalctl -k ", "journalctl _TRANSPORT=kernel " + since + " "},
        {"-n 5000", std::string("-n ") + journal_days_cap},
    };
    std::string narrowed = script;
    for (const rule& r : rules) narrowed = replaced_all(narrowed, r.from, r.to);
    return narrowed;
}

void keep_journal_days(int days) {
    static std::string journal, kernel_journal;
    journal = journal_script_since(journal_script, days);
    kernel_journal = journal_script_since(kernel_journal_script, days);
    built_in().journal.command = journal.c_str();
    built_in().kernel_journal.command = kernel_journal.c_str();
}

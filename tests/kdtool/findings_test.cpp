// The finding rules, each on small reports: one that shows its problem and
// one close to it that does not.
#include <gtest/gtest.h>

#include <set>

#include "kdtool/findings.h"
#include "report/report_builder.h"
#include "report_fixture.h"

namespace {

using columns = std::vector<std::string>;
using rows = std::vector<std::vector<std::string>>;

// A section of one table whose columns are all text; each row starts with its key.
built_section table_section(const std::string& section, const std::string& title, const columns& names,
                            const rows& data) {
    built_table t{title, {}, data};
    for (const std::string& n : names) t.columns.emplace_back(n, STRING);
    return {section, {t}, {}};
}

built_section file_section(const std::string& section, const std::string& name, const std::string& text) {
    return {section, {}, {{name, text}}};
}

built_section kernel_log(const std::string& message) {
    return table_section("Kernel State", "Kernel Log", {"Sequence", "Time", "Facility", "Level", "Message"},
                         {{"7", "7", "12.500000", "kern", "err", message}});
}

built_section journal(const std::string& line) { return file_section("System Log", "journalctl -b", line + "\n"); }

const columns fs_columns = {"Device", "Mount Point", "Type", "Options", "FS Options", "Status", "Size (bytes)",
                            "Used (bytes)", "Available (bytes)", "Inodes", "Inodes Used", "Inodes Free"};

built_section file_system(const std::string& options, const std::string& type, const std::string& used,
                          const std::string& available, const std::string& inodes_used = "10") {
    return table_section("File Systems", "File Systems", fs_columns,
                         {{"/dev/sda1", "/dev/sda1", "/data", type, options, options, "OK", "1000", used, available,
                           "1000", inodes_used, "0"}});
}

const columns interface_columns = {"Interface", "Type", "Address", "Flags", "MTU", "Driver", "Firmware Version",
                                   "Speed", "Duplex", "Oper State", "Carrier", "Carrier Changes"};

built_section interfaces(const std::string& flags, const std::string& changes = "1") {
    built_section s = table_section("Network Devices", "Network Interfaces", interface_columns,
                                    {{"eth1", "eth1", "ether", "02:00:00:00:00:01", flags, "1500", "e1000e", "1.0",
                                      "1000", "full", "down", "0", changes}});
    s.tables.push_back(table_section("", "Network Addresses",
                                     {"Name", "Family", "Address", "Netmask", "Broadcast", "Interface"},
                                     {{"eth1", "eth1", "inet", "10.0.0.2", "255.0.0.0", "", "eth1"}})
                           .tables[0]);
    return s;
}

built_section statistics(const std::string& packets, const std::string& errors, const std::string& dropped) {
    return table_section("Network Devices", "Network Interface Statistics",
                         {"Name", "rx packets", "tx packets", "rx bytes", "tx bytes", "rx errors", "tx errors",
                          "rx dropped", "tx dropped", "multicast", "collisions"},
                         {{"eth0", "eth0", packets, packets, "0", "0", errors, errors, dropped, dropped, "0", "0"}});
}

// The summary's own columns up to the device name, then the link columns.
const columns pci_columns = {"Bus",       "Device",      "Function",  "Slot",           "Vendor ID",
                             "Device ID", "Device Name", "Address",   "Driver",         "NUMA Node",
                             "Link Speed", "Max Link Speed", "Link Width", "Max Link Width"};

built_section pci(const std::string& speed, const std::string& max_speed, const std::string& width,
                  const std::string& max_width) {
    return table_section("PCI DEVICES", "PCI Device Summary", pci_columns,
                         {{"3", "3", "0", "0", "1", "0x8086", "0x10FB", "82599 NIC", "0000:03:00.0", "ixgbe", "0", speed,
                           max_speed, width, max_width}});
}

built_section clock(const std::string& synchronised, const std::string& offset) {
    return table_section("Time Sync", "Kernel Clock",
                         {"Synchronised", "State", "Offset (ns)", "Frequency (ppm)", "Maximum Error (us)",
                          "Estimated Error (us)", "Status"},
                         {{"adjtimex", synchronised, "OK", offset, "0.000", "10", "10", "PLL"}});
}

built_section taint(const std::string& mask, const rows& flags) {
    built_section s = table_section("Kernel State", "Kernel Taint", {"Mask", "Flags"}, {{"tainted", mask, ""}});
    s.tables.push_back(table_section("", "Kernel Taint Flags", {"Bit", "Flag", "Meaning"}, flags).tables[0]);
    return s;
}

built_section sp_log(const std::string& severity) {
    return table_section("Service Processor", "Service Processor Error Log",
                         {"Entry", "Severity", "Source", "MM/DD/YY HH:MM:SS", "Message"},
                         {{"LOG_ENTRY", "1", severity, "SERVPROC", "01/02/03 04:05:06", "Power supply 2 failed"}});
}

const std::string md_degraded =
    "Personalities : [raid1]\nmd0 : active raid1 sdb1[1] sda1[0]\n      1048512 blocks [2/1] [U_]\n";
const std::string md_clean =
    "Personalities : [raid1]\nmd0 : active raid1 sdb1[1] sda1[0]\n      1048512 blocks [2/2] [UU]\n";

struct rule_case {
    const char* rule;
    std::vector<built_section> report;
    const char* title;  // a part of the expected title; null: the rule finds nothing
};

// clang-format off
const std::vector<rule_case> cases = {
    {"fs-full-critical", {file_system("rw,relatime", "ext4", "990", "10")}, "/data is 99.0% full (/dev/sda1)"},
    {"fs-full-critical", {file_system("rw,relatime", "ext4", "970", "30")}, nullptr},
    {"fs-full", {file_system("rw,relatime", "ext4", "950", "50")}, "/data is 95.0% full"},
    {"fs-full", {file_system("rw,relatime", "ext4", "990", "10")}, nullptr},  // the critical rule's
    {"fs-full", {file_system("rw,relatime", "ext4", "890", "110")}, nullptr},
    {"fs-full", {file_system("rw", "proc", "0", "0")}, nullptr},               // no size at all
    {"inodes-full-critical", {file_system("rw", "ext4", "1", "999", "990")}, "used 99.0% of its inodes"},
    {"inodes-full-critical", {file_system("rw", "ext4", "1", "999", "900")}, nullptr},
    {"inodes-full", {file_system("rw", "ext4", "1", "999", "900")}, "used 90.0% of its inodes"},
    {"inodes-full", {file_system("rw", "ext4", "1", "999", "899")}, nullptr},
    {"fs-read-only", {file_system("ro,relatime", "xfs", "1", "999")}, "/data is mounted read-only"},
    {"fs-read-only", {file_system("ro,relatime", "iso9660", "1", "999")}, nullptr},
    {"fs-read-only", {file_system("rw,errors=remount-ro", "ext4", "1", "999")}, nullptr},
    {"fs-remounted-read-only", {kernel_log("EXT4-fs (sda1): Remounting filesystem read-only")}, "switched to read-only"},
    {"fs-remounted-read-only", {kernel_log("EXT4-fs (sda1): mounted filesystem with ordered data mode")}, nullptr},
    {"fs-error", {kernel_log("EXT4-fs error (device sda1): ext4_lookup:1601: inode #2: comm ls: deleted inode")}, "File system error"},
    {"fs-error", {kernel_log("EXT4-fs (sda1): recovery complete")}, nullptr},

    {"kernel-tainted", {taint("4097", {{"0", "0", "P", "proprietary module"}, {"12", "12", "O", "out-of-tree module"}})},
        "Kernel is tainted: P (proprietary module), O (out-of-tree module)"},
    {"kernel-tainted", {taint("0", {})}, nullptr},
    {"kernel-taint-severe", {taint("128", {{"7", "7", "D", "kernel died recently (oops or BUG)"}})}, "Kernel taint D"},
    {"kernel-taint-severe", {taint("4096", {{"12", "12", "O", "out-of-tree module"}})}, nullptr},
    {"kernel-panic", {kernel_log("Kernel panic - not syncing: Fatal exception")}, "Kernel panic"},
    {"kernel-panic", {kernel_log("panic=10 set on the command line")}, nullptr},
    {"kernel-oops", {kernel_log("BUG: unable to handle page fault for address: ffff8881")}, "Kernel oops"},
    {"kernel-oops", {kernel_log("Oops in user space program ignored")}, nullptr},
    {"kernel-warning", {kernel_log("WARNING: CPU: 2 PID: 1 at net/core/dev.c:123 foo+0x1/0x2")}, "Kernel warning"},
    {"kernel-warning", {kernel_log("WARNING: deprecated option")}, nullptr},
    {"oom-kill", {kernel_log("Out of memory: Killed process 4242 (java) total-vm:100kB")}, "killed process java (PID 4242)"},
    {"oom-kill", {journal("Dec 09 10:00:00 host kernel: Out of memory: Killed process 4242 (java) total-vm:1kB")}, "process java"},
    {"oom-kill", {kernel_log("oom_score_adj set for 4242")}, nullptr},
    {"hung-task", {kernel_log("INFO: task jbd2/sda1-8:312 blocked for more than 120 seconds.")}, "Task jbd2/sda1-8:312 hung"},
    {"hung-task", {kernel_log("hung_task_timeout_secs is 120")}, nullptr},
    {"soft-lockup", {kernel_log("watchdog: BUG: soft lockup - CPU#3 stuck for 22s! [kworker:12]")}, "CPU lockup"},
    {"soft-lockup", {kernel_log("watchdog: softlockup_panic disabled")}, nullptr},
    {"segfault", {kernel_log("nginx[1234]: segfault at 0 ip 00007f sp 00007ffc error 4 in libc.so")}, "Process nginx (PID 1234) crashed"},
    {"segfault", {kernel_log("show_unhandled_signals=1")}, nullptr},

    {"io-error", {kernel_log("blk_update_request: I/O error, dev sdb, sector 2048 op 0x0:(READ)")}, "Disk I/O error on sdb"},
    {"io-error", {kernel_log("sd 2:0:0:0: [sdb] Attached SCSI disk")}, nullptr},
    {"scsi-error", {kernel_log("sd 2:0:0:0: [sdb] tag#3 FAILED Result: hostbyte=DID_OK driverbyte=DRIVER_SENSE")}, "SCSI command failure"},
    {"scsi-error", {kernel_log("sd 2:0:0:0: [sdb] Result: hostbyte=DID_OK")}, nullptr},
    {"link-reset", {kernel_log("ata3: hard resetting link")}, "Storage link reset"},
    {"link-reset", {kernel_log("ata3: SATA link up 6.0 Gbps (SStatus 133 SControl 300)")}, nullptr},
    {"multipath-log", {journal("Dec 09 10:00:00 host multipathd[900]: mpatha: remaining active paths: 0")}, "Multipath path failure"},
    {"multipath-log", {journal("Dec 09 10:00:00 host multipathd[900]: mpatha: remaining active paths: 2")}, nullptr},
    {"multipath-failed", {file_section("Block Devices", "multipath -ll",
        "mpatha (3600a0b80) dm-2 IBM,2145\nsize=10G features='0' hwhandler='1 alua' wp=rw\n"
        "|-+- policy='service-time 0' prio=50 status=active\n| `- 1:0:0:1 sdc 8:32 failed faulty running\n")},
        "Multipath path sdc (1:0:0:1) of mpatha has failed"},
    {"multipath-failed", {file_section("Block Devices", "multipath -ll",
        "mpatha (3600a0b80) dm-2 IBM,2145\n| `- 1:0:0:1 sdc 8:32 active ready running\n")}, nullptr},
    {"md-degraded", {file_section("Block Devices", "/proc/mdstat", md_degraded)}, "Software RAID md0 is degraded (1 of 2 devices)"},
    {"md-degraded", {file_section("Block Devices", "/proc/mdstat", md_clean)}, nullptr},
    {"md-failed-member", {file_section("Block Devices", "/proc/mdstat",
        "md1 : active raid1 sdd1[1](F) sdc1[0]\n")}, "Software RAID md1 has the failed member sdd1"},
    {"md-failed-member", {file_section("Block Devices", "/proc/mdstat", md_clean)}, nullptr},
    {"md-log", {kernel_log("md/raid1:md0: Disk failure on sdb1, disabling device.")}, "Software RAID member failed"},
    {"md-log", {kernel_log("md/raid1:md0: active with 2 out of 2 mirrors")}, nullptr},
    {"lvm-missing-pv", {file_section("Block Devices", "pvs --units b --nosuffix",
        "  PV         VG  Fmt  Attr PSize PFree\n  /dev/sda2  vg0 lvm2 a--  100 0\n  [unknown]  vg0 lvm2 a-m  100 0\n")},
        "physical volume [unknown] of volume group vg0 is missing"},
    {"lvm-missing-pv", {file_section("Block Devices", "pvs --units b --nosuffix",
        "  PV         VG  Fmt  Attr PSize PFree\n  /dev/sda2  vg0 lvm2 a--  100 0\n")}, nullptr},
    {"lvm-log", {journal("Dec 09 10:00:00 host lvm[1]: WARNING: Couldn't find device with uuid abc-123.")}, "LVM could not find"},
    {"lvm-log", {journal("Dec 09 10:00:00 host lvm[1]: 2 logical volume(s) in volume group \"vg0\" now active")}, nullptr},
    {"smart-failing", {file_section("Block Devices", "smartctl -H -A /dev/sda",
        "SMART overall-health self-assessment test result: FAILED!\n")}, "SMART health of /dev/sda is FAILED!"},
    {"smart-failing", {file_section("Block Devices", "smartctl -H -A /dev/sda",
        "SMART overall-health self-assessment test result: PASSED\n")}, nullptr},
    {"smart-failing", {file_section("Block Devices", "smartctl -H -A /dev/sdb", "SMART Health Status: OK\n")}, nullptr},
    {"smart-sectors", {file_section("Block Devices", "smartctl -H -A /dev/sda",
        "  5 Reallocated_Sector_Ct   0x0033   100   100   010    Pre-fail  Always       -       8\n")},
        "Disk /dev/sda reports 8 in Reallocated_Sector_Ct"},
    {"smart-sectors", {file_section("Block Devices", "smartctl -H -A /dev/sda",
        "  5 Reallocated_Sector_Ct   0x0033   100   100   010    Pre-fail  Always       -       0\n")}, nullptr},
    {"nvme-critical-warning", {file_section("Block Devices", "nvme smart-log /dev/nvme0",
        "critical_warning                        : 0x4\n")}, "NVMe device /dev/nvme0 raises critical warning 0x4"},
    {"nvme-critical-warning", {file_section("Block Devices", "nvme smart-log /dev/nvme0",
        "critical_warning                        : 0\n")}, nullptr},
    {"nvme-media-errors", {file_section("Block Devices", "nvme smart-log /dev/nvme1",
        "media_errors                            : 12\n")}, "/dev/nvme1 reports 12 media errors"},
    {"nvme-media-errors", {file_section("Block Devices", "nvme smart-log /dev/nvme1",
        "media_errors                            : 0\n")}, nullptr},
    {"nvme-worn", {file_section("Block Devices", "nvme smart-log /dev/nvme0", "percentage_used : 97%\n")}, "used 97% of its rated"},
    {"nvme-worn", {file_section("Block Devices", "nvme smart-log /dev/nvme0", "percentage_used : 9%\n")}, nullptr},

    {"edac-uncorrected", {kernel_log("EDAC MC0: 1 UE memory read error on CPU_SrcID#0_Ha#0_Chan#1_DIMM#0")}, "Uncorrected memory error"},
    {"edac-uncorrected", {kernel_log("EDAC MC0: 1 CE memory read error on CPU_SrcID#0_Ha#0_Chan#1_DIMM#0")}, nullptr},
    {"edac-corrected", {kernel_log("EDAC MC0: 1 CE memory read error on CPU_SrcID#0_Ha#0_Chan#1_DIMM#0")}, "Corrected memory errors"},
    {"edac-corrected", {kernel_log("EDAC MC: Ver: 3.0.0")}, nullptr},
    {"machine-check", {kernel_log("mce: [Hardware Error]: Machine check events logged")}, "Machine check"},
    {"machine-check", {kernel_log("mce: CPU0: Thermal monitoring enabled (TM1)")}, nullptr},

    {"pcie-width", {pci("8.0 GT/s", "8.0 GT/s", "x4", "x8")}, "PCIe link of 0000:03:00.0 (82599 NIC) runs at width x4 of x8"},
    {"pcie-width", {pci("8.0 GT/s", "8.0 GT/s", "x8", "x8")}, nullptr},
    {"pcie-width", {pci("Unknown", "Unknown", "Unknown", "x8")}, nullptr},
    {"pcie-speed", {pci("2.5 GT/s", "8.0 GT/s", "x8", "x8")}, "runs at 2.5 GT/s of 8.0 GT/s"},
    {"pcie-speed", {pci("8.0 GT/s", "8.0 GT/s", "x8", "x8")}, nullptr},

    {"interface-configured-down", {interfaces("BROADCAST MULTICAST")}, "Interface eth1 has an address but is down"},
    {"interface-configured-down", {interfaces("UP RUNNING BROADCAST")}, nullptr},
    {"interface-no-carrier", {interfaces("UP BROADCAST MULTICAST")}, "Interface eth1 is up but has no link"},
    {"interface-no-carrier", {interfaces("UP RUNNING BROADCAST MULTICAST")}, nullptr},
    {"interface-carrier-changes", {interfaces("UP RUNNING", "12")}, "changed its carrier 12 times"},
    {"interface-carrier-changes", {interfaces("UP RUNNING", "2")}, nullptr},
    {"interface-rx-errors", {statistics("10000", "50", "0")}, "Interface eth0 has 0.5% receive errors (50 of 10000"},
    {"interface-rx-errors", {statistics("1000000", "50", "0")}, nullptr},
    {"interface-rx-errors", {statistics("20", "5", "0")}, nullptr},  // too few to count
    {"interface-tx-errors", {statistics("10000", "50", "0")}, "transmit errors"},
    {"interface-tx-errors", {statistics("10000", "5", "0")}, nullptr},
    {"interface-rx-dropped", {statistics("10000", "0", "500")}, "dropped 5.0% of received"},
    {"interface-rx-dropped", {statistics("100000", "0", "500")}, nullptr},
    {"interface-tx-dropped", {statistics("10000", "0", "500")}, "dropped 5.0% of packets to send"},
    {"interface-tx-dropped", {statistics("10000", "0", "50")}, nullptr},
    {"netdev-watchdog", {kernel_log("NETDEV WATCHDOG: eth0 (e1000e): transmit queue 0 timed out")}, "Network transmit timeout"},
    {"netdev-watchdog", {kernel_log("e1000e 0000:00:19.0 eth0: NIC Link is Up 1000 Mbps Full Duplex")}, nullptr},

    {"time-not-synchronised", {clock("false", "0")}, "System clock is not synchronised"},
    {"time-not-synchronised", {clock("true", "0")}, nullptr},
    {"time-offset", {clock("true", "250000000")}, "250000000 ns off"},
    {"time-offset", {clock("true", "90000000")}, nullptr},
    {"time-offset-negative", {clock("true", "-250000000")}, "-250000000 ns off"},
    {"time-offset-negative", {clock("true", "-90000000")}, nullptr},

    {"systemd-failed", {file_section("Startup Information", "systemctl list-units --all --no-pager",
        "  UNIT LOAD ACTIVE SUB DESCRIPTION\n\xE2\x97\x8F nfs-server.service loaded failed failed NFS server\n")},
        "Unit nfs-server.service has failed"},
    {"systemd-failed", {file_section("Startup Information", "systemctl list-units --all --no-pager",
        "  failed-login-alert.service loaded active running Alert on failed logins\n")}, nullptr},
    {"swap-exhausted", {file_section("Memory Information", "/proc/meminfo",
        "MemTotal: 100 kB\nSwapTotal:     1000 kB\nSwapFree:        10 kB\n")}, "Swap is 99.0% used"},
    {"swap-exhausted", {file_section("Memory Information", "/proc/meminfo",
        "SwapTotal:     1000 kB\nSwapFree:       50 kB\n")}, nullptr},
    {"swap-low", {file_section("Memory Information", "/proc/meminfo",
        "SwapTotal:     1000 kB\nSwapFree:       50 kB\n")}, "Swap is 95.0% used"},
    {"swap-low", {file_section("Memory Information", "/proc/meminfo",
        "SwapTotal:        0 kB\nSwapFree:        0 kB\n")}, nullptr},

    {"sp-critical-event", {sp_log("C")}, "event 1 from SERVPROC at 01/02/03 04:05:06: Power supply 2 failed"},
    {"sp-critical-event", {sp_log("I")}, nullptr},
};
// clang-format on

std::vector<finding_rule> rule_named(const std::string& id) {
    std::vector<finding_rule> one;
    for (const finding_rule& r : finding_rules())
        if (id == r.id) one.push_back(r);
    return one;
}

std::vector<finding> findings_of(const std::vector<built_section>& sections, const std::vector<finding_rule>& rules) {
    temp_dir dir;
    std::string path = dir.file("report.xml");
    write_file(path, build_report(sections));
    report_content content;
    std::string problem;
    EXPECT_TRUE(load_report_content(path, &content, &problem)) << problem;
    return find_problems(content, rules);
}

TEST(FindingRules, EachRuleFindsItsProblemAndNotTheNearMiss) {
    for (const rule_case& c : cases) {
        std::vector<finding_rule> rule = rule_named(c.rule);
        ASSERT_EQ(rule.size(), 1u) << c.rule;
        std::vector<finding> found = findings_of(c.report, rule);
        if (!c.title) {
            EXPECT_TRUE(found.empty()) << c.rule << " found: " << (found.empty() ? "" : found[0].title);
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << c.rule << " expected: " << c.title;
        EXPECT_NE(found[0].title.find(c.title), std::string::npos) << c.rule << ": " << found[0].title;
        EXPECT_EQ(found[0].rule, c.rule);
        EXPECT_FALSE(found[0].evidence.empty());
        EXPECT_FALSE(found[0].next.empty());
    }
}

TEST(FindingRules, EveryRuleHasACaseOfEachKindAndAUniqueId) {
    std::set<std::string> ids, positive, negative;
    for (const finding_rule& r : finding_rules()) {
        EXPECT_TRUE(ids.insert(r.id).second) << "duplicate rule id " << r.id;
        EXPECT_TRUE(r.title && *r.title && r.next && *r.next) << r.id;
    }
    for (const rule_case& c : cases) (c.title ? positive : negative).insert(c.rule);
    for (const std::string& id : ids) {
        EXPECT_TRUE(positive.count(id)) << id << " has no positive case";
        EXPECT_TRUE(negative.count(id)) << id << " has no near miss";
    }
}

TEST(Findings, MostSevereFirstAndEvidenceNamesWhere) {
    std::vector<finding> found =
        findings_of({clock("false", "0"), kernel_log("Kernel panic - not syncing: Fatal exception"),
                     file_system("rw", "ext4", "950", "50")},
                    finding_rules());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].severity, finding_severity::critical);
    EXPECT_EQ(found[0].evidence,
              "Kernel State / Kernel Log / message 7 (time 12.500000): Kernel panic - not syncing: Fatal exception");
    EXPECT_EQ(found[1].severity, finding_severity::warning);
    EXPECT_EQ(found[2].severity, finding_severity::warning);
    EXPECT_EQ(found[1].evidence,
              "File Systems / File Systems / row \"/dev/sda1\": Used (bytes) 950, Available (bytes) 50");
    EXPECT_EQ(found[2].evidence, "Time Sync / Kernel Clock / row \"adjtimex\": Synchronised false");
}

TEST(Findings, OneMessageInSeveralLogsIsOneFinding) {
    std::vector<finding> found = findings_of(
        {kernel_log("Out of memory: Killed process 4242 (java) total-vm:100kB"),
         journal("Dec 09 10:00:00 host kernel: Out of memory: Killed process 4242 (java) total-vm:100kB")},
        rule_named("oom-kill"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].repeats, 2);
    EXPECT_NE(found[0].evidence.find("Kernel Log"), std::string::npos);
}

TEST(Findings, JournalEvidenceKeepsTheLineAndItsTime) {
    std::vector<finding> found =
        findings_of({file_section("System Log", "journalctl -b",
                                  "Dec 09 09:59:59 host systemd[1]: Started.\n"
                                  "Dec 09 10:00:00 host kernel: [  12.5] ata3: hard resetting link\n")},
                    rule_named("link-reset"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].evidence, "System Log / journalctl -b / line 2 (Dec 09 10:00:00): ata3: hard resetting link");
    EXPECT_EQ(found[0].title, "Storage link reset: ata3: hard resetting link");
}

TEST(Findings, ManyLinesOfOneRuleAreCappedAndCounted) {
    std::string log;
    for (int i = 0; i < 20; i++) log += "Dec 09 10:00:00 host kernel: ata" + std::to_string(i) + ": hard resetting link\n";
    std::vector<finding> found =
        findings_of({file_section("System Log", "journalctl -b", log)}, rule_named("link-reset"));
    ASSERT_EQ(found.size(), 8u);
    EXPECT_EQ(found.back().repeats, 13);
}

// A line of megabytes (a broken tool's output) is matched on its start and
// never exhausts the stack.
TEST(Findings, HugeLinesAreSafe) {
    std::string line = "  5 Reallocated_Sector_Ct " + std::string(4u << 20, 'x') + " 8";
    std::vector<finding> found =
        findings_of({file_section("Block Devices", "smartctl -H -A /dev/sda", line + "\n")}, finding_rules());
    EXPECT_TRUE(found.empty());
    std::string oom = "Out of memory: Killed process 7 (big) " + std::string(4u << 20, 'y');
    found = findings_of({kernel_log(oom)}, rule_named("oom-kill"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].title, "Out-of-memory killer killed process big (PID 7)");
    EXPECT_LT(found[0].evidence.size(), 400u);
}

TEST(Findings, TextAndJsonForms) {
    std::vector<finding> found = findings_of({clock("false", "0")}, finding_rules());
    captured_stream text, json;
    write_findings_text(text.get(), found);
    write_findings_json(json.get(), found);
    EXPECT_EQ(text.text(),
              "Findings: 1 (0 critical, 1 warning, 0 info)\n"
              "  warning   System clock is not synchronised (state OK, estimated error 10 us)\n"
              "            evidence: Time Sync / Kernel Clock / row \"adjtimex\": Synchronised false\n"
              "            next: Check the time service (chrony, ntpd or systemd-timesyncd) and its servers.\n");
    EXPECT_NE(json.text().find("{\"severity\": \"warning\", \"rule\": \"time-not-synchronised\""), std::string::npos);
    captured_stream none;
    write_findings_json(none.get(), {});
    EXPECT_EQ(none.text(), "[]\n");
}

TEST(Findings, CommandReadsAContainerOrAPlainReport) {
    temp_dir dir;
    std::string path = dir.file("report.xml");
    write_file(path, build_report({kernel_log("Kernel panic - not syncing: x")}));
    command_run run = run_command(kdtool_findings, {path});
    EXPECT_EQ(run.rc, exit_good);
    EXPECT_NE(run.out.find("critical  Kernel panic: Kernel panic - not syncing: x"), std::string::npos) << run.out;
    EXPECT_EQ(run_command(kdtool_findings, {}).rc, exit_usage);
    EXPECT_EQ(run_command(kdtool_findings, {dir.file("missing")}).rc, exit_damaged);
}

}  // namespace

namespace {

TEST(Findings, ShowAndHtmlOpenWithThem) {
    temp_dir dir;
    std::string path = dir.file("report.xml");
    write_file(path, build_report({clock("false", "0"), kernel_log("Kernel panic - not syncing: x")}));
    command_run show = run_command(kdtool_show, {path});
    ASSERT_EQ(show.rc, exit_good) << show.err;
    size_t findings = show.out.find("Findings: 2 (1 critical, 1 warning, 0 info)\n  critical  Kernel panic");
    ASSERT_NE(findings, std::string::npos) << show.out;
    EXPECT_LT(findings, show.out.find("Table: Kernel Log"));
    // A chosen section shows that section alone.
    EXPECT_EQ(run_command(kdtool_show, {path, "--section", "Time Sync"}).out.find("Findings:"), std::string::npos);

    std::string page_path = dir.file("page.html");
    ASSERT_EQ(run_command(kdtool_html, {path, "-o", page_path}).rc, exit_good);
    std::string page = read_file(page_path);
    size_t card = page.find("<aside class=\"findings\">");
    ASSERT_NE(card, std::string::npos);
    EXPECT_LT(card, page.find("<header class=\"card\">"));
    size_t critical = page.find("<li class=\"critical\"><span class=\"sev critical\">critical</span>Kernel panic");
    ASSERT_NE(critical, std::string::npos);
    // Each finding links to its evidence, and the page has that anchor.
    size_t link = page.find("<a href=\"#", critical);
    ASSERT_NE(link, std::string::npos);
    std::string anchor = page.substr(link + 10, page.find('"', link + 10) - link - 10);
    EXPECT_NE(page.find("<h3 id=\"" + anchor + "\">Kernel Log"), std::string::npos) << anchor;
}

}  // namespace

// kdtool diff on reports of the same machine: what changed, not what moved.
#include <gtest/gtest.h>

#include "kdtool/diff_rules.h"
#include "report/report_builder.h"
#include "report_fixture.h"

namespace {

// The volatile list, reviewed: what may differ on every run of an unchanged
// machine, and what next to it must still be reported.
TEST(DiffRules, VolatileValuesAreTheOnesThatChangeOnEveryRun) {
    struct {
        const char* table;
        const char* column_or_row;
        bool is_volatile;
    } cases[] = {
        {"Current Time", "HH:MM:SS", true},
        {"Current Time", "Time Zone", false},
        {"Network Interface Statistics", "rx bytes", true},
        {"Network Interface Statistics", "Name", false},
        {"Network Interfaces", "Carrier Changes", true},
        {"Network Interfaces", "MTU", false},
        {"File Systems", "Available (bytes)", true},
        {"File Systems", "Options", false},
        {"File Systems", "Size (bytes)", false},
        {"Kernel Log", "Time", true},
        {"Kernel Log", "Message", false},
        {"Listening Sockets", "Inode", true},
        {"Listening Sockets", "Port", false},
        {"Kernel Clock", "Offset (ns)", true},
        {"Kernel Clock", "Synchronised", false},
        {"Kernel Parameters", "kernel.random.uuid", true},
        {"Kernel Parameters", "kernel.random.boot_id", true},
        {"Kernel Parameters", "kernel.ns_last_pid", true},
        {"Kernel Parameters", "fs.quota.syncs", true},
        {"Kernel Parameters", "fs.file-nr", true},
        {"Kernel Parameters", "fs.file-max", false},
        {"Kernel Parameters", "kernel.hostname", false},
        {"Kernel Parameters", "kernel.random.poolsize", false},
        {"Module Parameters", "page_reporting/passes", true},
        {"Service Processor Error Log", "Entry", true},
        {"Service Processor Error Log", "Message", false},
        {"Module Parameters", "page_reporting/page_reporting_order", false},
    };
    for (const auto& c : cases) {
        const table_diff_rule* rule = table_rule(c.table);
        ASSERT_NE(rule, nullptr) << c.table;
        bool found = matches_listed(c.column_or_row, rule->volatile_columns) ||
                     matches_listed(c.column_or_row, rule->volatile_rows);
        EXPECT_EQ(found, c.is_volatile) << c.table << " / " << c.column_or_row;
    }
    EXPECT_EQ(table_rule("Module Parameters")->key, std::string("Module+Parameter"));
    EXPECT_EQ(table_rule("No Such Table"), nullptr);
    EXPECT_EQ(file_rule("journalctl -b")->how, file_compare::log);
    EXPECT_EQ(file_rule("/proc/meminfo")->how, file_compare::numbers);
    EXPECT_EQ(file_rule("/etc/fstab"), nullptr);
}

TEST(DiffRules, KeyGroups) {
    const char* pattern = table_rule("Kernel Parameters")->group;
    EXPECT_EQ(key_group("net.ipv4.conf.eth2.rp_filter", pattern), "eth2");
    EXPECT_EQ(key_group("net.ipv6.neigh.eth2.retrans_time_ms", pattern), "eth2");
    EXPECT_EQ(key_group("net.core.somaxconn", pattern), "");
    EXPECT_EQ(key_group("kernel.random.uuid", pattern), "");
    EXPECT_EQ(key_group("net.ipv4.conf.eth2", pattern), "");
    EXPECT_EQ(key_group("anything", nullptr), "");
}

TEST(DiffRules, PatternsAndLineForms) {
    EXPECT_TRUE(matches_listed("fs.quota.syncs", "a|fs.quota.*"));
    EXPECT_TRUE(matches_listed("kernel.sched_schedstats", "kernel.sched_*stats*"));
    EXPECT_FALSE(matches_listed("fs.quota", "fs.quota.*"));
    EXPECT_FALSE(matches_listed("anything", nullptr));
    struct {
        std::string (*form)(std::string_view);
        const char* line;
        const char* expected;
    } cases[] = {
        {log_message, "Dec 09 10:00:00 vm kernel: [   12.345678] eth0: link up", "kernel: eth0: link up"},
        {log_message, "Dec  9 10:00:00 vm sshd[4242]: Accepted key", "sshd: Accepted key"},
        {log_message, "Dec  9 10:00:00 vm systemd[1]: Started x.", "systemd: Started x."},
        {log_message, "[    0.000000] Linux version 6.1", "Linux version 6.1"},
        {log_message, "no time stamp at all", "no time stamp at all"},
        {log_message, "Dec  9 20:10:23 testvm syslogd 1.5.1: restart.", "syslogd 1.5.1: restart."},
        {process_identity, "  116 root     [scsi_tmf_0]", " # root [scsi_tmf_0]"},
        {without_numbers, "MemFree:        23652376 kB", "MemFree: # kB"},
        {without_numbers, " 36:   0      60442 PCI-MSIX-0000:00:02.0  1-edge  virtio1-req.0",
         " #: # # PCI-MSIX-#:#:#.# #-edge virtio1-req.#"},
        {without_numbers, "  01000000-0231b63f : Kernel code", " #-# : Kernel code"},
        {without_numbers, "eth0 sda1 dead", "eth0 sda1 dead"},
        {without_numbers, "e1000 163840 0 - Live 0xffffffffc04f5000", "e1000 # # - Live #"},
        {process_identity, "root      1489  0.0  0.0   5552  1060 ?        Sl   19:41   0:00 sshd: root [priv]",
         "root sshd: root [priv]"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.form(c.line), c.expected) << c.line;
}

built_section kernel_log(const std::vector<std::vector<std::string>>& rows) {
    return {"Kernel State",
            {{"Kernel Log",
              {{"Sequence", INTEGER}, {"Time", STRING}, {"Facility", STRING}, {"Level", STRING}, {"Message", STRING}},
              rows}},
            {}};
}

built_section module_parameters(const std::string& passes, const std::string& order) {
    return {"Kernel State",
            {{"Module Parameters",
              {{"Module", STRING}, {"Parameter", STRING}, {"Value", STRING}},
              {{"page_reporting", "page_reporting", "passes", passes},
               {"page_reporting", "page_reporting", "page_reporting_order", order}}}},
            {}};
}

class Diff : public ::testing::Test {
protected:
    temp_dir dir;
    std::string report(const std::string& name, const std::vector<built_section>& sections) {
        std::string path = dir.file(name);
        write_file(path, build_report(sections));
        return path;
    }
    command_run diff(const std::vector<built_section>& a, const std::vector<built_section>& b,
                     const kdtool_args& options = {}) {
        kdtool_args args = {report("a.xml", a), report("b.xml", b)};
        args.insert(args.end(), options.begin(), options.end());
        return run_command(kdtool_diff, args);
    }
};

TEST_F(Diff, OneNewLogMessageIsOneLineWhateverTheTimes) {
    command_run run = diff({kernel_log({{"1", "1", "0.5", "kern", "info", "boot"}, {"2", "2", "1.0", "kern", "info", "up"}})},
                           {kernel_log({{"7", "7", "0.7", "kern", "info", "boot"},
                                        {"8", "8", "1.2", "kern", "info", "up"},
                                        {"9", "9", "2.0", "kern", "err", "eth0: link down"}})});
    EXPECT_EQ(run.rc, 1);
    EXPECT_EQ(run.out,
              "section \"Kernel State\"\n  table \"Kernel Log\"\n"
              "    + row \"9\": Sequence=\"9\" Time=\"2.0\" Facility=\"kern\" Level=\"err\" Message=\"eth0: link down\"\n"
              "4 volatile values differ; --all shows them\n");
    command_run all = diff({kernel_log({{"1", "1", "0.5", "kern", "info", "boot"}})},
                           {kernel_log({{"7", "7", "0.7", "kern", "info", "boot"}})}, {"--all"});
    EXPECT_NE(all.out.find("Sequence: \"1\" -> \"7\"; Time: \"0.5\" -> \"0.7\""), std::string::npos) << all.out;
}

TEST_F(Diff, JournalLinesAreComparedByMessage) {
    auto journal = [](const std::string& text) { return built_section{"System Log", {}, {{"journalctl -b", text}}}; };
    command_run run = diff({journal("Dec 09 10:00:00 vm sshd[10]: Accepted key\n")},
                           {journal("Dec 09 11:00:00 vm sshd[99]: Accepted key\n"
                                    "Dec 09 11:00:01 vm kernel: [ 5.0] sd 0:0:0:0: I/O error\n")});
    EXPECT_EQ(run.out,
              "section \"System Log\"\n  file \"journalctl -b\"\n"
              "    +Dec 09 11:00:01 vm kernel: [ 5.0] sd 0:0:0:0: I/O error\n"
              "1 volatile values differ; --all shows them\n");
}

TEST_F(Diff, RowsAreKeyedByWhatIdentifiesThem) {
    command_run run = diff({module_parameters("59", "9")}, {module_parameters("105", "10")});
    EXPECT_EQ(run.out,
              "section \"Kernel State\"\n  table \"Module Parameters\"\n"
              "    ~ row \"page_reporting/page_reporting_order\": Value: \"9\" -> \"10\"\n"
              "1 volatile values differ; --all shows them\n");
}

TEST_F(Diff, TheSettingsOfANewInterfaceAreOneLine) {
    auto parameters = [](const std::vector<std::string>& names) {
        built_table t{"Kernel Parameters", {{"Name", STRING}, {"Value", STRING}}, {}};
        for (const std::string& n : names) t.rows.push_back({n, n, "1"});
        return built_section{"Kernel State", {t}, {}};
    };
    std::vector<std::string> before = {"kernel.hostname", "net.ipv4.conf.eth0.rp_filter"};
    std::vector<std::string> after = before;
    for (const char* n : {"net.ipv4.conf.eth1.rp_filter", "net.ipv4.conf.eth1.forwarding",
                          "net.ipv6.conf.eth1.mtu", "net.ipv4.conf.eth9.tag"})
        after.push_back(n);
    command_run run = diff({parameters(before)}, {parameters(after)});
    EXPECT_EQ(run.out,
              "section \"Kernel State\"\n  table \"Kernel Parameters\"\n"
              "    + 3 rows of \"eth1\": net.ipv4.conf.eth1.* net.ipv6.conf.eth1.*\n"
              "    + row \"net.ipv4.conf.eth9.tag\": Name=\"net.ipv4.conf.eth9.tag\" Value=\"1\"\n");
}

TEST_F(Diff, VolatileOnlyAndReorderedRowsShowNothing) {
    built_section disks = {"Storage", {{"Disks", {{"Name", STRING}, {"Size", INTEGER}}, {{"sda", "sda", "1"}, {"sdb", "sdb", "2"}}}}, {}};
    built_section reordered = {"Storage", {{"Disks", {{"Name", STRING}, {"Size", INTEGER}}, {{"sdb", "sdb", "2"}, {"sda", "sda", "1"}}}}, {}};
    command_run run = diff({disks, module_parameters("1", "9")}, {reordered, module_parameters("2", "9")});
    EXPECT_EQ(run.rc, 0);
    EXPECT_EQ(run.out, "1 volatile values differ; --all shows them\n");
}

TEST_F(Diff, SectionsCanBeChosenOrLeftOut) {
    built_section fstab_a = {"File Systems", {}, {{"/etc/fstab", "/dev/sda1 / ext4\n"}}};
    built_section fstab_b = {"File Systems", {}, {{"/etc/fstab", "/dev/sda2 / ext4\n"}}};
    std::vector<built_section> a = {fstab_a, module_parameters("1", "9")}, b = {fstab_b, module_parameters("1", "10")};
    command_run only = diff(a, b, {"--section", "file systems"});
    EXPECT_NE(only.out.find("section \"File Systems\""), std::string::npos);
    EXPECT_EQ(only.out.find("Kernel State"), std::string::npos);
    command_run without = diff(a, b, {"--ignore-section", "File Systems"});
    EXPECT_EQ(without.out.find("File Systems"), std::string::npos);
    EXPECT_NE(without.out.find("section \"Kernel State\""), std::string::npos);
    command_run unknown = diff(a, b, {"--section", "Nothing"});
    EXPECT_EQ(unknown.rc, 2);
    EXPECT_NE(unknown.err.find("no section \"Nothing\""), std::string::npos);
}

TEST_F(Diff, ASideWhoseChecksumsFailIsNamedFirst) {
    std::string a = report("a.xml", {module_parameters("1", "9")});
    std::string text = build_report({module_parameters("1", "10")});
    size_t value = text.find(">10<");
    ASSERT_NE(value, std::string::npos);
    text.replace(value, 4, ">11<");  // changed after it was written
    write_file(dir.file("b.xml"), text);
    command_run run = run_command(kdtool_diff, {a, dir.file("b.xml")});
    EXPECT_EQ(run.out.rfind(dir.file("b.xml") + ": ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("checksums do not match or are missing\nsection"), std::string::npos);
    EXPECT_EQ(run.out.find(a + ":"), std::string::npos);
}

TEST_F(Diff, JsonGivesTheChangesAsData) {
    command_run run = diff({module_parameters("1", "9")}, {module_parameters("2", "10")}, {"--json"});
    EXPECT_EQ(run.rc, 1);
    EXPECT_EQ(run.out,
              "{\"damaged\": [],\n \"volatile\": 1,\n \"changes\": [\n"
              "  {\"change\": \"changed\", \"section\": \"Kernel State\", \"kind\": \"table\", \"item\": "
              "\"Module Parameters\", \"text\": \"row \\\"page_reporting/page_reporting_order\\\": Value: \\\"9\\\" -> "
              "\\\"10\\\"\"}\n ]}\n");
    command_run same = diff({module_parameters("1", "9")}, {module_parameters("1", "9")}, {"--json"});
    EXPECT_EQ(same.rc, 0);
    EXPECT_EQ(same.out, "{\"damaged\": [],\n \"volatile\": 0,\n \"changes\": []}\n");
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/device_probes.h"
#include "probe_fixture.h"
#include "probes/catalogue.h"
#include "probes/file_probe.h"
#include "probes/probe.h"
#include "probes/reader_probe.h"
#include "probes/tagged_text_probe.h"

namespace {

// A probe whose answers the test chooses; it records its calls.
class scripted_probe : public probe {
public:
    scripted_probe(probe_section& section, const char* name, int32_t level, bool available,
                   bool gathers)
        : probe(section, name, level), available_(available), gathers_(gathers) {}
    bool test() override {
        ++tests;
        return available_;
    }
    bool run() override {
        ++runs;
        return gathers_;
    }
    int tests = 0;
    int runs = 0;

private:
    bool available_;
    bool gathers_;
};

using ProbeFrameworkTest = ProbeTest;

TEST_F(ProbeFrameworkTest, AvailableSectionIsWrittenWithConsoleLineAndDebugLines) {
    section_list list;
    probe_section missing(list, "Missing Things");
    scripted_probe gone(missing, "gone", 0, false, true);
    probe_section cpu(list, "CPU Information");
    scripted_probe first(cpu, "first", 0, true, true);
    scripted_probe second(cpu, "second", 0, true, false);

    test_sections(list);

    EXPECT_EQ(console(), "CPU Information ................ OK\n");
    EXPECT_EQ(std::string("CPU Information ................").size(), 32u);
    EXPECT_EQ(debug(),
              "section Missing Things\ntest_all, rc = false\n"
              "section CPU Information\ntest_all, rc = true\n");
    // Nothing of the unavailable section reaches the report.
    EXPECT_EQ(report().find("Missing Things"), std::string::npos);
    EXPECT_NE(report().find("  CPU Information  "), std::string::npos);
    EXPECT_EQ(gone.runs, 0);
    // The first probe is tested twice (availability and run pass), and every
    // eligible probe runs whatever the earlier ones gave.
    EXPECT_EQ(first.tests, 2);
    EXPECT_EQ(second.tests, 1);
    EXPECT_EQ(first.runs, 1);
    EXPECT_EQ(second.runs, 1);
}

TEST_F(ProbeFrameworkTest, ProbesAboveTheRunLevelAreNeitherTestedNorRun) {
    section_list list;
    probe_section logs(list, "System Log");
    scripted_probe high(logs, "high", 4, true, true);
    scripted_probe low(logs, "low", 0, true, true);
    probe_section only_high(list, "Only High");
    scripted_probe other(only_high, "other", 3, true, true);
    run_context.level = 2;

    test_sections(list);

    EXPECT_EQ(high.tests, 0);
    EXPECT_EQ(high.runs, 0);
    EXPECT_EQ(low.runs, 1);
    EXPECT_EQ(other.tests, 0);
    EXPECT_EQ(console(), "System Log ..................... OK\n");
    EXPECT_NE(debug().find("section Only High\ntest_all, rc = false\n"), std::string::npos);
}

TEST_F(ProbeFrameworkTest, SectionWhoseProbesGatherNothingStaysInTheReport) {
    section_list list;
    probe_section empty(list, "Empty");
    scripted_probe nothing(empty, "nothing", 0, true, false);

    test_sections(list);

    EXPECT_EQ(console(), "Empty " + std::string(26, '.') + " Not Found\n");
    EXPECT_NE(report().find("  Empty  "), std::string::npos);
}

TEST_F(ProbeFrameworkTest, SilentRunWritesNoConsoleButTheSameReportAndLog) {
    section_list list;
    probe_section cpu(list, "CPU");
    scripted_probe one(cpu, "one", 0, true, true);
    run_context.silent = true;

    test_sections(list);

    EXPECT_EQ(console(), "");
    EXPECT_NE(report().find("  CPU  "), std::string::npos);
    EXPECT_EQ(debug(), "section CPU\ntest_all, rc = true\n");
}

TEST_F(ProbeFrameworkTest, LongTitlesKeepAllTheirCharacters) {
    section_list list;
    const std::string exact(31, 'x');
    const std::string longer(40, 'y');
    probe_section a(list, exact.c_str());
    probe_section b(list, longer.c_str());
    show_progress(a);
    show_result(a, true);
    show_progress(b);
    show_result(b, false);
    EXPECT_EQ(console(), exact + "  OK\n" + longer + "  Not Found\n");
}

// The expected shape of the built-in list: title, then per probe its name,
// level and source.
struct expected_probe {
    const char* name;
    int level;
    const char* source;  // the path of a file probe, the command of a list probe
};
struct expected_section {
    const char* title;
    std::vector<expected_probe> probes;
};

TEST(CatalogueTest, BuiltInSectionsComeInTheirFixedOrder) {
    const std::vector<expected_section> expected = {
        {"Network Devices", {{"NETWORK", 3, nullptr}}},
        {"SCSI Devices", {{"SCSI", 3, nullptr}}},
        {"Package Information", {{"RPM", 4, package_script}, {"DPKG", 4, dpkg_package_script}}},
        {"CPU Information", {{"CPU Info", 2, "/proc/cpuinfo"}}},
        {"Memory Information", {{"Memory Info", 2, "/proc/meminfo"}}},
        {"Resource Information",
         {{"Memory Mapped I/O Info", 3, "/proc/iomem"},
          {"I/O Port Info", 3, "/proc/ioports"},
          {"IRQ Info", 3, "/proc/interrupts"}}},
        {"Device Driver Information",
         {{"modinfo", 3, module_script},
          {"Modules Info", 3, "/proc/modules"},
          {"Modules Configuration", 2, "/etc/modules.conf"},
          {"Module Options", 2, "/etc/modprobe.d"}}},
        {"SCSI Devices", {{"SCSI Info", 3, "/proc/scsi/scsi"}}},
        {"PCI Devices", {{"PCI Info", 2, "/proc/pci"}}},
        {"Partitions", {{"Partition Info", 2, "/proc/partitions"}}},
        {"Startup Information",
         {{"Startup Info", 2, "/etc/inittab"},
          {"LILO Configuration", 2, "/etc/lilo.conf"},
          {"GRUB Configuration", 2, "/etc/grub.conf"},
          {"GRUB Defaults", 2, "/etc/default/grub"},
          {"GRUB 2 Configuration", 2, "/boot/grub/grub.cfg"},
          {"systemctl list-units --all --no-pager", 2, systemd_units_script}}},
        {"Running Processes", {{"ps auxw", 0, "ps auxw"}}},
        {"System Log",
         {{"/var/log/messages", 0, messages_script},
          {"Kernel messages", 4, kernel_messages_script},
          {"/var/log/boot.log", 0, boot_log_script},
          {"journalctl -b", 0, journal_script},
          {"journalctl -k", 4, kernel_journal_script}}},
        {"Block Devices",
         {{"Block Devices", 2, nullptr},
          {"Software RAID", 2, "/proc/mdstat"},
          {"pvs --units b --nosuffix", 2, "pvs"},
          {"vgs --units b --nosuffix", 2, "vgs"},
          {"lvs --units b --nosuffix", 2, "lvs"},
          {"multipath -ll", 2, "multipath"},
          {"Disk Health", 2, nullptr}}},
        {"File Systems", {{"File Systems", 2, nullptr}, {"File System Table", 2, "/etc/fstab"}}},
        {"Kernel State",
         {{"Kernel Command Line", 2, "/proc/cmdline"},
          {"Kernel Taint", 2, nullptr},
          {"Kernel Log", 2, nullptr},
          {"Kernel Parameters", 4, nullptr},
          {"Module Parameters", 4, nullptr}}},
        {"Name Resolution",
         {{"Host Names", 2, nullptr},
          {"Host Name", 2, "/etc/hostname"},
          {"Hosts", 2, "/etc/hosts"},
          {"Resolver Configuration", 2, "/etc/resolv.conf"},
          {"Resolver Configuration Link", 2, nullptr},
          {"Name Service Switch", 2, "/etc/nsswitch.conf"}}},
        {"Sockets", {{"Listening Sockets", 3, nullptr}}},
        {"Firewall",
         {{"Netfilter", 3, nullptr},
          {"nft list ruleset", 3, "nft"},
          {"iptables-save", 3, "iptables-save"},
          {"ip6tables-save", 3, "ip6tables-save"}}},
        {"Time Sync",
         {{"Clock Source", 3, nullptr},
          {"Kernel Clock", 3, nullptr},
          {"timedatectl show", 3, "timedatectl"},
          {"chronyc -n tracking", 3, "chronyc"},
          {"chronyc -n sources", 3, "chronyc"},
          {"ntpq -pn", 3, "ntpq"}}},
    };
    register_device_probes();
    const probe_section* section = registered_sections().head;
    EXPECT_EQ(section, &network_devices_section());
    EXPECT_EQ(section->next, &scsi_devices_section());
    for (const expected_section& want : expected) {
        ASSERT_NE(section, nullptr) << want.title;
        EXPECT_STREQ(section->title, want.title);
        const probe* p = section->first_probe;
        for (const expected_probe& want_probe : want.probes) {
            ASSERT_NE(p, nullptr) << want_probe.name;
            EXPECT_STREQ(p->name, want_probe.name);
            EXPECT_EQ(p->level, want_probe.level) << want_probe.name;
            const char* source = nullptr;
            if (auto* f = dynamic_cast<const file_probe*>(p)) source = f->path;
            if (auto* l = dynamic_cast<const list_probe*>(p)) source = l->command;
            if (auto* t = dynamic_cast<const tagged_text_probe*>(p)) source = t->script;
            if (auto* d = dynamic_cast<const folder_probe*>(p)) source = d->folder;
            if (auto* c = dynamic_cast<const capped_file_probe*>(p)) source = c->path;
            if (auto* t = dynamic_cast<const tool_probe*>(p)) source = t->command.argv[0];
            EXPECT_STREQ(source, want_probe.source) << want_probe.name;
            p = p->next;
        }
        EXPECT_EQ(p, nullptr) << want.title;
        section = section->next;
    }
    EXPECT_EQ(section, nullptr);
}

TEST(CatalogueTest, ScriptsAreOneLineThatTheShellAccepts) {
    for (const char* script : {messages_script, kernel_messages_script, boot_log_script, module_script,
                               package_script, dpkg_package_script, journal_script, kernel_journal_script,
                               systemd_units_script}) {
        std::string text = script;
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(text.rfind("exec 2>> /tmp/sifterra.log; ", 0), 0u);
        EXPECT_NE(text.find("[ \"$0\" = \"test\" ] && exit 0;"), std::string::npos);
        // Parse only (-n): nothing runs, nothing is written.
        FILE* shell = popen("sh -n 2>&1", "w");
        ASSERT_NE(shell, nullptr);
        std::fputs(script, shell);
        EXPECT_EQ(pclose(shell), 0) << script;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "probes/reader_probe.h"
#include "system/firewall.h"
#include "system/time_sync.h"
#include "system_tree_fixture.h"

namespace {

class FirewallTest : public SystemTreeTest {
protected:
    // Which of the three firewall tools would run.
    std::string ready() {
        section_list list;
        probe_section section(list, "Firewall");
        tool_probe nft(section, "nft list ruleset", nft_command, 3);
        tool_probe v4(section, "iptables-save", iptables_save_command, 3);
        tool_probe v6(section, "ip6tables-save", ip6tables_save_command, 3);
        std::string names;
        for (tool_probe* probe : {&nft, &v4, &v6})
            if (probe->test()) names += std::string(names.empty() ? "" : ",") + probe->command.argv[0];
        return names;
    }
    // iptables-save and ip6tables-save as links to one program of this name.
    void iptables_build(const char* program) {
        std::filesystem::create_directories(tools().folder);
        write_file(tools().folder + "/" + program, "");
        for (const char* tool : {"iptables-save", "ip6tables-save"}) {
            std::filesystem::remove(tools().folder + "/" + tool);
            std::filesystem::create_symlink(program, tools().folder + "/" + tool);
        }
    }
};

// A tool runs only when the kernel part it reads is there, so that asking
// never makes the kernel load a module; nft wins over iptables-save.
TEST_F(FirewallTest, ToolsFollowTheKernelParts) {
    tools().present = {"nft", "iptables-save", "ip6tables-save"};
    iptables_build("xtables-legacy-multi");
    EXPECT_EQ(ready(), "");
    put("/proc/net/ip_tables_names", "filter\nnat\n");
    EXPECT_EQ(ready(), "iptables-save");
    put("/proc/net/ip6_tables_names", "filter\n");
    EXPECT_EQ(ready(), "iptables-save,ip6tables-save");
    put("/proc/modules", "nf_tables 344064 0 - Live 0x0\n");
    EXPECT_EQ(ready(), "nft");

    // Without nft, iptables-save of the nf_tables build reads nf_tables.
    tools().present = {"iptables-save", "ip6tables-save"};
    iptables_build("xtables-nft-multi");
    EXPECT_EQ(ready(), "iptables-save,ip6tables-save");
    put("/proc/modules", "");
    EXPECT_EQ(ready(), "");

    set_output_mode(3);
    EXPECT_TRUE(write_netfilter_parts(run_context.report));
    EXPECT_NE(report().find("  Part   : nf_tables\n  Present: false\n  Tables : \n\n"
                            "  Part   : ip_tables\n  Present: true\n  Tables : filter nat\n"),
              std::string::npos)
        << report();
}

// What a tool gives goes into the report under the probe's name; a tool
// that timed out keeps what it printed, with a line saying so.
TEST_F(FirewallTest, ToolOutputAndFailures) {
    section_list list;
    probe_section section(list, "Firewall");
    tool_probe nft(section, "nft list ruleset", nft_command, 3);
    tools().present = {"nft"};
    tools().results["nft"] = exited(0, "table inet filter {\n}\n");
    EXPECT_TRUE(nft.run());
    EXPECT_EQ(tools().runs, std::vector<std::string>{"nft list ruleset"});

    command_result late = exited(0, "table ip nat {");
    late.timed_out = true;
    tools().results["nft"] = late;
    EXPECT_FALSE(nft.run());
    tools().results["nft"] = exited(1, "");
    tools().results["nft"].errors = "Operation not permitted";
    EXPECT_FALSE(nft.run());
    EXPECT_EQ(report(),
              "\n---> FILE: nft list ruleset <---\ntable inet filter {\n}\n---> END OF FILE <---\n"
              "\n---> FILE: nft list ruleset <---\ntable ip nat {\n"
              "--- the command did not finish within 5 seconds: what it printed until then is above ---\n"
              "---> END OF FILE <---\n"
              "\n---> FILE: nft list ruleset <---\n---> END OF FILE <---\n");
    EXPECT_NE(debug().find("nft list ruleset: error output:\nOperation not permitted\n"), std::string::npos);
}

class TimeSyncTest : public SystemTreeTest {
protected:
    void TearDown() override {
        set_adjtimex_call(nullptr);
        SystemTreeTest::TearDown();
    }
};

int synchronised_clock(struct timex* state) {
    state->status = STA_PLL | STA_NANO;
    state->offset = -2500;
    state->freq = 65536 * 12 + 32768;
    state->maxerror = 16000;
    state->esterror = 12;
    return TIME_OK;
}

int failing_clock(struct timex*) {
    errno = EPERM;
    return -1;
}

TEST_F(TimeSyncTest, ClockSourceAndDiscipline) {
    put("/sys/devices/system/clocksource/clocksource0/current_clocksource", "tsc\n");
    put("/sys/devices/system/clocksource/clocksource0/available_clocksource", "tsc hpet acpi_pm \n");
    set_output_mode(3);
    ASSERT_TRUE(clock_source_available());
    EXPECT_TRUE(write_clock_source(run_context.report));
    set_adjtimex_call(synchronised_clock);
    EXPECT_TRUE(write_clock_discipline(run_context.report));
    set_adjtimex_call(failing_clock);
    EXPECT_FALSE(write_clock_discipline(run_context.report));
    EXPECT_EQ(report(),
              "------------\nClock Source\n------------\n  Current  : tsc\n  Available: tsc hpet acpi_pm\n\n"
              "------------\nKernel Clock\n------------\n"
              "  Synchronised        : true\n  State               : OK\n  Offset (ns)         : -2500\n"
              "  Frequency (ppm)     : 12.500\n  Maximum Error (us)  : 16000\n  Estimated Error (us): 12\n"
              "  Status              : PLL NANO\n\n");

    EXPECT_EQ(clock_status_text(STA_UNSYNC | STA_CLK), "UNSYNC CLK");
    EXPECT_EQ(clock_state_name(TIME_ERROR), "ERROR");
    EXPECT_EQ(clock_state_name(42), "42");
}

TEST_F(TimeSyncTest, DaemonsAreAskedOnlyWhenTheyRun) {
    section_list list;
    probe_section section(list, "Time Sync");
    tool_probe timedatectl(section, "timedatectl show", timedatectl_command, 3);
    tool_probe chrony(section, "chronyc -n tracking", chrony_tracking_command, 3);
    tools().present = {"timedatectl", "chronyc"};
    EXPECT_FALSE(timedatectl.test());
    EXPECT_FALSE(chrony.test());
    folder("/run/systemd/system");
    put("/proc/77/comm", "chronyd\n");
    EXPECT_TRUE(timedatectl.test());
    EXPECT_TRUE(chrony.test());
}

}  // namespace

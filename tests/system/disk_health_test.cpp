#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/run_context.h"
#include "system/disk_health.h"
#include "system_tree_fixture.h"

namespace {

class DiskHealthTest : public SystemTreeTest {
protected:
    // A disk of /sys/block with the removable flag given.
    void disk(const std::string& name, bool removable) {
        const std::string real = "/sys/devices/virtual/test/block/" + name;
        put(real + "/dev", "8:0\n");
        put(real + "/size", "2048\n");
        put(real + "/removable", removable ? "1\n" : "0\n");
        folder(real + "/holders");
        link("/sys/block/" + name, "../devices/virtual/test/block/" + name);
    }
    void machine() {
        disk("sda", false);
        disk("sdb", true);  // a card reader: left alone
        disk("sdc", false);
        disk("vda", false);  // virtio: no SMART
        disk("nvme0n1", false);
        for (const char* entry : {"nvme0", "nvme1", "nvme-subsys0", "nvme0n1"}) folder(std::string("/sys/class/nvme/") + entry);
    }
};

TEST_F(DiskHealthTest, CommandsForTheToolsThatAreThere) {
    struct tools_case {
        std::vector<std::string> present;
        std::vector<std::string> runs;
    };
    const tools_case cases[] = {
        {{}, {}},
        {{"smartctl"}, {"smartctl -H -A -n standby /dev/sda", "smartctl -H -A -n standby /dev/sdc"}},
        {{"nvme"}, {"nvme smart-log /dev/nvme0", "nvme smart-log /dev/nvme1"}},
        {{"smartctl", "nvme"},
         {"smartctl -H -A -n standby /dev/sda", "smartctl -H -A -n standby /dev/sdc", "nvme smart-log /dev/nvme0",
          "nvme smart-log /dev/nvme1"}},
    };
    machine();
    for (const tools_case& c : cases) {
        tools().present = c.present;
        tools().runs.clear();
        EXPECT_EQ(disk_health_available(), !c.present.empty());
        for (const char* tool : {"smartctl", "nvme"}) tools().results[tool] = exited(0, std::string(tool) + " said\n");
        write_disk_health(run_context.report);
        EXPECT_EQ(tools().runs, c.runs) << c.present.size();
    }
}

// Outputs are embedded under the command without the standby option; a
// sleeping disk's answer (status 2) is embedded like any other.
TEST_F(DiskHealthTest, OutputsUnderTheirCommands) {
    machine();
    tools().present = {"smartctl", "nvme"};
    tools().results["smartctl"] = exited(2, "Device is in STANDBY mode, exit(2)\n");
    tools().results["nvme"] = exited(0, "Smart Log for NVME device:nvme0 namespace-id:ffffffff\ncritical_warning : 0\n");
    EXPECT_TRUE(write_disk_health(run_context.report));
    const std::string text = report();
    for (const char* label : {"---> FILE: smartctl -H -A /dev/sda <---\nDevice is in STANDBY mode",
                              "---> FILE: smartctl -H -A /dev/sdc <---\n", "---> FILE: nvme smart-log /dev/nvme0 <---\nSmart Log",
                              "---> FILE: nvme smart-log /dev/nvme1 <---\n"})
        EXPECT_NE(text.find(label), std::string::npos) << label << "\n" << text;
    EXPECT_EQ(text.find("sdb"), std::string::npos);
}

TEST_F(DiskHealthTest, NothingWithoutDisks) {
    tools().present = {"smartctl", "nvme"};
    EXPECT_TRUE(disk_health_commands().empty());
    EXPECT_FALSE(write_disk_health(run_context.report));
    EXPECT_TRUE(tools().runs.empty());
}

}  // namespace

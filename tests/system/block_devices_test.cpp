#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/block_devices.h"
#include "probes/reader_probe.h"
#include "system_tree_fixture.h"

namespace {

class BlockDevicesTest : public SystemTreeTest {
protected:
    // A disk as the kernel shows it: the /sys/block entry is a link into
    // /sys/devices, where its attributes and its device's attributes live.
    std::string disk(const std::string& name, const std::string& device_path, const std::string& dev,
                     const std::string& sectors) {
        const std::string real = "/sys/devices/" + device_path + "/block/" + name;
        put(real + "/dev", dev + "\n");
        put(real + "/size", sectors + "\n");
        put(real + "/ro", "0\n");
        put(real + "/removable", "0\n");
        put(real + "/queue/rotational", "1\n");
        put(real + "/queue/scheduler", "none [mq-deadline] kyber\n");
        folder(real + "/holders");
        link("/sys/block/" + name, "../devices/" + device_path + "/block/" + name);
        return real;
    }
    void partition(const std::string& disk_folder, const std::string& name, const std::string& dev,
                   const std::string& sectors) {
        put(disk_folder + "/" + name + "/partition", "1\n");
        put(disk_folder + "/" + name + "/dev", dev + "\n");
        put(disk_folder + "/" + name + "/size", sectors + "\n");
        put(disk_folder + "/" + name + "/ro", "0\n");
        folder(disk_folder + "/" + name + "/holders");
    }
    static std::string page80(const std::string& serial) {
        return std::string{0, char(0x80), 0, char(serial.size())} + serial;
    }
};

TEST_F(BlockDevicesTest, DisksAndPartitionsWithTheirIdentities) {
    const std::string scsi = "pci0000:00/0000:00:03.0/host0/target0:0:0/0:0:0:0";
    std::string sda = disk("sda", scsi, "8:0", "2097152");
    put("/sys/devices/" + scsi + "/vendor", "ACME    \n");
    put("/sys/devices/" + scsi + "/model", "ACMEDISK 1000   \n");
    put("/sys/devices/" + scsi + "/rev", "1.07\n");
    put("/sys/devices/" + scsi + "/type", "0\n");
    put("/sys/devices/" + scsi + "/vpd_pg80", page80("  DSK0001234 "));
    link(sda + "/device", "../../../0:0:0:0");
    partition(sda, "sda10", "8:10", "2048");
    partition(sda, "sda2", "8:2", "4096");
    put(sda + "/sda2/ro", "1\n");
    put(sda + "/sda2/holders/dm-0", "");
    folder(sda + "/trace");  // not a partition

    std::string nvme = disk("nvme0n1", "pci0000:00/0000:00:04.0/nvme/nvme0", "259:0", "1000215216");
    put(nvme + "/queue/rotational", "0\n");
    put(nvme + "/queue/scheduler", "none\n");
    put("/sys/class/nvme/nvme0/model", "Fast NVMe 1TB\n");
    put("/sys/class/nvme/nvme0/serial", "S4EWNX0N\n");
    put("/sys/class/nvme/nvme0/firmware_rev", "2B2QEXM7\n");
    put("/sys/class/nvme/nvme0/transport", "pcie\n");

    const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0";
    std::string sr0 = disk("sr0", usb, "11:0", "0");
    put("/sys/devices/" + usb + "/type", "5\n");
    put(sr0 + "/removable", "1\n");
    link(sr0 + "/device", "../../../6:0:0:0");

    disk("loop0", "virtual", "7:0", "0");  // no backing file: left out
    std::string loop1 = disk("loop1", "virtual/l1", "7:1", "8");
    put(loop1 + "/loop/backing_file", "/var/image\n");

    std::vector<block_device> rows = read_block_devices();
    std::vector<std::string> names;
    for (const block_device& row : rows) names.push_back(row.name + "/" + row.type);
    EXPECT_EQ(names, (std::vector<std::string>{"loop1/loop", "nvme0n1/disk", "sda/disk", "sda2/part", "sda10/part",
                                               "sr0/rom"}));
    const block_device& disk_row = rows[2];
    EXPECT_EQ(disk_row.major_minor, "8:0");
    EXPECT_EQ(disk_row.size, 1073741824u);
    EXPECT_EQ(disk_row.vendor, "ACME");
    EXPECT_EQ(disk_row.model, "ACMEDISK 1000");
    EXPECT_EQ(disk_row.serial, "DSK0001234");
    EXPECT_EQ(disk_row.revision, "1.07");
    EXPECT_EQ(disk_row.transport, "scsi");
    EXPECT_EQ(disk_row.scheduler, "mq-deadline");
    EXPECT_TRUE(disk_row.rotational);
    const block_device& part = rows[3];
    EXPECT_EQ(part.size, 2097152u);
    EXPECT_TRUE(part.read_only);
    EXPECT_EQ(part.holders, "dm-0");
    EXPECT_EQ(part.scheduler, "mq-deadline");  // the disk's queue
    EXPECT_EQ(part.model, "");
    const block_device& flash = rows[1];
    EXPECT_EQ(flash.model, "Fast NVMe 1TB");
    EXPECT_EQ(flash.serial, "S4EWNX0N");
    EXPECT_EQ(flash.revision, "2B2QEXM7");
    EXPECT_EQ(flash.transport, "pcie");
    EXPECT_EQ(flash.scheduler, "none");
    EXPECT_FALSE(flash.rotational);
    EXPECT_EQ(rows[5].transport, "usb");
    EXPECT_TRUE(rows[5].removable);

    // The whole table, as the report shows it.
    set_output_mode(3);
    EXPECT_TRUE(write_block_devices(run_context.report));
    EXPECT_NE(report().find("  Name        : sda\n  Type        : disk\n  Major:Minor : 8:0\n"
                            "  Size (bytes): 1073741824\n  Vendor      : ACME\n  Model       : ACMEDISK 1000\n"
                            "  Serial      : DSK0001234\n  Revision    : 1.07\n  Transport   : scsi\n"
                            "  Rotational  : true\n  Removable   : false\n  Read Only   : false\n"
                            "  Scheduler   : mq-deadline\n  Holders     : \n"),
              std::string::npos)
        << report();
}

// Damaged attribute files give empty or zero values, never a crash.
TEST_F(BlockDevicesTest, DamagedAttributesAndPages) {
    std::string sda = disk("sda", "scsi/0:0:0:0", "8:0", "not a number");
    put("/sys/devices/scsi/0:0:0:0/type", "0");
    put("/sys/devices/scsi/0:0:0:0/vpd_pg80", std::string("\0\x80\xff\xff" "AB", 6));
    link(sda + "/device", "../..");
    put(sda + "/size", "99999999999999999999999\n");
    std::vector<block_device> rows = read_block_devices();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].size, 0u);
    EXPECT_EQ(rows[0].serial, "AB");  // a length past the page's end: what is there

    struct {
        std::string page;
        const char* serial;
    } pages[] = {
        {"", ""},
        {std::string("\0\x80\0", 3), ""},
        {std::string("\0\x83\0\x02" "AB", 6), ""},  // another page
        {std::string("\0\x80\0\x04" "AB\0\0", 8), "AB"},
        {std::string("\0\x80\0\x03" "   ", 7), ""},
    };
    for (const auto& c : pages) EXPECT_EQ(vpd_serial(c.page), c.serial) << c.page.size();
    EXPECT_EQ(current_scheduler("[none] mq-deadline"), "none");
    EXPECT_EQ(current_scheduler("none [bfq"), "none [bfq");
    EXPECT_EQ(current_scheduler(""), "");
}

TEST_F(BlockDevicesTest, VolumeToolsRunOnlyWithTheirKernelParts) {
    section_list list;
    probe_section section(list, "Block Devices");
    tool_probe pvs(section, "pvs --units b --nosuffix", pvs_command, 2);
    tool_probe multipath(section, "multipath -ll", multipath_command, 2);
    tools().present = {"pvs", "multipath"};
    EXPECT_FALSE(pvs.test());  // no device-mapper: the tool would have it loaded
    EXPECT_FALSE(multipath.test());

    put("/proc/misc", "236 device-mapper\n");
    EXPECT_TRUE(pvs.test());
    EXPECT_FALSE(multipath.test());
    folder("/sys/module/dm_multipath");
    EXPECT_TRUE(multipath.test());

    tools().results["pvs"] = exited(0, "  PV         VG Fmt  Attr PSize      PFree\n  /dev/sda2  vg lvm2 a--  1069547520 0\n");
    EXPECT_TRUE(pvs.run());
    EXPECT_EQ(tools().runs, std::vector<std::string>{"pvs --units b --nosuffix"});
    EXPECT_NE(report().find("---> FILE: pvs --units b --nosuffix <---\n  PV "), std::string::npos);
    tools().present.clear();
    EXPECT_FALSE(pvs.test());
}

}  // namespace

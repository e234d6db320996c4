#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_scsi_devices.h"
#include "probes/probe_fixture.h"
#include "scsi/scsi_probe.h"

namespace {

std::vector<std::string> table_titles(const std::string& text) {
    std::vector<std::string> found;
    for (size_t at = text.find("\nTable: "); at != std::string::npos; at = text.find("\nTable: ", at + 1))
        found.push_back(text.substr(at + 8, text.find('\n', at + 1) - at - 8));
    return found;
}

class ScsiProbeTest : public ProbeTest {
protected:
    // A disk at /dev/sg<index> with a serial number and 1 GiB.
    fake_node& disk(int index, fake_address address, const char* adapter = "sym53c8xx") {
        fake_node& node = devices.generic("/dev/sg" + std::to_string(index), address,
                                          inquiry_data(0, "ACME", "ACMEDISK 1000", "1.07"));
        node.adapter_name = adapter;
        node.replies[block_key(serial_block)] = fake_reply::good(serial_page("DSK0001234"));
        node.replies[block_key(capacity_10_block)] = fake_reply::good(capacity_10(2097151, 512));
        return node;
    }

    // The data lines of the report's table boxes (mode 0), headings left out.
    std::vector<std::string> rows() {
        std::vector<std::string> found;
        std::string text = report();
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(at, end - at);
            if (line.rfind("| ", 0) == 0 && line.rfind("| Device ", 0) != 0) found.push_back(line);
            at = end + 1;
        }
        return found;
    }

    std::vector<std::string> titles() { return table_titles(report()); }

    fake_scsi_devices devices;
    section_list list;
    probe_section section{list, "SCSI Devices"};
    scsi_probe scsi{section, "SCSI", 3};
};

TEST_F(ScsiProbeTest, DiskAndCdRomAsTheyAppearOnAnLsiAdapter) {
    disk(0, {0, 0, 0, 0, 7});
    devices.ordinary("/dev/sda", {0, 0, 0, 0, 7});
    devices.generic("/dev/sg1", {0, 0, 2, 0, 7}, inquiry_data(5, "ACME", "ACME DVD-ROM", "2.00"))
        .adapter_name = "sym53c8xx";
    // Reachable under both names: the older family comes first.
    devices.ordinary("/dev/sr0", {0, 0, 2, 0, 7});
    devices.ordinary("/dev/scd0", {0, 0, 2, 0, 7});

    ASSERT_TRUE(scsi.test());
    ASSERT_TRUE(scsi.run());

    EXPECT_EQ(report(),
              "\nTable: sym53c8xx\n"
              "+--------------+----------+------------------+----------+------------------+------"
              "+---------+--------+-----+------------------+--------------+\n"
              "| Device       | Vendor   | Model            | Revision | Type             | Host "
              "| Channel | Target | LUN | Serial Number    | Capacity     |\n"
              "+--------------+----------+------------------+----------+------------------+------"
              "+---------+--------+-----+------------------+--------------+\n"
              "| /dev/sda     | ACME     | ACMEDISK 1000    | 1.07     | Disk             |    0 "
              "|       0 |      0 |   0 | DSK0001234       | 1.0GB        |\n"
              "| /dev/scd0    | ACME     | ACME DVD-ROM     | 2.00     | CD-ROM           |    0 "
              "|       0 |      2 |   0 |                  |              |\n"
              "+--------------+----------+------------------+----------+------------------+------"
              "+---------+--------+-----+------------------+--------------+\n");
    EXPECT_EQ(devices.open_count(), 0u);
    std::string log = debug();
    EXPECT_EQ(log.rfind("bool scsi_probe::run ()\n", 0), 0u);
    for (const char* line : {"adding sid /dev/sda 0 7\n", "adding sid /dev/scd0 2 7\n",
                             "adding sid /dev/sr0 2 7\n", "\treserved_size: 32768\n",
                             "\tsg version: 3.5.36 (30536)\n", "\temulated: false\n",
                             "\thost: 0   channel: 0   id: 2   lun: 0   type: 0   \n"
                             "\tcmd_per_lun: 1   queue_dept: 1  \n",
                             "\tdev_id: 0x0000000002\n\thost_unique_id: 0x0000000007\n",
                             "\tbus_number: 0\n", "\ttype: 5\n\tvendor: ACME\n"
                             "\tmodel: ACME DVD-ROM\n\trevision: 2.00\n",
                             "host: sym53c8xx, rc = 1\n", "capacity: lba 2097151 sector_size: 512\n",
                             "SCSI DEVICE 0.0.2.0\nfind: idlun: 2 host_unique_id: 7\n"
                             "\t/dev/sda: 0 7\n\t/dev/scd0: 2 7\nfound sid 0x"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(ScsiProbeTest, TablesFollowRunsOfEqualHostNumbers) {
    struct Case {
        std::vector<int> hosts;
        std::vector<std::string> titles;
    };
    const Case cases[] = {
        {{0, 0, 1}, {"adapter 0", "adapter 1"}},
        {{0, 1, 0}, {"adapter 0", "adapter 1", "adapter 0"}},
    };
    for (const Case& c : cases) {
        fake_scsi_devices fresh;
        captured_stream out;
        run_context.report = out.get();
        for (size_t i = 0; i < c.hosts.size(); ++i) {
            fake_node& node = fresh.generic("/dev/sg" + std::to_string(i),
                                            {c.hosts[i], 0, static_cast<int>(i), 0, 0},
                                            inquiry_data(0, "V", "M", "R"));
            node.adapter_name = "adapter " + std::to_string(c.hosts[i]);
        }
        ASSERT_TRUE(scsi.run());
        std::string text = out.text();
        EXPECT_EQ(table_titles(text), c.titles);
        EXPECT_EQ(count_of(text, "| /dev/sg"), static_cast<int>(c.hosts.size()));
    }
}

TEST_F(ScsiProbeTest, RowValuesFromOddDevices) {
    // A scanner without an ordinary node shows its generic name.
    devices.generic("/dev/sg0", {1, 0, 3, 0, 0}, inquiry_data(6, "SCAN", "Flatbed", "0.1"));
    // A device that answers the serial page with its standard data: no serial.
    disk(1, {1, 0, 4, 0, 0}).replies[block_key(serial_block)] =
        fake_reply::good(inquiry_data(0, "ACME", "ACMEDISK 1000", "1.07"));
    // A qualifier in the top bits, padded and unprintable identity bytes, a
    // serial longer than its field.
    std::vector<unsigned char> odd = inquiry_data(0x20, "  AB\x01" "C", "\t", "x");
    disk(2, {1, 0, 5, 0, 0}).replies[block_key(inquiry_block)] = fake_reply::good(odd);
    devices.nodes["/dev/sg2"].replies[block_key(serial_block)] =
        fake_reply::good(serial_page("  0123456789ABCDEFGHIJ"));
    // A page length beyond the reply, and a failed READ CAPACITY.
    fake_node& long_page = disk(3, {1, 0, 6, 0, 0});
    long_page.replies[block_key(serial_block)] = fake_reply::good(serial_page("", 250));
    long_page.replies[block_key(capacity_10_block)] = fake_reply::sense(0x02);
    // A recovered error counts as success.
    disk(4, {1, 0, 7, 0, 0}).replies[block_key(capacity_10_block)] =
        fake_reply{capacity_10(999, 1), true, 0x01};
    // A disk too large for the ten-byte READ CAPACITY.
    fake_node& large = disk(5, {1, 0, 8, 0, 0});
    large.replies[block_key(capacity_10_block)] = fake_reply::good(capacity_10(0xffffffff, 512));
    large.replies[block_key(capacity_16_block)] =
        fake_reply::good({0, 0, 0, 1, 0xd1, 0xc0, 0xbe, 0xaf, 0, 0, 0x10, 0});

    ASSERT_TRUE(scsi.run());
    const std::vector<std::string> expected = {
        "| /dev/sg0     | SCAN     | Flatbed          | 0.1      | Scanner          |    1 "
        "|       0 |      3 |   0 |                  |              |",
        "| /dev/sg1     | ACME     | ACMEDISK 1000    | 1.07     | Disk             |    1 "
        "|       0 |      4 |   0 |                  | 1.0GB        |",
        "| /dev/sg2     | AB C     |                  | x        | Unknown (20)     |    1 "
        "|       0 |      5 |   0 | 0123456789ABCD   | 1.0GB        |",
        "| /dev/sg3     | ACME     | ACMEDISK 1000    | 1.07     | Disk             |    1 "
        "|       0 |      6 |   0 |                  |              |",
        "| /dev/sg4     | ACME     | ACMEDISK 1000    | 1.07     | Disk             |    1 "
        "|       0 |      7 |   0 | DSK0001234       | 1.0KB        |",
        "| /dev/sg5     | ACME     | ACMEDISK 1000    | 1.07     | Disk             |    1 "
        "|       0 |      8 |   0 | DSK0001234       | 32.0TB       |",
    };
    EXPECT_EQ(rows(), expected);
    EXPECT_NE(debug().find("found sid (nil)\n"), std::string::npos);
}

TEST_F(ScsiProbeTest, OldDriverTakesTheAddressFromBusNumberAndIdLun) {
    fake_node& node = disk(0, {3, 1, 4, 2, 0});
    node.old_driver = true;
    node.bus_number = 5;
    ASSERT_TRUE(scsi.run());
    EXPECT_EQ(rows(), std::vector<std::string>{
                          "| /dev/sg0     | ACME     | ACMEDISK 1000    | 1.07     | Disk       "
                          "      |    5 |       1 |      4 |   2 | DSK0001234       | 1.0GB        |"});
    for (unsigned long skipped : {SG_GET_VERSION_NUM, SG_GET_SCSI_ID})
        EXPECT_EQ(std::count(devices.ioctls.begin(), devices.ioctls.end(), skipped), 0);
    EXPECT_NE(debug().find("SG_GET_RESERVED_SIZE ioctl failed: Inappropriate ioctl for device\n"
                           "Running on old driver\n"),
              std::string::npos);
}

TEST_F(ScsiProbeTest, FailedIdentificationSkipsOnlyThatDevice) {
    struct Case {
        unsigned long request;
        const char* message;
    };
    const Case cases[] = {
        {SG_GET_VERSION_NUM, "SG_GET_VERSION_NUM ioctl failed: Input/output error\n"},
        {SG_EMULATED_HOST, "SG_EMULATED_HOST ioctl failed: Input/output error"},
        {SG_GET_SCSI_ID, "SG_GET_SCSI_ID ioctl failed: Input/output error\n"},
        {SCSI_IOCTL_GET_IDLUN, "SCSI_IOCTL_GET_IDLUN failed: Input/output error\n"},
        {SCSI_IOCTL_GET_BUS_NUMBER, "SCSI_IOCTL_GET_BUS_NUMBER failed: Input/output error\n"},
    };
    for (const Case& c : cases) {
        fake_scsi_devices fresh;
        captured_stream out, log;
        run_context.report = out.get();
        debug_log = log.get();
        fake_node& failing = fresh.generic("/dev/sg0", {0, 0, 0, 0, 0}, inquiry_data(0, "A", "B", "C"));
        failing.failing_ioctls.insert(c.request);
        fresh.generic("/dev/sg1", {0, 0, 1, 0, 0}, inquiry_data(0, "A", "B", "C"));
        EXPECT_TRUE(scsi.run());
        EXPECT_EQ(count_of(out.text(), "| /dev/sg"), 1) << c.message;
        EXPECT_EQ(count_of(out.text(), "| /dev/sg1 "), 1) << c.message;
        EXPECT_NE(log.text().find(c.message), std::string::npos) << c.message;
        EXPECT_EQ(fresh.open_count(), 0u);
    }
}

TEST_F(ScsiProbeTest, AdapterNameThatIsMissingOrFillsTheBuffer) {
    disk(0, {2, 0, 0, 0, 0}).adapter_name.reset();
    disk(1, {3, 0, 0, 0, 0}, "").adapter_name = std::string(300, 'N');
    ASSERT_TRUE(scsi.run());
    EXPECT_EQ(titles(), (std::vector<std::string>{"SCSI Host 2", std::string(255, 'N')}));
    EXPECT_NE(debug().find("SCSI_IOCTL_PROBE_HOST failed: Invalid argument\n"), std::string::npos);
}

TEST_F(ScsiProbeTest, ShortOrFailedInquiryIsNotReported) {
    disk(0, {0, 0, 0, 0, 0}).short_read = 40;
    disk(1, {0, 0, 1, 0, 0}).replies[block_key(inquiry_block)] = fake_reply::sense(0x05);
    EXPECT_TRUE(scsi.test());
    EXPECT_FALSE(scsi.run());
    EXPECT_EQ(report(), "");
}

TEST_F(ScsiProbeTest, LetteredNodesAreUsedWhenNumberedOnesReportNothing) {
    EXPECT_FALSE(scsi.test());
    disk(0, {0, 0, 0, 0, 0}).failing_ioctls.insert(SCSI_IOCTL_GET_IDLUN);
    devices.nodes["/dev/sgb"] = devices.nodes["/dev/sg0"];
    devices.nodes["/dev/sgb"].failing_ioctls.clear();
    EXPECT_TRUE(scsi.run());
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].rfind("| /dev/sgb ", 0), 0u);

    // Only lettered nodes: the probe is still available.
    devices.nodes.erase("/dev/sg0");
    EXPECT_TRUE(scsi.test());
}

TEST_F(ScsiProbeTest, NodeListIsRebuiltOnEachRun) {
    disk(0, {0, 0, 0, 0, 0});
    devices.ordinary("/dev/sdb", {0, 0, 0, 0, 0});
    ASSERT_TRUE(scsi.run());
    devices.nodes.erase("/dev/sdb");
    devices.ordinary("/dev/sdc", {0, 0, 0, 0, 0});
    ASSERT_TRUE(scsi.run());
    ASSERT_NE(scsi.sid_list(), nullptr);
    EXPECT_STREQ(scsi.sid_list()->name, "/dev/sdc");
    EXPECT_EQ(scsi.sid_list()->next, nullptr);
    EXPECT_EQ(count_of(report(), "| /dev/sdc "), 1);
}

}  // namespace

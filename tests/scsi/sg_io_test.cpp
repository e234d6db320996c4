#include <gtest/gtest.h>

#include <fcntl.h>

#include <string>
#include <vector>

#include "fake_scsi_devices.h"
#include "probes/probe_fixture.h"
#include "scsi/scsi_probe.h"
#include "scsi/sg_io.h"

namespace {

using SgIoTest = ProbeTest;

// A reply header with the given status word and sense byte 2.
std::vector<unsigned char> header(int target, int host, int driver, unsigned char sense_byte) {
    std::vector<unsigned char> bytes(sg_header_size, 0);
    uint32_t word = static_cast<uint32_t>(target) << 1 | static_cast<uint32_t>(host) << 6 |
                    static_cast<uint32_t>(driver) << 14 | 0x3ffu << 22;
    for (int i = 0; i < 4; ++i) bytes[sg_status_offset + i] = static_cast<unsigned char>(word >> (8 * i));
    bytes[sg_sense_offset + 2] = sense_byte;
    return bytes;
}

TEST(SgResultOk, OnlyCleanOrRecoveredRepliesAreGood) {
    struct Case {
        const char* what;
        int target, host, driver;
        unsigned char sense;
        int expected;
    };
    const Case cases[] = {
        {"clean", 0, 0, 0, 0x05, 0},
        {"check condition, recovered", 0x01, 0, 0, 0x01, 0},
        {"check condition, recovered with ILI", 0x01, 0, 0, 0x21, -1},
        {"check condition, not ready", 0x01, 0, 0x08, 0x02, -1},
        {"command terminated, recovered", 0x11, 0, 0, 0x01, 0},
        {"driver sense, recovered", 0, 0, 0x08, 0x01, 0},
        {"busy", 0x04, 0, 0, 0x01, -1},
        {"host error with recovered sense", 0, 0x07, 0, 0x01, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sg_result_ok(header(c.target, c.host, c.driver, c.sense).data()), c.expected)
            << c.what;
    sg_reply_status status = decode_reply_status(header(0x11, 0x07, 0x08, 0).data());
    EXPECT_EQ(status.target_status, 0x11);
    EXPECT_EQ(status.host_status, 0x07);
    EXPECT_EQ(status.driver_status, 0x08);
    EXPECT_EQ(status.other_flags, 0x3ff);
}

TEST_F(SgIoTest, CommandPacketAndReply) {
    fake_scsi_devices devices;
    devices.generic("/dev/sg0", {}, inquiry_data(0, "ACME", "ACMEDISK 1000", "1.07"));
    int fd = open_device("/dev/sg0", O_RDWR);
    ASSERT_GE(fd, 0);

    unsigned char data[255];
    std::memset(data, 0xaa, sizeof data);
    ASSERT_EQ(sg_command(fd, inquiry_block.data(), inquiry_block.size(), data, sizeof data), 0);
    // Header all zero but reply_len = 36 + 255, then the six-byte block.
    std::vector<unsigned char> packet(sg_header_size + inquiry_block.size(), 0);
    packet[4] = 0x23;
    packet[5] = 0x01;
    for (size_t i = 0; i < inquiry_block.size(); ++i) packet[sg_header_size + i] = inquiry_block[i];
    EXPECT_EQ(devices.written, packet);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 8), "ACME    ");
    EXPECT_EQ(data[200], 0);  // past what the device sent: the zeros of the reply
    EXPECT_NE(debug().find("write, rc = 42\nread, rc = 291\nSCSI command:\n\tpack_len: 0\n"
                           "\treply_len: 291\n\tpack_id: 0\n\tresult: 0\n\ttarget_status: 0\n"
                           "\thost_status: 0\n\tdriver_status: 0\n\tother: 0\n"
                           "--- BEGIN HEX DUMP ---\n0000: 00 00 05 02-5b 00 00 00-41 43 4d 45"),
              std::string::npos)
        << debug();

    // A failed command leaves the caller's buffer alone.
    std::memset(data, 0xaa, sizeof data);
    EXPECT_EQ(sg_command(fd, capacity_10_block.data(), capacity_10_block.size(), data, 8), -1);
    EXPECT_EQ(data[0], 0xaa);
    EXPECT_NE(debug().find("\ttarget_status: 1\n\thost_status: 0\n\tdriver_status: 8\n"),
              std::string::npos);
    devices.close(fd);
}

TEST_F(SgIoTest, ShortReadAndFailedWriteAreFailures) {
    fake_scsi_devices devices;
    devices.generic("/dev/sg0", {}, inquiry_data(0, "A", "B", "C")).short_read = 10;
    int fd = open_device("/dev/sg0", O_RDWR);
    unsigned char data[255] = {};
    EXPECT_EQ(sg_command(fd, inquiry_block.data(), inquiry_block.size(), data, sizeof data), -1);
    EXPECT_NE(debug().find("read, rc = 10\nshort read (10 of 291 bytes)\n"), std::string::npos);
    EXPECT_EQ(debug().find("HEX DUMP"), std::string::npos);
    EXPECT_EQ(sg_command(999, inquiry_block.data(), inquiry_block.size(), data, sizeof data), -1);
    EXPECT_NE(debug().find("write, rc = -1\nwrite failed: Bad file descriptor\n"), std::string::npos);
    devices.close(fd);
}

TEST_F(SgIoTest, OpenDeviceClearsNonBlockingAndReportsOnlyUnexpectedErrors) {
    fake_scsi_devices devices;
    devices.generic("/dev/sg0", {}, {});
    devices.generic("/dev/sg1", {}, {}).open_errno = EACCES;
    devices.generic("/dev/sg2", {}, {}).open_errno = ENXIO;
    devices.generic("/dev/sg3", {}, {}).open_errno = ENODEV;

    int fd = open_device("/dev/sg0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(devices.fcntl(fd, F_GETFL, 0), O_RDWR);
    devices.close(fd);
    for (const char* silent : {"/dev/sg2", "/dev/sg3", "/dev/sg9"}) EXPECT_EQ(open_device(silent, O_RDONLY), -1);
    EXPECT_EQ(debug(), "");
    EXPECT_EQ(open_device("/dev/sg1", O_RDONLY), -1);
    EXPECT_EQ(debug(), "/dev/sg1: Permission denied\n");
}

TEST(DeviceNodeName, DigitsAndLetters) {
    struct Case {
        const char* prefix;
        int index;
        bool letters;
        const char* expected;
    };
    const Case cases[] = {
        {"/dev/sg", 0, true, "/dev/sga"},     {"/dev/sg", 25, true, "/dev/sgz"},
        {"/dev/sg", 26, true, "/dev/sgaa"},   {"/dev/sg", 701, true, "/dev/sgzz"},
        {"/dev/sg", 702, true, "/dev/sgNA"},  {"/dev/sd", 127, true, "/dev/sddx"},
        {"/dev/sg", 12, false, "/dev/sg12"},  {"/dev/nosst", 31, false, "/dev/nosst31"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(device_node_name(c.prefix, c.index, c.letters), c.expected) << c.index;
    std::string long_prefix(100, 'p');
    EXPECT_EQ(device_node_name(long_prefix.c_str(), 1, false), long_prefix.substr(0, 63));
}

TEST(FormatCapacity, DecimalUnitsWithOneTruncatedFigure) {
    struct Case {
        uint64_t bytes;
        const char* expected;
    };
    const Case cases[] = {
        {0, "0 bytes"},
        {999, "999 bytes"},
        {1000, "1.0KB"},
        {999999, "999.9KB"},
        {1073741824, "1.0GB"},
        {36420075008ULL, "36.4GB"},
        {999999999999ULL, "999.9GB"},
        {1000000000000ULL, "1.0TB"},
        {1000000000000000000ULL, "1000000.0TB"},  // the longest that fits 11 characters
    };
    for (const Case& c : cases) EXPECT_EQ(format_capacity(c.bytes), c.expected) << c.bytes;
}

}  // namespace

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

#include "pci/pci_config.h"
#include "pci/physical_memory.h"
#include "smbios/memory_fixture.h"

namespace {

class PhysicalMemory : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("mem");
        set_physical_memory_path(path.c_str());
    }
    void TearDown() override { set_physical_memory_path(nullptr); }
    temp_dir dir;
    std::string path;
};

TEST_F(PhysicalMemory, CopiesTheRangeAtTheAddress) {
    write_memory(path, {{0xC0000, {1, 2, 3, 4, 5}}});
    uint8_t* copy = read_physical(0xC0001, 3);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(2, copy[0]);
    EXPECT_EQ(4, copy[2]);
    std::free(copy);
}

TEST_F(PhysicalMemory, ShortReadLeavesTheRestZeroed) {
    write_memory(path, {{0x1000, {7, 8}}});
    uint8_t* copy = read_physical(0x1001, 64);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(8, copy[0]);
    for (int i = 1; i < 64; ++i) ASSERT_EQ(0, copy[i]) << i;
    std::free(copy);
}

TEST_F(PhysicalMemory, FailuresGiveNothing) {
    write_memory(path, {{0x1000, {7, 8}}});
    EXPECT_EQ(nullptr, read_physical(0x1000, 0));
    EXPECT_EQ(nullptr, read_physical(0x1000, -4));
    EXPECT_EQ(nullptr, read_physical(0x1002, 16));  // nothing at or after the address
    set_physical_memory_path(dir.file("absent").c_str());
    EXPECT_EQ(nullptr, read_physical(0x1000, 2));
    // A device whose read() fails and that cannot be mapped either.
    set_physical_memory_path(dir.path().c_str());
    EXPECT_EQ(nullptr, read_physical(0, 16));
}

// A directory standing for /proc/bus/pci with configuration files.
class PciConfig : public ::testing::Test {
protected:
    void SetUp() override { set_pci_config_directory((dir.path() + "/").c_str()); }
    void TearDown() override { set_pci_config_directory(nullptr); }

    // Writes the function's file: a 64-byte header with the given vendor and
    // header type, or size bytes of it.
    void add_function(unsigned bus, unsigned device, unsigned function, uint8_t header_type, size_t size = 64) {
        char name[32];
        std::snprintf(name, sizeof name, "%02x", bus);
        mkdir(dir.file(name).c_str(), 0755);
        std::snprintf(name, sizeof name, "%02x/%02x.%x", bus, device, function);
        bytes header(64, 0);
        put_u16(header, 0, 0x8086);
        put_u16(header, 2, static_cast<uint16_t>(device << 8 | function));
        header[0x0E] = header_type;
        header[0x3C] = 11;
        header.resize(size);
        write_file(dir.file(name), std::string(header.begin(), header.end()));
    }

    temp_dir dir;
};

TEST_F(PciConfig, PathFormat) {
    char path[256];
    set_pci_config_directory(nullptr);
    pci_config_path(0, 0x1F, 3, path, sizeof path);
    EXPECT_STREQ("/proc/bus/pci/00/1f.3", path);
    pci_config_path(0xAB, 2, 7, path, sizeof path);
    EXPECT_STREQ("/proc/bus/pci/ab/02.7", path);
}

TEST_F(PciConfig, ReadsHeaderAndRegisters) {
    add_function(0, 0x1F, 3, 0x00);
    uint8_t header[64];
    ASSERT_TRUE(pci_read_header(0, 0x1F, 3, header));
    EXPECT_EQ(0x86, header[0]);
    EXPECT_EQ(0x1F, header[3]);
    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t d = 0;
    EXPECT_TRUE(pci_config_read8(0, 0x1F, 3, 0x3C, &b));
    EXPECT_EQ(11, b);
    EXPECT_TRUE(pci_config_read16(0, 0x1F, 3, 0, &w));
    EXPECT_EQ(0x8086, w);
    EXPECT_TRUE(pci_config_read32(0, 0x1F, 3, 0, &d));
    EXPECT_EQ(0x1F038086u, d);
    EXPECT_FALSE(pci_write_mode);
}

TEST_F(PciConfig, ReadsPastTheFileOrOfMissingFunctionsFail) {
    add_function(0, 1, 0, 0x00);
    uint8_t b;
    uint16_t w;
    uint32_t d;
    EXPECT_FALSE(pci_config_read8(0, 1, 0, 0x40, &b));
    EXPECT_FALSE(pci_config_read16(0, 1, 0, 0x3F, &w));  // one byte left
    EXPECT_FALSE(pci_config_read32(0, 1, 0, 0x44, &d));
    EXPECT_FALSE(pci_config_read8(0, 2, 0, 0, &b));
    add_function(0, 3, 0, 0x00, 63);
    uint8_t header[64];
    EXPECT_FALSE(pci_read_header(0, 3, 0, header));
}

TEST_F(PciConfig, WriteChangesOnlyItsTwoBytes) {
    add_function(0, 4, 0, 0x00);
    std::string before = read_file(dir.file("00/04.0"));
    ASSERT_TRUE(pci_config_write16(0, 4, 0, 0x04, 0x0147));
    EXPECT_TRUE(pci_write_mode);
    std::string after = read_file(dir.file("00/04.0"));
    ASSERT_EQ(64u, after.size());
    before[4] = 0x47;
    before[5] = 0x01;
    EXPECT_EQ(before, after);
    uint16_t w = 0;
    EXPECT_TRUE(pci_config_read16(0, 4, 0, 0x04, &w));
    EXPECT_EQ(0x0147, w);
    EXPECT_FALSE(pci_config_write16(0, 5, 0, 0x04, 1));  // no such function
}

TEST_F(PciConfig, ScanFollowsFunctionAndBusRules) {
    add_function(0, 0, 0, 0x80);  // multi-function with a gap at 2: 3 is still there
    add_function(0, 0, 1, 0x00);
    add_function(0, 0, 3, 0x00);
    add_function(0, 2, 0, 0x00);  // single-function: other files ignored
    add_function(0, 2, 1, 0x00);
    add_function(0, 3, 1, 0x00);  // no function 0: never visited
    add_function(0, 4, 0, 0x81, 40);  // short header: absent
    add_function(15, 31, 0, 0x01);
    add_function(16, 0, 0, 0x00);  // every bus is walked, not only 0-15
    std::set<std::tuple<unsigned, unsigned, unsigned>> seen;
    unsigned header_type_sum = 0;
    pci_scan([&](uint8_t bus, uint8_t device, uint8_t function, const uint8_t header[64]) {
        seen.insert({bus, device, function});
        header_type_sum += header[0x0E];
    });
    std::set<std::tuple<unsigned, unsigned, unsigned>> expected = {
        {0, 0, 0}, {0, 0, 1}, {0, 0, 3}, {0, 2, 0}, {15, 31, 0}, {16, 0, 0}};
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(0x80u + 0x01u, header_type_sum);
}

TEST_F(PhysicalMemory, RomHeaderNeedsSignatureInOrder) {
    bytes rom(26, 0);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    rom[2] = 64;
    std::memcpy(&rom[6], "VENDOR AREA TEXT!!", 18);
    put_u16(rom, 24, 0x40);
    bytes pci_data(26, 0);
    std::memcpy(pci_data.data(), "PCIR", 4);
    put_u16(pci_data, 4, 0x1014);
    put_u16(pci_data, 6, 0x02A1);
    pci_data[21] = 0x80;
    bytes swapped = rom;
    std::swap(swapped[0], swapped[1]);
    write_memory(path, {{0xC0000, rom}, {0xC0040, pci_data}, {0xD0000, swapped}});

    rom_header header;
    rom_pci_data data;
    ASSERT_TRUE(read_rom_header(0xC0000, &header, &data));
    EXPECT_EQ(0xAA55, header.signature);
    EXPECT_EQ(64, header.image_size);
    EXPECT_EQ(0, std::memcmp(header.vendor_area, "VENDOR AREA TEXT!!", 18));
    EXPECT_EQ(0x1014, data.vendor_id);
    EXPECT_EQ(0x02A1, data.device_id);
    EXPECT_EQ(0x80, data.indicator);

    EXPECT_FALSE(read_rom_header(0xD0000, &header, &data));
    EXPECT_EQ(0, header.signature);
    EXPECT_FALSE(read_rom_header(0x7000000, &header, &data));
}

TEST_F(PhysicalMemory, RomDataStaysZeroWhenItsReadFails) {
    bytes rom(26, 0);
    rom[0] = 0x55;
    rom[1] = 0xAA;
    put_u16(rom, 24, 0x8000);  // PCI data past the end of memory
    write_memory(path, {{0x100, rom}});
    rom_header header;
    rom_pci_data data;
    std::memset(&data, 0xEE, sizeof data);
    ASSERT_TRUE(read_rom_header(0x100, &header, &data));
    EXPECT_EQ(0x8000, header.pci_data_offset);
    EXPECT_EQ(0, data.vendor_id);
    EXPECT_EQ(0, data.indicator);
}

}  // namespace

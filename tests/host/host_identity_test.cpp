#include "host/host_identity.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstring>

#include "pci/physical_memory.h"
#include "smbios/smbios_table.h"
#include "smbios/memory_fixture.h"

namespace {

// A firmware identity block: signature, build id, serial, planar id, model.
bytes vpd_block(const std::string& build, const std::string& serial, const std::string& model) {
    bytes block(47, 0);
    const uint8_t signature[5] = {0xAA, 0x55, 'V', 'P', 'D'};
    std::memcpy(block.data(), signature, 5);
    std::memcpy(&block[13], build.data(), std::min<size_t>(build.size(), 9));
    std::memcpy(&block[22], serial.data(), std::min<size_t>(serial.size(), 7));
    std::memcpy(&block[29], "PLANAR-UID!", 11);
    std::memcpy(&block[40], model.data(), std::min<size_t>(model.size(), 7));
    return block;
}

bytes window_with(const bytes& block, size_t at) {
    bytes window(65536, 0);
    size_t count = std::min(block.size(), window.size() - at);
    std::copy(block.begin(), block.begin() + static_cast<long>(count), window.begin() + static_cast<long>(at));
    return window;
}

TEST(BiosVpd, ReadsAWellFormedBlock) {
    bytes window = window_with(vpd_block("TGE110AUS", "KC12345", "867021X"), 0x3333);
    bios_vpd vpd;
    ASSERT_TRUE(parse_bios_vpd(vpd, window.data(), 65536));
    EXPECT_STREQ("Varnholt", vpd.vendor);
    EXPECT_STREQ("TGE110AUS", vpd.build_id);
    EXPECT_STREQ("KC12345", vpd.serial);
    EXPECT_STREQ("867021X", vpd.model);

    // The last place where the whole 47-byte block fits is still searched.
    bios_vpd last;
    bytes at_end = window_with(vpd_block("TGE110AUS", "KC12345", "867021X"), 65536 - 47);
    ASSERT_TRUE(parse_bios_vpd(last, at_end.data(), 65536));
    EXPECT_STREQ("KC12345", last.serial);
}

TEST(BiosVpd, RejectsMalformedOrMisplacedBlocks) {
    struct {
        const char* what;
        bytes window;
    } cases[] = {
        {"6-character serial", window_with(vpd_block("TGE110AUS", "KC1234", "867021X"), 0x100)},
        {"punctuation in model", window_with(vpd_block("TGE110AUS", "KC12345", "8670-1X"), 0x100)},
        {"punctuation in build id", window_with(vpd_block("TGE1.0", "KC12345", "867021X"), 0x100)},
        {"signature near the window's end", window_with(vpd_block("TGE110AUS", "KC12345", "867021X"), 65536 - 46)},
        {"no signature", bytes(65536, 0)},
    };
    for (auto& c : cases) {
        bios_vpd vpd;
        EXPECT_FALSE(parse_bios_vpd(vpd, c.window.data(), 65536)) << c.what;
        EXPECT_TRUE(vpd.attempted);
    }
    // A short build id (ended by a zero byte) and blanks are accepted; the
    // signature is found right after a partial match.
    bytes window = window_with(vpd_block("TGE1", "KC 1234", "8670 1X"), 0x201);
    window[0x200] = 0xAA;
    bios_vpd vpd;
    EXPECT_TRUE(parse_bios_vpd(vpd, window.data(), 65536));
    // Read at most once.
    bytes good = window_with(vpd_block("TGE110AUS", "KC12345", "867021X"), 0);
    EXPECT_TRUE(parse_bios_vpd(vpd, bytes(65536, 0).data(), 65536));
    bios_vpd failed;
    EXPECT_FALSE(parse_bios_vpd(failed, bytes(65536, 0).data(), 65536));
    EXPECT_FALSE(parse_bios_vpd(failed, good.data(), 65536));
}

class Distribution : public ::testing::Test {
protected:
    void SetUp() override { set_etc_root(dir.path().c_str()); }
    void TearDown() override { set_etc_root(nullptr); }
    void identify() { identify_distribution(vendor, name, line); }
    temp_dir dir;
    char vendor[256], name[256], line[256];
};

TEST_F(Distribution, ReleaseFilesInOrder) {
    identify();
    EXPECT_STREQ("Unknown", vendor);
    EXPECT_STREQ("generic", name);
    EXPECT_STREQ("Unknown", line);

    write_file(dir.file("redhat-release"), "");
    identify();
    EXPECT_STREQ("Red Hat, Inc.", vendor);
    EXPECT_STREQ("Red Hat", name);
    EXPECT_STREQ("Unknown", line);

    write_file(dir.file("debian_version"), "\n12.5\nsecond\n");
    identify();
    EXPECT_STREQ("Debian", vendor);
    EXPECT_STREQ("Debian", name);
    EXPECT_STREQ("12.5", line);
}

TEST_F(Distribution, IssueWords) {
    struct {
        const char* issue;
        const char* vendor;
        const char* name;
        const char* line;
    } cases[] = {
        {"\n\nMandrake Linux release 9.0\n", "MandrakeSoft, S.A.", "Mandrake", "Mandrake Linux release 9.0"},
        {"Caldera OpenLinux\n", "Caldera Systems, Inc.", "Caldera", "Caldera OpenLinux"},
        {"caldera OpenLinux\n", "Unknown", "generic", "Unknown"},
        {"Slackware 8.1\r\n", "Slackware Linux, Inc.", "Slackware", "Slackware 8.1\r"},
        {"Welcome to Linux\n", "Unknown", "generic", "Unknown"},
        {"\n\n", "Unknown", "generic", "Unknown"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("issue"), c.issue);
        identify();
        EXPECT_STREQ(c.vendor, vendor) << c.issue;
        EXPECT_STREQ(c.name, name) << c.issue;
        EXPECT_STREQ(c.line, line) << c.issue;
    }
}

TEST_F(Distribution, FirstLineIsCutAt255Characters) {
    char buffer[256];
    write_file(dir.file("long"), std::string(300, 'x') + "\nnext\n");
    ASSERT_TRUE(read_first_line(dir.file("long").c_str(), buffer));
    EXPECT_EQ(std::string(255, 'x'), buffer);
    write_file(dir.file("last"), "\n  no newline at end");
    ASSERT_TRUE(read_first_line(dir.file("last").c_str(), buffer));
    EXPECT_STREQ("  no newline at end", buffer);
    EXPECT_FALSE(read_first_line(dir.file("absent").c_str(), buffer));
}

class IdentifyHost : public ::testing::Test {
protected:
    void SetUp() override {
        set_etc_root(dir.path().c_str());
        set_physical_memory_path(dir.file("mem").c_str());
        set_dmi_export_directory(dir.file("tables").c_str());
    }
    void TearDown() override {
        set_etc_root(nullptr);
        set_physical_memory_path(nullptr);
        set_dmi_export_directory(nullptr);
    }
    temp_dir dir;
};

TEST_F(IdentifyHost, FirmwareBlockFirst) {
    bytes smbios = window_with_table(joined({system_information("Other", "Other", "Other"), end_of_table()}));
    bytes block = vpd_block("TGE110AUS", " KC1234", "8670 1X");
    std::copy(block.begin(), block.end(), smbios.begin() + 0x8000);
    write_memory(dir.file("mem"), {{0xF0000, smbios}});
    host_identity id;
    identify_host(id);
    EXPECT_EQ("Varnholt", id.system_vendor);
    EXPECT_EQ(" KC1234", id.system_serial);  // not trimmed
    EXPECT_EQ("8670 1X", id.system_model);
    release_host_identity(id);
    EXPECT_TRUE(id.system_vendor.empty());
}

TEST_F(IdentifyHost, SmbiosTextsTrimmedWhenBlockInvalid) {
    bytes window = window_with_table(joined({system_information("  ACME Corp  ", "\t8670 ", "   "), end_of_table()}));
    bytes block = vpd_block("TGE110AUS", "KC1234", "8670 1X");  // 6-character serial
    std::copy(block.begin(), block.end(), window.begin() + 0x8000);
    write_memory(dir.file("mem"), {{0xF0000, window}});
    host_identity id;
    identify_host(id);
    EXPECT_EQ("ACME Corp", id.system_vendor);
    EXPECT_EQ("8670", id.system_model);
    EXPECT_EQ(" ", id.system_serial);  // all blank keeps one blank
}

TEST_F(IdentifyHost, KernelCopyServesMachinesWithoutWindowAnchor) {
    // UEFI firmware, or no memory device at all: the kernel's copy names the machine.
    write_export(dir.file("tables"), smbios3_entry_point(0x7F000000, 0x1000),
                 joined({system_information(" ACME Systems", "Model 8670-[8670ABC]-", "SN12345 "), end_of_table()}));
    host_identity id;
    identify_host(id);
    EXPECT_EQ("ACME Systems", id.system_vendor);
    EXPECT_EQ("8670ABC", id.system_model);
    EXPECT_EQ("SN12345", id.system_serial);
}

TEST_F(IdentifyHost, DefaultsAndOperatingSystem) {
    write_file(dir.file("debian_version"), "12.5\n");
    host_identity id;
    identify_host(id);
    EXPECT_EQ("Unknown", id.system_vendor);
    EXPECT_EQ("Unknown", id.system_model);
    EXPECT_EQ("Unknown", id.system_serial);
    struct utsname names;
    ASSERT_EQ(0, uname(&names));
    EXPECT_STREQ(names.nodename, id.computer_name);
    EXPECT_EQ(names.sysname, id.os_name);
    EXPECT_EQ(names.version, id.os_release);
    EXPECT_EQ(std::string(names.release) + " (" + names.machine + ")", id.os_version);
    EXPECT_STREQ("Debian", id.os_vendor);
    EXPECT_STREQ("Linux (Debian)", id.os_type);
    EXPECT_EQ("12.5", id.os_issue);

    write_file(dir.file("issue"), "Other\n");
    std::remove(dir.file("debian_version").c_str());
    host_identity generic;
    identify_host(generic);
    EXPECT_STREQ("Linux (generic)", generic.os_type);
    EXPECT_STREQ("Unknown", generic.os_vendor);
    EXPECT_EQ("Unknown", generic.os_issue);
}

}  // namespace

namespace {

// BIOS Information (type 0) with vendor 1 and the version and date numbers given.
bytes bios_information(uint8_t version, uint8_t date, const std::vector<std::string>& strings) {
    bytes formatted(14, 0);
    formatted[0] = 1;
    formatted[1] = version;
    formatted[4] = date;
    return smbios_structure(0, formatted, strings);
}

// The BIOS version comes from the identity block's build identifier, else
// from SMBIOS; the date always from SMBIOS.
TEST_F(IdentifyHost, BiosVersionAndDate) {
    struct bios_case {
        const char* what;
        const char* build;  // null: no identity block
        std::vector<bytes> structures;
        const char* version;
        const char* date;
    };
    const bios_case cases[] = {
        {"SMBIOS only", nullptr, {bios_information(2, 3, {"Dell Inc.", "AC8670.1.04", "03/15/2024"})},
         "AC8670.1.04", "03/15/2024"},
        {"block's build identifier first", "TGE110AUS",
         {bios_information(2, 3, {"Dell Inc.", "AC8670.1.04", "03/15/2024"})}, "TGE110AUS", "03/15/2024"},
        {"block without SMBIOS BIOS", "TGE110AUS", {}, "TGE110AUS", "Unknown"},
        {"no BIOS structure", nullptr, {}, "Unknown", "Unknown"},
        {"unset string numbers", nullptr, {bios_information(0, 0, {"Dell Inc."})}, "Unknown", "Unknown"},
        {"blank-padded texts", nullptr, {bios_information(2, 3, {"x", " 1.2.3 ", "01/01/2020 "})}, "1.2.3",
         "01/01/2020"},
    };
    for (const bios_case& c : cases) {
        std::vector<bytes> parts = c.structures;
        parts.push_back(system_information("ACME", "8670", "S1"));
        parts.push_back(end_of_table());
        bytes window = window_with_table(joined(parts));
        if (c.build) {
            bytes block = vpd_block(c.build, "KC12345", "8670 1X");
            std::copy(block.begin(), block.end(), window.begin() + 0x8000);
        }
        write_memory(dir.file("mem"), {{0xF0000, window}});
        host_identity id;
        identify_host(id);
        EXPECT_EQ(c.version, id.bios_version) << c.what;
        EXPECT_EQ(c.date, id.bios_date) << c.what;
        EXPECT_EQ(c.build ? "8670 1X" : "8670", id.system_model) << c.what;
        release_host_identity(id);
    }
}

}  // namespace

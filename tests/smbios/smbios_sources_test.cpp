// Where the table comes from: the legacy window anchor, the kernel's copy
// (2.x and 3.x entry points) and a 64-bit entry point in the window.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "base/run_context.h"
#include "pci/physical_memory.h"
#include "smbios/memory_fixture.h"
#include "smbios/smbios_table.h"

namespace {

class SmbiosSources : public ::testing::Test {
protected:
    void SetUp() override {
        saved_log_ = debug_log;
        debug_log = log_.get();
        set_dmi_export_directory(export_dir().c_str());
        set_physical_memory_path(dir.file("mem").c_str());
    }
    void TearDown() override {
        debug_log = saved_log_;
        set_dmi_export_directory(nullptr);
        set_physical_memory_path(nullptr);
    }

    std::string export_dir() const { return dir.file("tables"); }
    std::string log() { return log_.text(); }

    // A fresh table loaded through the memory file with the given pieces.
    std::unique_ptr<smbios_table> load(const std::vector<std::pair<uint64_t, bytes>>& pieces) {
        write_memory(dir.file("mem"), pieces);
        auto t = std::make_unique<smbios_table>();
        t->load();
        return t;
    }

    temp_dir dir;

private:
    captured_stream log_;
    FILE* saved_log_ = nullptr;
};

const bytes rich_table = joined({
    smbios_structure(0, {1, 2, 0, 0xE8, 3, 0}, {"ACME BIOS", "1.04", "03/15/2023"}),
    system_information("ACME Systems", "Model 8670-[8670ABC]-", "SN12345"),
    smbios_structure(3, {1, 0x17, 0, 2, 0}, {"ACME", "CH12345"}),
    smbios_structure(4, {1, 3, 2, 0, 0, 0, 0}, {"CPU 0", "ACME"}),
    smbios_structure(4, {1, 3, 2, 0, 0, 0, 0}, {"CPU 1", "ACME"}),
    smbios_structure(200, {9}),
    end_of_table(),
});

// Everything the decoders and the identity lookups see of a table.
void expect_same_view(smbios_table& a, smbios_table& b) {
    ASSERT_TRUE(a.is_valid());
    ASSERT_TRUE(b.is_valid());
    EXPECT_STREQ(a.system_vendor(), b.system_vendor());
    EXPECT_EQ(std::string(a.system_model()), b.system_model());
    EXPECT_STREQ(a.system_serial(), b.system_serial());
    for (unsigned type = 0; type <= 40; ++type) {
        ASSERT_EQ(a.structure_count(type), b.structure_count(type)) << type;
        for (unsigned i = 0; i < a.structure_count(type); ++i) {
            const uint8_t* sa = a.structure_at(type, i);
            const uint8_t* sb = b.structure_at(type, i);
            ASSERT_EQ(0, std::memcmp(sa, sb, sa[1])) << type << "/" << i;
            for (uint8_t n = 0; n < 4; ++n) EXPECT_STREQ(a.string_at(n, sa), b.string_at(n, sb));
        }
    }
}

TEST_F(SmbiosSources, KernelCopyGivesTheSameTableAsTheLegacyAnchor) {
    auto legacy = load({{0xF0000, window_with_table(rich_table)}});
    EXPECT_STREQ("legacy", legacy->source());

    // 3.x entry point; the kernel's table file is exactly the table.
    write_export(export_dir(), smbios3_entry_point(0x7FFFF000, 0x4000), rich_table);
    auto kernel3 = load({{0xF0000, bytes(65536, 0)}});
    EXPECT_STREQ("kernel", kernel3->source());
    expect_same_view(*legacy, *kernel3);
    EXPECT_EQ(0x34, kernel3->revision());
    EXPECT_STREQ("8670ABC", kernel3->system_model());
    EXPECT_NE(std::string::npos, log().find("SMBIOS table from " + export_dir() +
                                            ": _SM3_ entry point, version 3.4, " +
                                            std::to_string(rich_table.size()) + " bytes\n"))
        << log();

    // 2.x entry point: its "_DMI_" part is the legacy entry point.
    bytes entry2 = smbios2_entry_point(0x7FFFF000, static_cast<uint16_t>(rich_table.size()), 2, 8);
    write_export(export_dir(), entry2, rich_table);
    auto kernel2 = load({});
    expect_same_view(*legacy, *kernel2);
    EXPECT_EQ(0x28, kernel2->revision());
    EXPECT_EQ(0, std::memcmp(kernel2->entry_point(), entry2.data() + 0x10, 15));
}

TEST_F(SmbiosSources, LegacyAnchorWinsOverTheOtherSources) {
    bytes window = window_with_table(joined({system_information("Legacy", "L", "1"), end_of_table()}));
    bytes sm3_table = joined({system_information("Window3", "W", "2"), end_of_table()});
    bytes e = smbios3_entry_point(0xF8000, static_cast<uint32_t>(sm3_table.size()));
    std::copy(e.begin(), e.end(), window.begin() + 0x40);
    std::copy(sm3_table.begin(), sm3_table.end(), window.begin() + 0x8000);
    write_export(export_dir(), smbios3_entry_point(0, 0x4000),
                 joined({system_information("Kernel", "K", "3"), end_of_table()}));

    EXPECT_STREQ("Legacy", load({{0xF0000, window}})->system_vendor());

    // Without the legacy anchor the kernel's copy comes next, then the window's "_SM3_".
    std::memset(window.data() + 0x100, 0, 15);
    EXPECT_STREQ("Kernel", load({{0xF0000, window}})->system_vendor());
    std::filesystem::remove_all(export_dir());
    auto t = load({{0xF0000, window}});
    EXPECT_STREQ("Window3", t->system_vendor());
    EXPECT_STREQ("smbios3", t->source());
}

TEST_F(SmbiosSources, UnusableKernelCopyFallsBackToTheWindow) {
    bytes window(65536, 0);
    bytes e = smbios3_entry_point(0xF8000, static_cast<uint32_t>(rich_table.size()));
    std::copy(e.begin(), e.end(), window.begin() + 0x10);
    std::copy(rich_table.begin(), rich_table.end(), window.begin() + 0x8000);
    const bytes kernel_table = joined({system_information("Kernel", "K", "3"), end_of_table()});
    struct {
        const char* why;
        bytes entry;
        bool table_file;
    } cases[] = {
        {"bad 3.x checksum", smbios3_entry_point(0, 0x4000, 3, 4, true), true},
        {"unknown anchor", bytes(24, 'x'), true},
        {"short entry point", bytes(e.begin(), e.begin() + 20), true},
        {"no table file", smbios3_entry_point(0, 0x4000), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::filesystem::remove_all(export_dir());
        write_export(export_dir(), c.entry, kernel_table);
        if (!c.table_file) std::filesystem::remove(export_dir() + "/DMI");
        auto t = load({{0xF0000, window}});
        EXPECT_STREQ("ACME Systems", t->system_vendor());
        EXPECT_STREQ("smbios3", t->source());
    }
}

TEST_F(SmbiosSources, LegacyTableThatCannotBeReadLeavesTheKernelCopy) {
    bytes window(65536, 0);
    bytes e = dmi_entry_point(0x40000000, 100);
    std::copy(e.begin(), e.end(), window.begin());
    write_export(export_dir(), smbios3_entry_point(0, 0x4000), rich_table);
    auto t = load({{0xF0000, window}});
    EXPECT_STREQ("SN12345", t->system_serial());
    EXPECT_EQ(0x34, t->revision());
    const uint8_t zero[15] = {};
    EXPECT_EQ(0, std::memcmp(zero, t->entry_point(), 15));
}

TEST_F(SmbiosSources, WindowSmbios3EntryPoint) {
    // Unaligned, after one whose checksum is wrong; the table above 4 GiB.
    const uint64_t high = 0x100000010ull;
    bytes window(65536, 0);
    bytes bad = smbios3_entry_point(0xF9000, 100, 3, 4, true);
    bytes good = smbios3_entry_point(high, static_cast<uint32_t>(rich_table.size()), 3, 0);
    std::copy(bad.begin(), bad.end(), window.begin() + 0x20);
    std::copy(good.begin(), good.end(), window.begin() + 0x333);
    auto t = load({{0xF0000, window}, {high, rich_table}});
    ASSERT_TRUE(t->is_valid());
    EXPECT_EQ(2u, t->structure_count(4));
    EXPECT_EQ(0x30, t->revision());
    EXPECT_NE(std::string::npos, log().find("SMBIOS table from the _SM3_ entry point at 0xf0333: 0x100000010"));

    // Only a bad one: refused, nothing else to fall back on.
    bytes only_bad(65536, 0);
    std::copy(bad.begin(), bad.end(), only_bad.begin() + 0x20);
    auto refused = load({{0xF0000, only_bad}, {0xF9000, rich_table}});
    EXPECT_FALSE(refused->is_valid());
    EXPECT_STREQ("Unknown", refused->system_vendor());
    EXPECT_NE(std::string::npos, log().find("SMBIOS table not found\n"));
}

TEST_F(SmbiosSources, TableWithoutEndStructureStopsAtItsMaximumSize) {
    // Three processors, but the maximum size covers only the first two.
    bytes cpu = smbios_structure(4, {1, 3, 2, 0}, {"CPU"});
    bytes table = joined({cpu, cpu, cpu});
    uint32_t two = static_cast<uint32_t>(2 * cpu.size());

    write_export(export_dir(), smbios3_entry_point(0, two), table);
    EXPECT_EQ(2u, load({})->structure_count(4));

    std::filesystem::remove_all(export_dir());
    bytes window(65536, 0);
    bytes e = smbios3_entry_point(0x12345678, two);
    std::copy(e.begin(), e.end(), window.begin() + 0x800);
    EXPECT_EQ(2u, load({{0xF0000, window}, {0x12345678, table}})->structure_count(4));
}

}  // namespace

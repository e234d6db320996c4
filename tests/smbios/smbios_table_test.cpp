#include "smbios/smbios_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "pci/physical_memory.h"
#include "smbios/memory_fixture.h"

namespace {

// A test's memory file and a fresh table object; the seam is restored after.
class SmbiosTable : public ::testing::Test {
protected:
    void SetUp() override { set_dmi_export_directory(dir.file("no-export").c_str()); }
    void TearDown() override {
        set_physical_memory_path(nullptr);
        set_dmi_export_directory(nullptr);
    }

    // Loads through a memory file with the given pieces.
    smbios_table& load_memory(const std::vector<std::pair<uint64_t, bytes>>& pieces) {
        std::string path = dir.file("mem");
        write_memory(path, pieces);
        set_physical_memory_path(path.c_str());
        table->load();
        return *table;
    }

    smbios_table& load_window(const bytes& window) {
        set_physical_memory_path(dir.file("absent").c_str());
        table->load_from_window(window.data());
        return *table;
    }

    temp_dir dir;
    std::unique_ptr<smbios_table> table = std::make_unique<smbios_table>();
};

const bytes small_table = joined({system_information("ACME", "8670", "12345"), end_of_table()});

TEST_F(SmbiosTable, FindsUnalignedAnchorWithGoodChecksum) {
    bytes window(65536, 0);
    bytes e = dmi_entry_point(0xF2003, static_cast<uint16_t>(small_table.size()));
    std::copy(e.begin(), e.end(), window.begin() + 0x1235);
    std::copy(small_table.begin(), small_table.end(), window.begin() + 0x2003);
    smbios_table& t = load_memory({{0xF0000, window}});
    ASSERT_TRUE(t.is_valid());
    EXPECT_EQ(0, std::memcmp(t.entry_point(), e.data(), 15));
    EXPECT_STREQ("ACME", t.system_vendor());
}

TEST_F(SmbiosTable, SkipsAnchorWithBadChecksumForLaterGoodOne) {
    bytes window(65536, 0);
    bytes bad = dmi_entry_point(0xF9999, 40, 0x23, true);
    bytes good = dmi_entry_point(0xF3000, static_cast<uint16_t>(small_table.size()));
    std::copy(bad.begin(), bad.end(), window.begin() + 0x10);
    std::copy(good.begin(), good.end(), window.begin() + 0x201);
    std::copy(small_table.begin(), small_table.end(), window.begin() + 0x3000);
    smbios_table& t = load_window(window);
    ASSERT_TRUE(t.is_valid());
    EXPECT_STREQ("8670", t.system_model());
}

TEST_F(SmbiosTable, FailsWithoutGoodAnchor) {
    bytes window(65536, 0);
    bytes bad = dmi_entry_point(0xF3000, 40, 0x23, true);
    std::copy(bad.begin(), bad.end(), window.begin() + 0x10);
    // An anchor too close to the window's end to hold an entry point.
    std::memcpy(window.data() + 65536 - 6, "_DMI_", 5);
    smbios_table& t = load_window(window);
    EXPECT_FALSE(t.is_valid());
    EXPECT_EQ(0u, t.structure_count(1));
    EXPECT_EQ(nullptr, t.structure_at(1, 0));
    EXPECT_EQ(0, t.revision());
    EXPECT_STREQ("Unknown", t.system_vendor());
    EXPECT_STREQ("Unknown", t.system_model());
    EXPECT_STREQ("Unknown", t.system_serial());
}

TEST_F(SmbiosTable, FailsWithoutMemoryDeviceAndLoadsOnlyOnce) {
    set_physical_memory_path(dir.file("absent").c_str());
    EXPECT_FALSE(table->load());
    bytes window = window_with_table(small_table);
    write_memory(dir.file("absent"), {{0xF0000, window}});
    EXPECT_FALSE(table->load());
    EXPECT_EQ(0u, table->structure_count(1));
}

TEST_F(SmbiosTable, ReadsTablesAtWindowEdgesAndOutsideSeparately) {
    for (uint32_t address : {0xF0000u, 0xFFFFFu, 0xE0000u, 0x7FFF0000u}) {
        SCOPED_TRACE(address);
        table = std::make_unique<smbios_table>();
        bytes window(65536, 0);
        bytes e = dmi_entry_point(address, static_cast<uint16_t>(small_table.size()));
        std::copy(e.begin(), e.end(), window.begin() + 0x8000);
        // At 0xFFFFF the table runs past the window: only a separate read sees it whole.
        smbios_table& t = load_memory({{0xF0000, window}, {address, small_table}});
        ASSERT_TRUE(t.is_valid());
        EXPECT_EQ(1u, t.structure_count(1));
        EXPECT_STREQ("12345", t.system_serial());
    }
}

TEST_F(SmbiosTable, FailedSeparateReadFailsTheLoad) {
    bytes window(65536, 0);
    bytes e = dmi_entry_point(0x40000000, 100);
    std::copy(e.begin(), e.end(), window.begin());
    smbios_table& t = load_memory({{0xF0000, window}});
    EXPECT_FALSE(t.is_valid());
    EXPECT_EQ(0u, t.structure_count(1));
}

TEST_F(SmbiosTable, RecordsAtMostFortyOfOneType) {
    std::vector<bytes> parts;
    for (int i = 0; i < 41; ++i) parts.push_back(smbios_structure(4, {static_cast<uint8_t>(i)}));
    parts.push_back(smbios_structure(2, {}, {"board"}));
    parts.push_back(end_of_table());
    smbios_table& t = load_window(window_with_table(joined(parts)));
    ASSERT_TRUE(t.is_valid());
    EXPECT_EQ(40u, t.structure_count(4));
    EXPECT_EQ(39, t.structure_at(4, 39)[4]);
    EXPECT_EQ(nullptr, t.structure_at(4, 40));
    EXPECT_EQ(1u, t.structure_count(2));
}

TEST_F(SmbiosTable, HighTypesShareOneListInTableOrder) {
    bytes table_bytes = joined({smbios_structure(200, {1}), smbios_structure(40, {2}), smbios_structure(3, {}),
                                smbios_structure(126, {3}), end_of_table()});
    smbios_table& t = load_window(window_with_table(table_bytes));
    EXPECT_EQ(3u, t.structure_count(40));
    EXPECT_EQ(3u, t.structure_count(126));
    EXPECT_EQ(3u, t.structure_count(255));
    const uint8_t* first = t.structure_at(126, 0);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(200, first[0]);
    EXPECT_EQ(40, t.structure_at(200, 1)[0]);
    EXPECT_EQ(126, t.structure_at(40, 2)[0]);
}

TEST_F(SmbiosTable, EndOfTableStructureStopsTheWalk) {
    bytes table_bytes = joined({smbios_structure(4, {}), end_of_table(), smbios_structure(4, {}),
                                system_information("A", "B", "C")});
    smbios_table& t = load_window(window_with_table(table_bytes));
    ASSERT_TRUE(t.is_valid());
    EXPECT_EQ(1u, t.structure_count(4));
    EXPECT_EQ(0u, t.structure_count(1));
    EXPECT_EQ(0u, t.structure_count(127));
}

TEST_F(SmbiosTable, MemoryControllerSizeRule) {
    // Followed by two zero bytes: 2 bytes longer than its formatted length.
    bytes with_empty_set = joined({smbios_structure(5, {9, 9}), smbios_structure(6, {}, {"DIMM"}), end_of_table()});
    smbios_table& t1 = load_window(window_with_table(with_empty_set));
    ASSERT_EQ(1u, t1.structure_count(6));
    EXPECT_EQ(t1.structure_at(5, 0) + 8, t1.structure_at(6, 0));

    // Followed by anything else: the next structure begins right after its formatted area.
    table = std::make_unique<smbios_table>();
    bytes formatted_only = {5, 6, 0, 0, 9, 9};
    bytes next = joined({smbios_structure(6, {}, {"DIMM"}), end_of_table()});
    smbios_table& t2 = load_window(window_with_table(joined({formatted_only, next})));
    ASSERT_EQ(1u, t2.structure_count(6));
    EXPECT_EQ(t2.structure_at(5, 0) + 6, t2.structure_at(6, 0));
    EXPECT_STREQ("DIMM", t2.string_at(1, t2.structure_at(6, 0)));
}

TEST_F(SmbiosTable, StringLookupAndFallbacks) {
    bytes table_bytes = joined({smbios_structure(11, {3}, {"one", "two", "three"}), smbios_structure(12, {1}),
                                end_of_table()});
    smbios_table& t = load_window(window_with_table(table_bytes));
    const uint8_t* strings = t.structure_at(11, 0);
    const uint8_t* none = t.structure_at(12, 0);
    ASSERT_TRUE(strings && none);
    EXPECT_STREQ("(none)", t.string_at(0, strings));
    EXPECT_STREQ("one", t.string_at(1, strings));
    EXPECT_STREQ("three", t.string_at(3, strings));
    EXPECT_STREQ("(bad string)", t.string_at(4, strings));
    EXPECT_STREQ("(bad string)", t.string_at(255, strings));
    EXPECT_STREQ("(null string)", t.string_at(1, none));
    EXPECT_STREQ("(none)", t.string_at(0, none));
}

TEST_F(SmbiosTable, ModelReductions) {
    struct {
        const char* product;
        const char* model;
    } cases[] = {
        {"eServer x-[1234ABC]-", "1234ABC"},
        {"eServer x-[1234-5AB]- tower", "1234"},
        {"Server -[8670 no close", "Server -[8670 no close"},
        {"Plain Model", "Plain Model"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product);
        table = std::make_unique<smbios_table>();
        smbios_table& t = load_window(window_with_table(joined({system_information("V", c.product, "S"), end_of_table()})));
        EXPECT_STREQ(c.model, t.system_model());
    }
    table = std::make_unique<smbios_table>();
    std::string long_name(100, 'x');
    smbios_table& t = load_window(window_with_table(joined({system_information("V", long_name, "S"), end_of_table()})));
    EXPECT_EQ(std::string(64, 'x'), t.system_model());
}

TEST_F(SmbiosTable, SerialFallsBackToEnclosure) {
    bytes enclosure = smbios_structure(3, {1, 0x17, 0, 2}, {"ACME", "ENC-778"});
    smbios_table& t = load_window(window_with_table(joined({enclosure, end_of_table()})));
    EXPECT_STREQ("ENC-778", t.system_serial());
    EXPECT_STREQ("Unknown", t.system_vendor());
    EXPECT_STREQ("Unknown", t.system_model());

    // A type-1 structure without a serial number still leaves the enclosure's.
    table = std::make_unique<smbios_table>();
    smbios_table& t2 = load_window(window_with_table(joined({system_information("V", "M", ""), enclosure, end_of_table()})));
    EXPECT_STREQ("ENC-778", t2.system_serial());
    EXPECT_STREQ("V", t2.system_vendor());
}

TEST_F(SmbiosTable, FieldsPastTheFormattedAreaReadAsAbsent) {
    // A type-1 structure with only the header: no manufacturer field.
    smbios_table& t = load_window(window_with_table(joined({smbios_structure(1, {}, {"x"}), end_of_table()})));
    EXPECT_STREQ("(none)", t.system_vendor());
    EXPECT_STREQ("Unknown", t.system_serial());
}

TEST_F(SmbiosTable, RevisionSetsTheVersionFlag) {
    struct {
        uint8_t revision;
        bool later;
    } cases[] = {{0x21, false}, {0x22, true}, {0x30, true}, {0x1F, false}};
    for (const auto& c : cases) {
        table = std::make_unique<smbios_table>();
        smbios_table& t = load_window(window_with_table(small_table, 0x100, c.revision));
        smbios_2_2_or_later = !c.later;
        t.version_flags();
        EXPECT_EQ(c.revision, t.revision());
        EXPECT_EQ(c.later, smbios_2_2_or_later) << std::hex << int(c.revision);
    }
    table = std::make_unique<smbios_table>();
    set_physical_memory_path(dir.file("absent").c_str());
    smbios_2_2_or_later = true;
    table->version_flags();
    EXPECT_FALSE(smbios_2_2_or_later);
}

TEST_F(SmbiosTable, WalkStaysInsideTheCopy) {
    // Formatted length below 4 ends the walk.
    bytes short_header = joined({smbios_structure(4, {}), bytes{9, 2, 0, 0, 0, 0}, smbios_structure(4, {})});
    EXPECT_EQ(1u, load_window(window_with_table(short_header)).structure_count(4));

    // A string set not closed inside the table ends the walk before it.
    table = std::make_unique<smbios_table>();
    bytes open_set = joined({smbios_structure(4, {}), bytes{4, 4, 0, 0, 'a', 'b', 0}});
    EXPECT_EQ(1u, load_window(window_with_table(open_set)).structure_count(4));

    // A formatted length reaching past the table.
    table = std::make_unique<smbios_table>();
    bytes long_formatted = joined({smbios_structure(4, {}), bytes{4, 200, 0, 0, 0, 0}});
    EXPECT_EQ(1u, load_window(window_with_table(long_formatted)).structure_count(4));
}

TEST_F(SmbiosTable, LongTablesAreCutToTheCopy) {
    // 2000 structures of 10 bytes: 20000 bytes claimed, 16384 copied.
    std::vector<bytes> parts(2000, smbios_structure(200, {1, 2, 3, 4}));
    bytes big = joined(parts);
    bytes window(65536, 0);
    bytes e = dmi_entry_point(0xF0010, static_cast<uint16_t>(big.size()));
    std::copy(e.begin(), e.end(), window.begin());
    std::copy(big.begin(), big.end(), window.begin() + 0x10);
    smbios_table& t = load_window(window);
    ASSERT_TRUE(t.is_valid());
    EXPECT_EQ(40u, t.structure_count(200));

    // A table starting near the window's end is cut at it.
    table = std::make_unique<smbios_table>();
    bytes near_end(65536, 0);
    bytes e2 = dmi_entry_point(0xFFFF0, 4000);
    std::copy(e2.begin(), e2.end(), near_end.begin());
    bytes one = smbios_structure(4, {});
    std::copy(one.begin(), one.end(), near_end.begin() + 0xFFF0);
    EXPECT_EQ(1u, load_window(near_end).structure_count(4));
}

TEST(ChassisTypeName, NamesAndLockBit) {
    EXPECT_STREQ("Other", chassis_type_name(1));
    EXPECT_STREQ("Unknown", chassis_type_name(2));
    EXPECT_STREQ("Tower", chassis_type_name(7));
    EXPECT_STREQ("Main Server Chassis", chassis_type_name(17));
    EXPECT_STREQ("Main Server Chassis", chassis_type_name(0x80 | 17));
    EXPECT_STREQ("Sealed-case PC", chassis_type_name(24));
    EXPECT_STREQ("Unknown", chassis_type_name(25));
    EXPECT_STREQ("Unknown", chassis_type_name(0));
}

}  // namespace

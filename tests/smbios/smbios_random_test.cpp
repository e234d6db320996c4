// Arbitrary windows and tables: the table object and the section decoded
// from it must never crash, hang or read outside their copies. Run under
// AddressSanitizer to check the last.
#include "smbios/smbios_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include <set>

#include "pci/physical_memory.h"
#include "smbios/section_fixture.h"

namespace {

// How random structures look: type range, longest formatted length, and
// whether field bytes take any value or stay small (valid string numbers).
struct structure_shape {
    unsigned types = 256;
    unsigned formatted_lengths = 24;
    bool any_field_value = false;
};

// Structures with random types and formatted lengths and string sets that
// are often, but not always, closed.
void fill_structured(bytes& window, size_t at, size_t length, std::mt19937& random,
                     const structure_shape& shape = {}) {
    size_t end = std::min(window.size(), at + length);
    while (at < end) {
        size_t formatted = random() % shape.formatted_lengths;
        window[at] = static_cast<uint8_t>(random() % 8 == 0 ? 127 : random() % shape.types);
        if (at + 1 < end) window[at + 1] = static_cast<uint8_t>(formatted);
        at += 2;
        for (size_t i = 2; i < formatted && at < end; ++i)
            window[at++] = static_cast<uint8_t>(shape.any_field_value && random() % 2 ? random() : random() % 6);
        int strings = static_cast<int>(random() % 4);
        for (int s = 0; s < strings && at < end; ++s) {
            int chars = static_cast<int>(random() % 6);
            for (int c = 0; c < chars && at < end; ++c) window[at++] = static_cast<uint8_t>('a' + random() % 26);
            if (at < end) window[at++] = 0;
        }
        if (random() % 5 && at < end) window[at++] = 0;
    }
}

void exercise(smbios_table& t) {
    t.revision();
    t.version_flags();
    t.system_vendor();
    t.system_model();
    t.system_serial();
    for (unsigned type = 0; type < 256; ++type) {
        unsigned count = t.structure_count(type);
        ASSERT_LE(count, 40u);
        for (unsigned i = 0; i <= count; ++i) {
            const uint8_t* s = t.structure_at(type, i);
            if (i == count) {
                EXPECT_EQ(nullptr, s);
                continue;
            }
            ASSERT_NE(nullptr, s);
            EXPECT_GE(s[1], 4);
            if (type > 40) continue;  // the shared list was already walked at 40
            for (unsigned n = 0; n < 8; ++n) EXPECT_LE(std::strlen(t.string_at(static_cast<uint8_t>(n), s)), 16384u);
            for (unsigned offset = 0; offset < 260; ++offset) smbios_table::field_byte(s, offset);
        }
    }
}

TEST(SmbiosRandom, ArbitraryWindowsAndTables) {
    temp_dir dir;
    set_physical_memory_path(dir.file("absent").c_str());
    set_dmi_export_directory(dir.file("absent").c_str());
    std::mt19937 random(20240515);
    int indexed = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        bytes window(65536);
        for (auto& b : window) b = static_cast<uint8_t>(random());
        if (round % 10 != 0) {
            size_t entry = random() % (65536 - 14);
            uint32_t table_offset = static_cast<uint32_t>(random() % 65536);
            auto length = static_cast<uint16_t>(random() % (round % 3 == 0 ? 65536 : 4096));
            if (round % 2) fill_structured(window, table_offset, length, random);
            // Every fourth round a 64-bit entry point (no "_DMI_" needed to reach the walk).
            bytes e = round % 4 == 1 ? smbios3_entry_point(0xF0000 + table_offset, length)
                                     : dmi_entry_point(0xF0000 + table_offset, length, static_cast<uint8_t>(random()));
            std::copy(e.begin(), e.end(), window.begin() + static_cast<long>(entry));
        }
        auto table = std::make_unique<smbios_table>();
        table->load_from_window(window.data());
        exercise(*table);
        if (table->is_valid() && table->structure_count(40) + table->structure_count(4) > 0) ++indexed;
    }
    EXPECT_GT(indexed, 50);  // the rounds reach the walk, not only the anchor search
    set_physical_memory_path(nullptr);
    set_dmi_export_directory(nullptr);
}

// The whole section over tables of random structures of the decoded types:
// it reports OK or Failed, never misuses a table (which would print on
// standard output), and what it writes is a sound document.
TEST(SmbiosRandom, SectionOverArbitraryTables) {
    temp_dir dir;
    set_physical_memory_path(dir.file("absent").c_str());
    std::mt19937 random(20240607);
    const structure_shape shape{44, 48, true};
    std::set<std::string> titles;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        bytes window(65536, 0);
        auto length = static_cast<uint16_t>(random() % 4096);
        fill_structured(window, 0x1000, length, random, shape);
        bytes e = dmi_entry_point(0xF1000, length, static_cast<uint8_t>(random()));
        std::copy(e.begin(), e.end(), window.begin() + 0x100);
        auto table = std::make_unique<smbios_table>();
        table->load_from_window(window.data());

        reset_report_state();
        set_output_mode(4);
        captured_stream out;
        testing::internal::CaptureStdout();
        std::string status = write_smbios_section(out.get(), *table);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_TRUE(status == "OK" || status == "Failed") << status;
        if (status != "OK") continue;
        std::string text = out.text();
        report_check_result check = check_report(whole_document(text));
        EXPECT_TRUE(check.ok) << check.error;
        for (const decoded_table& t : decode_tables(text)) titles.insert(t.title);
    }
    EXPECT_EQ(titles.size(), 36u);  // every decoder ran
    reset_report_state();
    smbios_2_2_or_later = false;
    set_physical_memory_path(nullptr);
}

}  // namespace

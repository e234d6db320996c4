#include <gtest/gtest.h>

#include <string>

#include "base/hex_dump.h"
#include "support/temp_dir.h"

namespace {

std::string dump(const std::string& bytes) {
    captured_stream out;
    hex_dump(out.get(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out.text();
}

TEST(HexDump, LinesOfSixteenWithGroupsPaddingAndCharacters) {
    struct {
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"", "--- BEGIN HEX DUMP ---\n--- END HEX DUMP ---\n"},
        {"AB\x01", "--- BEGIN HEX DUMP ---\n0000: 41 42 01" + std::string(13 * 3, ' ') +
                       "\tAB.\n--- END HEX DUMP ---\n"},
        {std::string("\x14\x00\x00\x00\x12\x00\x01\x05\x01\x00\x00\x00\x00\x00\x00\x00"
                     "\x02\x00\x00\x00\x7f\xff ~",
                     24),
         "--- BEGIN HEX DUMP ---"
         "\n0000: 14 00 00 00-12 00 01 05-01 00 00 00-00 00 00 00\t................"
         "\n0010: 02 00 00 00-7f ff 20 7e" +
             std::string(8 * 3, ' ') + "\t...... ~\n--- END HEX DUMP ---\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(dump(c.bytes), c.expected) << c.bytes.size() << " bytes";
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/hex_dump.h"
#include "support/temp_dir.h"

namespace {

std::string dump(const std::vector<unsigned char>& bytes) {
    captured_stream out;
    hex_dump(out.get(), bytes.data(), bytes.size());
    return out.text();
}

TEST(HexDump, LineFormat) {
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::string expected;
    };
    std::vector<unsigned char> inquiry = {0x00, 0x00, 0x05, 0x02, 0x1f, 0x00, 0x00, 0x00,
                                          'A',  'C',  'M',  'E',  ' ',  ' ',  ' ',  ' ',
                                          'D',  'i',  's',  'k'};
    const Case cases[] = {
        {"nothing", {}, "--- BEGIN HEX DUMP ---\n--- END HEX DUMP ---\n"},
        {"one full line and a short one", inquiry,
         "--- BEGIN HEX DUMP ---"
         "\n0000: 00 00 05 02-1f 00 00 00-41 43 4d 45-20 20 20 20\t........ACME    "
         "\n0010: 44 69 73 6b                                    \tDisk"
         "\n--- END HEX DUMP ---\n"},
        {"high bytes and the tilde", {0x7e, 0x7f, 0x80, 0xff, 0x0a},
         "--- BEGIN HEX DUMP ---"
         "\n0000: 7e 7f 80 ff-0a                                 \t~...."
         "\n--- END HEX DUMP ---\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(dump(c.bytes), c.expected) << c.what;
}

TEST(HexDump, OffsetsCountUpBySixteenAndNullStreamIsIgnored) {
    std::vector<unsigned char> bytes(0x1001, 'x');
    std::string text = dump(bytes);
    EXPECT_NE(text.find("\n0ff0: 78 78"), std::string::npos);
    EXPECT_NE(text.find("\n1000: 78      "), std::string::npos);
    hex_dump(nullptr, bytes.data(), bytes.size());
}

}  // namespace

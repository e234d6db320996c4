#include "base/hex_dump.h"

namespace {

constexpr size_t bytes_per_line = 16;

// One dump line, built in memory and written at once: the dump runs over
// every netlink reply, also when the log is /dev/null.
size_t format_line(char* line, size_t offset, const unsigned char* data, size_t count) {
    static const char digits[] = "0123456789abcdef";
    size_t at = static_cast<size_t>(std::snprintf(line, 24, "\n%04zx:", offset));
    for (size_t slot = 0; slot < bytes_per_line; ++slot) {
        if (slot >= count) {
            line[at++] = ' ';
            line[at++] = ' ';
            line[at++] = ' ';
            continue;
        }
        line[at++] = slot != 0 && slot % 4 == 0 ? '-' : ' ';
        line[at++] = digits[data[slot] >> 4];
        line[at++] = digits[data[slot] & 0xf];
    }
    line[at++] = '\t';
    for (size_t i = 0; i < count; ++i) {
        bool printable = data[i] >= 0x20 && data[i] < 0x7f;
        line[at++] = printable ? static_cast<char>(data[i]) : '.';
    }
    return at;
}

}  // namespace

void hex_dump(FILE* out, const unsigned char* data, size_t length) {
    if (!out) return;
    std::fputs("--- BEGIN HEX DUMP ---", out);
    char line[24 + 3 * bytes_per_line + 1 + bytes_per_line];
    for (size_t offset = 0; offset < length; offset += bytes_per_line) {
        size_t count = length - offset < bytes_per_line ? length - offset : bytes_per_line;
        std::fwrite(line, 1, format_line(line, offset, data + offset, count), out);
    }
    std::fputs("\n--- END HEX DUMP ---\n", out);
}

#include "base/hex_dump.h"

namespace {

constexpr size_t bytes_per_line = 16;
const char hex_digits[] = "0123456789abcdef";

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// Builds one line ("\n%04x:", sixteen "%c%02x" slots, a tab, the characters)
// in a local buffer so each line is one write.
void write_line(FILE* out, size_t offset, const unsigned char* bytes, size_t count) {
    char line[96];
    int used = std::snprintf(line, sizeof line, "\n%04zx:", offset);
    if (used < 0) return;
    size_t at = static_cast<size_t>(used);  // at most 18: "\n", 16 digits, ':'
    for (size_t slot = 0; slot < bytes_per_line; ++slot) {
        if (slot < count) {
            line[at++] = (slot == 4 || slot == 8 || slot == 12) ? '-' : ' ';
            line[at++] = hex_digits[bytes[slot] >> 4];
            line[at++] = hex_digits[bytes[slot] & 0x0f];
        } else {
            line[at++] = ' ';
            line[at++] = ' ';
            line[at++] = ' ';
        }
    }
    line[at++] = '\t';
    for (size_t i = 0; i < count; ++i) line[at++] = printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    std::fwrite(line, 1, at, out);
}

}  // namespace

void hex_dump(FILE* out, const unsigned char* data, size_t length) {
    if (!out) return;
    std::fputs("--- BEGIN HEX DUMP ---", out);
    for (size_t offset = 0; data && offset < length; offset += bytes_per_line) {
        size_t count = length - offset < bytes_per_line ? length - offset : bytes_per_line;
        write_line(out, offset, data + offset, count);
    }
    std::fputs("\n--- END HEX DUMP ---\n", out);
}

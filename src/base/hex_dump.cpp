#include "base/hex_dump.h"

#include <cstring>

namespace {

constexpr size_t bytes_per_line = 16;
// Offset (up to 16 digits with "\n" and ":"), the slots, the tab, the characters.
constexpr size_t max_line = 18 + 3 * bytes_per_line + 1 + bytes_per_line;

size_t format_line(char* line, size_t offset, const unsigned char* data, size_t count) {
    static const char digits[] = "0123456789abcdef";
    size_t at = static_cast<size_t>(std::snprintf(line, max_line, "\n%04zx:", offset));
    for (size_t slot = 0; slot < bytes_per_line; ++slot) {
        if (slot >= count) {
            std::memset(line + at, ' ', 3);
            at += 3;
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

// The dump runs over every netlink reply and SCSI answer, also when the log
// is an unbuffered /dev/null: it is built in memory and written in few calls.
void hex_dump(FILE* out, const unsigned char* data, size_t length) {
    if (!out) return;
    static const char begin[] = "--- BEGIN HEX DUMP ---";
    static const char end[] = "\n--- END HEX DUMP ---\n";
    char text[4096];
    std::memcpy(text, begin, sizeof begin - 1);
    size_t used = sizeof begin - 1;
    for (size_t offset = 0; offset < length; offset += bytes_per_line) {
        if (used + max_line > sizeof text) {
            std::fwrite(text, 1, used, out);
            used = 0;
        }
        size_t count = length - offset < bytes_per_line ? length - offset : bytes_per_line;
        used += format_line(text + used, offset, data + offset, count);
    }
    if (used + sizeof end - 1 > sizeof text) {
        std::fwrite(text, 1, used, out);
        used = 0;
    }
    std::memcpy(text + used, end, sizeof end - 1);
    std::fwrite(text, 1, used + sizeof end - 1, out);
}

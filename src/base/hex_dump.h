// Hexadecimal dump of a reply buffer for the debug log.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes data as lines of 16 bytes between "--- BEGIN HEX DUMP ---" and
// "--- END HEX DUMP ---": each line holds its offset, the bytes in groups of
// four (blanks inside a group, dashes between groups) and, after a tab, the
// bytes as characters with '.' for the unprintable ones. A null stream (no
// debug log open) writes nothing.
void hex_dump(FILE* out, const unsigned char* data, size_t length);

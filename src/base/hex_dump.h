// Hexadecimal dump of a byte block for the debug log.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes "--- BEGIN HEX DUMP ---", then one line of 16 bytes each: the
// line's offset, the bytes in groups of four ("%c%02x" slots, a blank inside
// a group and "-" between groups, three blanks for each slot past the end),
// a tab and the bytes as characters ("." for any that is not printable);
// finally "--- END HEX DUMP ---". A null stream writes nothing.
void hex_dump(FILE* out, const unsigned char* data, size_t length);

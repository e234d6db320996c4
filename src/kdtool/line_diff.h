// A line diff of two texts in unified form, in linear time: lines are
// interned to numbers, the common start and end are set aside, and the
// shortest edit script of the rest is searched only up to a fixed amount of
// work (beyond it the rest is shown as replaced whole).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

struct line_diff_result {
    bool differ = false;
    size_t lines = 0;      // diff lines written (hunk headers included)
    size_t cut = 0;        // diff lines left out after max_lines
};

// Writes the hunks ("@@ -a,n +b,m @@", then context, '-' and '+' lines) of
// the change from a to b, each line after indent; at most max_lines lines
// (0: no limit). Lines are made safe for a terminal.
line_diff_result unified_diff(std::string_view a, std::string_view b, size_t max_lines, const std::string& indent,
                              FILE* out);

// Report text made safe and aligned for a terminal.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// A cell value on one line: line feeds, carriage returns and tabs become
// \n, \r and \t, and C1 control characters '?', so that nothing in a report
// can move the cursor or change the terminal.
std::string cell_text(std::string_view text);
// A line of an embedded file: tabs stay; a carriage return becomes ^M and C1
// control characters '?'.
std::string line_text(std::string_view text);
// Characters on screen: UTF-8 continuation bytes take no room.
size_t display_width(std::string_view text);
// Writes text, then blanks up to width (text left-aligned); never cuts.
void put_padded(FILE* out, std::string_view text, size_t width);
// Blanks up to width, then text (right-aligned); never cuts.
void put_right(FILE* out, std::string_view text, size_t width);
// True for the cell kinds that hold numbers.
bool numeric_cell(std::string_view kind);

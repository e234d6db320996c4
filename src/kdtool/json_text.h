// Text as JSON strings, for every command that writes JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Writes text escaped for the inside of a JSON string.
void put_json_text(FILE* out, std::string_view text);
// Writes text as a JSON string, quotes included.
void put_json_string(FILE* out, std::string_view text);
// The JSON string of text, quotes included.
std::string json_string(std::string_view text);

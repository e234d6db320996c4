// The one-line attribute files of the kernel's device folders (/sys).
#pragma once

#include <string>

// The first line of the file at path, without its newline, or "Unknown"
// when it cannot be read or is empty. At most 255 bytes are read; links are
// not followed at the last part of the path.
std::string read_attribute_line(const std::string& path);

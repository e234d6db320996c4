#include "kdtool/json_text.h"

namespace {

// The escape of one byte, or null when it stands as it is.
const char* escape_of(unsigned char c, char (&buffer)[8]) {
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default:
        if (c >= 0x20) return nullptr;
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        return buffer;
    }
}

}  // namespace

void put_json_text(FILE* out, std::string_view text) {
    size_t start = 0;
    char buffer[8];
    for (size_t i = 0; i < text.size(); i++) {
        const char* escape = escape_of(static_cast<unsigned char>(text[i]), buffer);
        if (!escape) continue;
        std::fwrite(text.data() + start, 1, i - start, out);
        std::fputs(escape, out);
        start = i + 1;
    }
    std::fwrite(text.data() + start, 1, text.size() - start, out);
}

void put_json_string(FILE* out, std::string_view text) {
    std::fputc('"', out);
    put_json_text(out, text);
    std::fputc('"', out);
}

std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    char buffer[8];
    for (char c : text) {
        const char* escape = escape_of(static_cast<unsigned char>(c), buffer);
        if (escape)
            quoted += escape;
        else
            quoted += c;
    }
    return quoted + "\"";
}

#include "kdtool/text_form.h"

namespace {

// Appends text with C1 controls (U+0080-U+009F, bytes C2 80-9F) as '?' and
// the given replacements for line feed, carriage return and tab.
std::string replace_controls(std::string_view text, const char* lf, const char* cr, const char* tab) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += lf;
        } else if (c == '\r') {
            out += cr;
        } else if (c == '\t') {
            out += tab;
        } else if (c < 32 || c == 127) {
            out += '?';
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += '?';
            i++;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void put_blanks(FILE* out, size_t n) {
    for (size_t i = 0; i < n; i++) std::fputc(' ', out);
}

}  // namespace

std::string cell_text(std::string_view text) { return replace_controls(text, "\\n", "\\r", "\\t"); }

std::string line_text(std::string_view text) { return replace_controls(text, "\n", "^M", "\t"); }

size_t display_width(std::string_view text) {
    size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) width++;
    return width;
}

void put_padded(FILE* out, std::string_view text, size_t width) {
    std::fwrite(text.data(), 1, text.size(), out);
    size_t w = display_width(text);
    if (w < width) put_blanks(out, width - w);
}

void put_right(FILE* out, std::string_view text, size_t width) {
    size_t w = display_width(text);
    if (w < width) put_blanks(out, width - w);
    std::fwrite(text.data(), 1, text.size(), out);
}

bool numeric_cell(std::string_view kind) { return kind == "DEC" || kind == "HEX"; }

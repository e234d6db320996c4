#include "report/xml.h"

#include <cctype>
#include <cstring>

#include "report/report.h"

namespace {

// Length of the valid UTF-8 sequence starting at s (at most n bytes), or 0.
size_t utf8_sequence_length(const unsigned char* s, size_t n) {
    unsigned char lead = s[0];
    size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (length > n) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    bool non_character = code == 0xFFFE || code == 0xFFFF;
    if (overlong || surrogate || non_character || code > 0x10FFFF) return 0;
    return length;
}

// A byte of an embedded file as written into the CDATA part.
inline int file_byte(int c) {
    if ((c >= 32 && c <= 127) || c == '\t' || c == '\n' || c == '\r') return c;
    return '?';
}

std::string escaped_valid(const char* text) {
    return xml_escape(xml_valid_text(text).c_str());
}

}  // namespace

std::string xml_name(const char* title) {
    std::string name;
    if (element_prefix()) name = "KD_";
    if (!title) return std::string();
    for (const char* p = title; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 128 && std::islower(c))
            name += static_cast<char>(std::toupper(c));
        else if (c < 128 && (std::isupper(c) || std::isdigit(c)))
            name += static_cast<char>(c);
        else if (c == '.' || c == '-')
            name += static_cast<char>(c);
        else
            name += '_';
    }
    return name;
}

std::string xml_escape(const char* text) {
    if (!text) return std::string();
    size_t length = 0;
    for (const char* p = text; *p; ++p) {
        switch (*p) {
            case '&': length += 5; break;
            case '<': case '>': length += 4; break;
            case '"': case '\'': length += 6; break;
            default: length += 1;
        }
    }
    std::string out;
    out.reserve(length);
    for (const char* p = text; *p; ++p) {
        switch (*p) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += *p;
        }
    }
    return out;
}

std::string xml_valid_text(const char* text) {
    if (!text) return std::string();
    size_t n = std::strlen(text);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t length = c >= 128 ? utf8_sequence_length(s + i, n - i) : 0) {
            out.append(text + i, length);
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

void write_xml_declaration(FILE* out) {
    std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n");
}

void open_element(FILE* out, const char* name, const char* id) {
    std::string n = xml_name(name);
    if (id)
        std::fprintf(out, "<%s ID=\"%s\">\n", n.c_str(), escaped_valid(id).c_str());
    else
        std::fprintf(out, "<%s>\n", n.c_str());
}

void close_element(FILE* out, const char* name) {
    std::fprintf(out, "</%s>\n", xml_name(name).c_str());
}

void write_element(FILE* out, const char* name, const char* text) {
    std::string n = xml_name(name);
    std::fprintf(out, "<%s>%s</%s>\n", n.c_str(), escaped_valid(text).c_str(), n.c_str());
}

void write_value_element(FILE* out, const char* name, const char* id, int width, const char* text) {
    std::string n = xml_name(name);
    std::string i = escaped_valid(id);
    std::string t = escaped_valid(text);
    if (width != 0)
        std::fprintf(out, "<%s ID=\"%s\" W=\"%d\">%s</%s>\n", n.c_str(), i.c_str(), width, t.c_str(), n.c_str());
    else
        std::fprintf(out, "<%s ID=\"%s\">%s</%s>\n", n.c_str(), i.c_str(), t.c_str(), n.c_str());
}

// Copies input into a CDATA part. A "]]>" in the data would end the part
// early, so it is split across two parts; the reader still sees the same bytes.
static uint32_t copy_cdata(FILE* out, FILE* input) {
    uint32_t checksum = 0;
    int brackets = 0;  // consecutive ']' just written
    std::fputs("<![CDATA[", out);
    for (int c; (c = getc_unlocked(input)) != EOF;) {
        c = file_byte(c);
        if (c == '>' && brackets >= 2) std::fputs("]]><![CDATA[", out);
        brackets = c == ']' ? brackets + 1 : 0;
        putc_unlocked(c, out);
        checksum += static_cast<uint32_t>(c);
    }
    std::fputs("]]>\n", out);
    return checksum;
}

uint32_t embed_input_xml(FILE* out, const char* name, FILE* input) {
    if (!out) return 0;
    std::string id = escaped_valid(name);
    if (element_prefix())
        std::fprintf(out, "<KD_FILE name=\"%s\">\n", id.c_str());
    else
        std::fprintf(out, "<FILE ID=\"%s\">\n", id.c_str());

    uint32_t checksum = input ? copy_cdata(out, input) : 0;

    if (element_prefix()) {
        std::fputs("</KD_FILE>\n", out);
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "%8X", checksum);
        write_element(out, "CHK", text);
        std::fputs("</FILE>\n", out);
    }
    std::fflush(out);
    return checksum;
}

uint32_t embed_file_xml(FILE* out, const char* path, FILE* input) {
    if (!out) return 0;
    if (input || !path) return embed_input_xml(out, path, input);
    FILE* opened = std::fopen(path, "rb");
    uint32_t checksum = embed_input_xml(out, path, opened);
    if (opened) std::fclose(opened);
    return checksum;
}

#include "report/xml.h"

#include <cctype>
#include <cstring>

#include "report/report.h"
#include "report/secret_scrubber.h"

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

// The entity for one of the five characters XML reserves, or null.
const char* special_entity(char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&apos;";
        default: return nullptr;
    }
}

// A byte of an embedded file as written into the CDATA part.
inline int file_byte(int c) {
    if ((c >= 32 && c <= 127) || c == '\t' || c == '\n' || c == '\r') return c;
    return '?';
}

// The valid text, escaped. A reader turns a carriage return in character
// data into a line feed, and tabs and line ends in attribute values into
// blanks, so those are written as character references and reach the reader
// unchanged.
std::string escaped_valid(const char* text, bool attribute) {
    std::string valid = xml_valid_text(text);
    std::string out;
    out.reserve(valid.size());
    for (char c : valid) {
        if (const char* entity = special_entity(c))
            out += entity;
        else if (c == '\r')
            out += "&#13;";
        else if (attribute && (c == '\t' || c == '\n'))
            out += c == '\t' ? "&#9;" : "&#10;";
        else
            out += c;
    }
    return out;
}

std::string escaped_text(const char* text) { return escaped_valid(text, false); }
std::string escaped_attribute(const char* text) { return escaped_valid(text, true); }

}  // namespace

size_t valid_char_length(const unsigned char* s, size_t n) {
    unsigned char c = s[0];
    if (c >= 32 && c < 128) return 1;
    if (c == '\t' || c == '\n' || c == '\r') return 1;
    return c >= 128 ? utf8_sequence_length(s, n) : 0;
}

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
        const char* entity = special_entity(*p);
        length += entity ? std::strlen(entity) : 1;
    }
    std::string out;
    out.reserve(length);
    for (const char* p = text; *p; ++p) {
        if (const char* entity = special_entity(*p))
            out += entity;
        else
            out += *p;
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
        if (size_t length = valid_char_length(s + i, n - i)) {
            out.append(text + i, length);
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

std::string xml_text(const char* text) { return escaped_text(text); }
std::string xml_attribute_value(const char* text) { return escaped_attribute(text); }

size_t find_invalid_xml_char(const std::string& text) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t length = valid_char_length(s + i, text.size() - i);
        if (length == 0) return i;
        i += length;
    }
    return std::string::npos;
}

void write_xml_declaration(FILE* out) {
    std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n");
}

void open_element(FILE* out, const char* name, const char* id) {
    std::string n = xml_name(name);
    if (id)
        std::fprintf(out, "<%s ID=\"%s\">\n", n.c_str(), escaped_attribute(id).c_str());
    else
        std::fprintf(out, "<%s>\n", n.c_str());
}

void close_element(FILE* out, const char* name) {
    std::fprintf(out, "</%s>\n", xml_name(name).c_str());
}

void write_element(FILE* out, const char* name, const char* text) {
    std::string n = xml_name(name);
    std::fprintf(out, "<%s>%s</%s>\n", n.c_str(), escaped_text(text).c_str(), n.c_str());
}

void write_value_element(FILE* out, const char* name, const char* id, int width, const char* text) {
    std::string n = xml_name(name);
    std::string i = escaped_attribute(id);
    std::string t = escaped_text(text);
    if (width != 0)
        std::fprintf(out, "<%s ID=\"%s\" W=\"%d\">%s</%s>\n", n.c_str(), i.c_str(), width, t.c_str(), n.c_str());
    else
        std::fprintf(out, "<%s ID=\"%s\">%s</%s>\n", n.c_str(), i.c_str(), t.c_str(), n.c_str());
}

cdata_writer::cdata_writer(FILE* out) : out_(out) { std::fputs("<![CDATA[", out_); }

void cdata_writer::put(std::string_view bytes) {
    for (unsigned char byte : bytes) {
        int c = file_byte(byte);
        if (c == '>' && brackets_ >= 2) std::fputs("]]><![CDATA[", out_);
        brackets_ = c == ']' ? brackets_ + 1 : 0;
        putc_unlocked(c, out_);
        checksum_ += static_cast<uint32_t>(c);
    }
}

uint32_t cdata_writer::finish() {
    std::fputs("]]>\n", out_);
    return checksum_;
}

// Copies input into a CDATA part, its secrets masked; the checksum covers
// the masked text, which is what the report holds.
static uint32_t copy_cdata(FILE* out, FILE* input) {
    cdata_writer cdata(out);
    scrub_stream(input, [&cdata](std::string_view piece) { cdata.put(piece); });
    return cdata.finish();
}

uint32_t embed_input_xml(FILE* out, const char* name, FILE* input) {
    if (!out) return 0;
    std::string id = escaped_attribute(name);
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

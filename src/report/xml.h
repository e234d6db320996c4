// Line-by-line XML writers used by the structured report modes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Writes the XML declaration line.
void write_xml_declaration(FILE* out);
// "<N>" or, when id is given (even empty), "<N ID=\"I\">".
void open_element(FILE* out, const char* name, const char* id = nullptr);
void close_element(FILE* out, const char* name);
// "<N>T</N>".
void write_element(FILE* out, const char* name, const char* text);
// "<N ID=\"I\" W=\"w\">T</N>"; the W attribute is left out when width is 0.
void write_value_element(FILE* out, const char* name, const char* id, int width, const char* text);
// Writes a FILE (or KD_FILE) element holding the bytes of input, or of the file
// at path when input is null. Returns the file checksum.
uint32_t embed_file_xml(FILE* out, const char* path, FILE* input = nullptr);
// As embed_file_xml, but never opens anything: a null input gives an element
// without content. Secrets in the input are masked (report/secret_scrubber.h)
// before anything is written or summed.
uint32_t embed_input_xml(FILE* out, const char* name, FILE* input);

// The CDATA part of a FILE element, written piece by piece: every byte is
// mapped as in embedded files (control characters other than tab, line feed
// and carriage return, and bytes above 127, become '?'), and a "]]>" in the
// data is split so the part does not end early. finish closes the part and
// gives the file checksum, the sum of the bytes written.
class cdata_writer {
public:
    explicit cdata_writer(FILE* out);
    cdata_writer(const cdata_writer&) = delete;
    cdata_writer& operator=(const cdata_writer&) = delete;
    void put(std::string_view bytes);
    uint32_t finish();

private:
    FILE* out_;
    uint32_t checksum_ = 0;
    int brackets_ = 0;  // consecutive ']' just written
};

// Title to element name: upper-cased, non-name characters to '_', with the
// "KD_" prefix when element_prefix is set.
std::string xml_name(const char* title);
// Escapes the five XML special characters.
std::string xml_escape(const char* text);
// Text as the writers put it into character data, or into an attribute
// value: reduced to what XML allows (xml_valid_text) and escaped, a carriage
// return (and in attributes a tab or line feed) as a character reference,
// so that a reader gets the same text back.
std::string xml_text(const char* text);
std::string xml_attribute_value(const char* text);
// The text as an XML reader will see it: the characters XML forbids (control
// characters other than tab, line feed and carriage return, and bytes that do
// not form valid UTF-8) are replaced by '?', so that element texts and
// attribute values always make a well-formed document. Checksums of XML cells
// are taken over this form. The writers keep a carriage return (and, in
// attribute values, tabs and line feeds) as character references.
std::string xml_valid_text(const char* text);
// Length of the character XML allows at s (n > 0 bytes available), or 0: tab,
// line feed, carriage return, everything from the blank up in ASCII, and
// valid UTF-8 sequences of allowed characters.
size_t valid_char_length(const unsigned char* s, size_t n);
// Byte offset of the first character XML does not allow in text, or npos.
size_t find_invalid_xml_char(const std::string& text);

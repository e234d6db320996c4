// A streaming XML tokenizer for reading reports back: it pulls one token at a
// time from a stream through a fixed buffer, so a document of any size is
// read in constant memory. It accepts the XML the report writer produces
// (elements with double-quoted attributes, character data with the five
// entities and numeric references, CDATA sections, comments, a leading
// declaration) and refuses anything else with a message and a byte offset.
// Hostile input is bounded: nesting depth, name and attribute lengths and the
// number of attributes are limited, and text arrives in chunks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

struct xml_attribute {
    std::string name;
    std::string value;  // entities resolved
};

struct xml_limits {
    int max_depth = 201;               // nested elements, the root included
    size_t max_name = 1024;            // element and attribute names
    size_t max_attribute = 1u << 20;   // one attribute value
    size_t max_attributes = 64;        // per start tag
    size_t max_declaration = 65536;    // the leading <?xml ... ?>
    size_t text_chunk = 65536;         // largest text token
};

enum class xml_token {
    start,  // a start tag (an empty-element tag gives start, then end)
    end,    // an end tag
    text,   // character data, entities resolved (may come in several pieces)
    cdata,  // the content of a CDATA section (may come in several pieces)
    done,   // the root element closed and only blanks followed
    error,  // the document is not well-formed; see error()
};

class xml_reader {
public:
    explicit xml_reader(FILE* in, const xml_limits& limits = {});
    xml_reader(const xml_reader&) = delete;
    xml_reader& operator=(const xml_reader&) = delete;

    xml_token next();

    // The element of the last start or end token.
    const std::string& name() const { return name_; }
    // The attributes of the last start token (only the first attribute_count()
    // entries are valid; the storage is reused).
    size_t attribute_count() const { return attribute_count_; }
    const xml_attribute& attribute(size_t i) const { return attributes_[i]; }
    // The value of the named attribute of the last start tag, or null.
    const std::string* find_attribute(const char* attribute_name) const;
    // The piece of the last text or cdata token.
    std::string_view text() const { return text_; }
    // Byte offset where the last token began.
    uint64_t offset() const { return token_offset_; }
    // Open elements, the one just started included.
    int depth() const { return static_cast<int>(open_.size()); }
    // "what at byte N" once next() gave error.
    const std::string& error() const { return error_; }

private:
    enum class state { prolog, content, after_root, finished };

    bool fill(size_t need);
    bool at(const char* literal);
    uint64_t position() const { return base_ + pos_; }
    xml_token fail(const std::string& what);
    size_t valid_length();
    bool skip_blanks();
    bool read_name(std::string& out);
    bool read_entity(std::string& out);
    bool read_attribute_value(std::string& out);
    xml_token read_declaration();
    xml_token read_start_tag();
    xml_token read_end_tag();
    xml_token read_comment();
    xml_token read_cdata();
    xml_token read_text();
    xml_token content_token();

    FILE* in_;
    xml_limits limits_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t end_ = 0;
    uint64_t base_ = 0;  // stream offset of buffer_[0]
    bool eof_ = false;

    state state_ = state::prolog;
    std::vector<std::string> open_;
    std::string name_;
    std::vector<xml_attribute> attributes_;
    size_t attribute_count_ = 0;
    bool pending_end_ = false;   // an empty-element tag still owes its end token
    bool in_cdata_ = false;      // a CDATA section continues in the next token
    int brackets_ = 0;           // ']' just seen in character data
    std::string text_;
    uint64_t token_offset_ = 0;
    std::string error_;
};

#include "report/xml_reader.h"

#include <cstdlib>
#include <cstring>

#include "report/xml.h"

namespace {

constexpr size_t buffer_size = 1u << 16;
// The longest look-ahead any token needs ("<![CDATA[", an entity).
constexpr size_t max_lookahead = 16;

bool name_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ':';
}

bool blank(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bytes that stand for themselves in a run of character data or CDATA.
struct byte_classes {
    bool text[256] = {};
    bool cdata[256] = {};
    byte_classes() {
        for (int c = 32; c < 128; c++) text[c] = cdata[c] = true;
        for (int c : {'\t', '\n', '\r'}) text[c] = cdata[c] = true;
        for (int c : {'<', '&', ']', '>'}) text[c] = false;
        cdata[static_cast<int>(']')] = false;
    }
};
const byte_classes classes;

}  // namespace

xml_reader::xml_reader(FILE* in, const xml_limits& limits)
    : in_(in), limits_(limits), buffer_(buffer_size + max_lookahead) {
    text_.reserve(limits_.text_chunk + 8);
}

const std::string* xml_reader::find_attribute(const char* attribute_name) const {
    for (size_t i = 0; i < attribute_count_; i++)
        if (attributes_[i].name == attribute_name) return &attributes_[i].value;
    return nullptr;
}

// Makes at least need bytes available at pos_ unless the stream ends first.
bool xml_reader::fill(size_t need) {
    if (end_ - pos_ >= need) return true;
    if (eof_) return false;
    if (pos_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
        base_ += pos_;
        end_ -= pos_;
        pos_ = 0;
    }
    while (end_ - pos_ < need && !eof_) {
        size_t got = in_ ? std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, in_) : 0;
        if (got == 0) eof_ = true;
        end_ += got;
    }
    return end_ - pos_ >= need;
}

bool xml_reader::at(const char* literal) {
    size_t n = std::strlen(literal);
    return fill(n) && std::memcmp(buffer_.data() + pos_, literal, n) == 0;
}

xml_token xml_reader::fail(const std::string& what) {
    if (error_.empty()) {
        error_ = what + " at byte " + std::to_string(position());
        if (in_ && std::ferror(in_)) error_ = "the input cannot be read (" + error_ + ")";
    }
    state_ = state::finished;
    return xml_token::error;
}

// Length of the allowed character at pos_ (at least one byte is there), or 0.
size_t xml_reader::valid_length() {
    auto c = static_cast<unsigned char>(buffer_[pos_]);
    if (c >= 128) fill(4);
    return valid_char_length(reinterpret_cast<const unsigned char*>(buffer_.data() + pos_), end_ - pos_);
}

bool xml_reader::skip_blanks() {
    while (fill(1) && blank(static_cast<unsigned char>(buffer_[pos_]))) pos_++;
    return pos_ < end_;
}

// Reads a name into out (empty when none starts here); false when it is too long.
bool xml_reader::read_name(std::string& out) {
    out.clear();
    while (fill(1) && name_char(static_cast<unsigned char>(buffer_[pos_]))) {
        if (out.size() >= limits_.max_name) {
            fail("name longer than " + std::to_string(limits_.max_name) + " bytes");
            return false;
        }
        out += buffer_[pos_++];
    }
    return true;
}

// Resolves the entity or character reference at pos_ ('&') into out.
bool xml_reader::read_entity(std::string& out) {
    fill(13);
    const char* start = buffer_.data() + pos_;
    size_t window = std::min<size_t>(13, end_ - pos_);
    const void* semicolon = std::memchr(start, ';', window);
    if (!semicolon) {
        fail("bad entity");
        return false;
    }
    std::string entity(start + 1, static_cast<const char*>(semicolon));
    pos_ += entity.size() + 2;
    if (entity == "amp") out += '&';
    else if (entity == "lt") out += '<';
    else if (entity == "gt") out += '>';
    else if (entity == "quot") out += '"';
    else if (entity == "apos") out += '\'';
    else if (entity.size() > 1 && entity[0] == '#') {
        long code = entity[1] == 'x' ? std::strtol(entity.c_str() + 2, nullptr, 16)
                                     : std::strtol(entity.c_str() + 1, nullptr, 10);
        bool allowed = code >= 32 || code == '\t' || code == '\n' || code == '\r';
        if (!allowed || code > 127) {
            fail("unsupported character reference");
            return false;
        }
        out += static_cast<char>(code);
    } else {
        fail("unknown entity &" + entity + ";");
        return false;
    }
    return true;
}

bool xml_reader::read_attribute_value(std::string& out) {
    if (!fill(1) || buffer_[pos_] != '"') {
        fail("attribute value not quoted");
        return false;
    }
    pos_++;
    for (;;) {
        if (!fill(1)) {
            fail("unterminated attribute value");
            return false;
        }
        char c = buffer_[pos_];
        if (c == '"') break;
        if (out.size() >= limits_.max_attribute) {
            fail("attribute value longer than " + std::to_string(limits_.max_attribute) + " bytes");
            return false;
        }
        if (c == '<') {
            fail("'<' in attribute value");
            return false;
        }
        if (c == '&') {
            if (!read_entity(out)) return false;
            continue;
        }
        size_t n = valid_length();
        if (n == 0) {
            fail("a character XML does not allow");
            return false;
        }
        out.append(buffer_.data() + pos_, n);
        pos_ += n;
    }
    pos_++;
    return true;
}

xml_token xml_reader::read_declaration() {
    size_t length = 0;
    while (!at("?>")) {
        if (!fill(1)) return fail("unterminated declaration");
        if (++length > limits_.max_declaration) return fail("declaration too long");
        size_t n = valid_length();
        if (n == 0) return fail("a character XML does not allow");
        pos_ += n;
    }
    pos_ += 2;
    return xml_token::text;  // anything but error
}

xml_token xml_reader::read_start_tag() {
    token_offset_ = position();
    if (!fill(1) || buffer_[pos_] != '<') return fail("expected an element");
    pos_++;
    if (!read_name(name_)) return xml_token::error;
    if (name_.empty()) return fail("element without a name");
    if (depth() >= limits_.max_depth) return fail("elements nested too deeply");
    attribute_count_ = 0;
    for (;;) {
        skip_blanks();
        if (!fill(1)) return fail("unterminated start tag");
        if (at("/>")) {
            pos_ += 2;
            pending_end_ = true;
            break;
        }
        if (buffer_[pos_] == '>') {
            pos_++;
            break;
        }
        if (attribute_count_ >= limits_.max_attributes) return fail("too many attributes in <" + name_ + ">");
        if (attributes_.size() <= attribute_count_) attributes_.emplace_back();
        xml_attribute& a = attributes_[attribute_count_];
        if (!read_name(a.name)) return xml_token::error;
        if (a.name.empty() || !fill(1) || buffer_[pos_] != '=') return fail("malformed attribute in <" + name_ + ">");
        pos_++;
        a.value.clear();
        if (!read_attribute_value(a.value)) return xml_token::error;
        attribute_count_++;
    }
    open_.push_back(name_);
    state_ = state::content;
    return xml_token::start;
}

xml_token xml_reader::read_end_tag() {
    token_offset_ = position();
    pos_ += 2;
    if (!read_name(name_)) return xml_token::error;
    skip_blanks();
    if (name_ != open_.back() || !fill(1) || buffer_[pos_] != '>')
        return fail("end tag </" + name_ + "> does not close <" + open_.back() + ">");
    pos_++;
    open_.pop_back();
    if (open_.empty()) state_ = state::after_root;
    return xml_token::end;
}

// Skips a comment; gives error or text (meaning: nothing to report).
xml_token xml_reader::read_comment() {
    pos_ += 4;
    while (!at("-->")) {
        if (!fill(1)) return fail("unterminated comment");
        size_t n = valid_length();
        if (n == 0) return fail("a character XML does not allow");
        pos_ += n;
    }
    pos_ += 3;
    return xml_token::text;
}

xml_token xml_reader::read_cdata() {
    text_.clear();
    token_offset_ = position();
    while (text_.size() < limits_.text_chunk) {
        if (!fill(1)) return fail("unterminated CDATA section");
        const char* b = buffer_.data();
        size_t run = pos_;
        size_t stop = std::min(end_, pos_ + (limits_.text_chunk - text_.size()));
        while (run < stop && classes.cdata[static_cast<unsigned char>(b[run])]) run++;
        text_.append(b + pos_, run - pos_);
        pos_ = run;
        if (pos_ >= end_ || text_.size() >= limits_.text_chunk) continue;
        if (b[pos_] == ']') {
            if (at("]]>")) {
                pos_ += 3;
                in_cdata_ = false;
                break;
            }
            text_ += ']';
            pos_++;
            continue;
        }
        size_t n = valid_length();
        if (n == 0) return fail("a character XML does not allow");
        text_.append(buffer_.data() + pos_, n);
        pos_ += n;
    }
    return xml_token::cdata;
}

xml_token xml_reader::read_text() {
    text_.clear();
    token_offset_ = position();
    while (text_.size() < limits_.text_chunk && fill(1)) {
        const char* b = buffer_.data();
        size_t run = pos_;
        size_t stop = std::min(end_, pos_ + (limits_.text_chunk - text_.size()));
        while (run < stop && classes.text[static_cast<unsigned char>(b[run])]) run++;
        if (run > pos_) brackets_ = 0;
        text_.append(b + pos_, run - pos_);
        pos_ = run;
        if (pos_ >= end_ || text_.size() >= limits_.text_chunk) continue;
        char c = b[pos_];
        if (c == '<') break;
        if (c == '&') {
            brackets_ = 0;
            if (!read_entity(text_)) return xml_token::error;
        } else if (c == ']' || c == '>') {
            if (c == '>' && brackets_ >= 2) return fail("']]>' in character data");
            brackets_ = c == ']' ? brackets_ + 1 : 0;
            text_ += c;
            pos_++;
        } else {
            size_t n = valid_length();
            if (n == 0) return fail("a character XML does not allow");
            brackets_ = 0;
            text_.append(buffer_.data() + pos_, n);
            pos_ += n;
        }
    }
    return xml_token::text;
}

xml_token xml_reader::content_token() {
    for (;;) {
        if (in_cdata_) return read_cdata();
        if (!fill(1)) return fail("document ends inside <" + open_.back() + ">");
        if (buffer_[pos_] != '<') {
            xml_token t = read_text();
            if (t == xml_token::error || !text_.empty()) return t;
            continue;
        }
        brackets_ = 0;
        if (at("<![CDATA[")) {
            pos_ += 9;
            in_cdata_ = true;
            return read_cdata();
        }
        if (at("<!--")) {
            if (read_comment() == xml_token::error) return xml_token::error;
            continue;
        }
        if (at("</")) return read_end_tag();
        return read_start_tag();
    }
}

xml_token xml_reader::next() {
    if (pending_end_) {
        pending_end_ = false;
        name_ = open_.back();
        open_.pop_back();
        if (open_.empty()) state_ = state::after_root;
        return xml_token::end;
    }
    switch (state_) {
    case state::prolog:
        skip_blanks();
        if (at("<?xml") && read_declaration() == xml_token::error) return xml_token::error;
        skip_blanks();
        return read_start_tag();
    case state::content:
        return content_token();
    case state::after_root:
        if (skip_blanks()) return fail("content after the root element");
        if (in_ && std::ferror(in_)) return fail("the input cannot be read");
        state_ = state::finished;
        return xml_token::done;
    case state::finished:
        break;
    }
    return error_.empty() ? xml_token::done : xml_token::error;
}

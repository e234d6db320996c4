#include "report/report.h"

#include "report/secret_scrubber.h"
#include "report/xml.h"

namespace {

int32_t current_mode = 0;
bool prefix = true;
uint32_t section_sum = 0;
uint32_t document_sum = 0;
std::string current_section;  // mode 1: the open section's element name
bool section_named = false;

bool text_mode(int32_t mode) { return mode == 0 || mode == 3; }
bool xml_mode(int32_t mode) { return mode == 1 || mode == 4; }

std::string hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%8X", value);
    return text;
}

std::string hex4_lower(uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%4x", value);
    return text;
}

// Shared by embed_file and embed_stream: input is the open source or null.
bool embed(FILE* out, const char* name, FILE* input) {
    if (!out || !name) return false;
    if (text_mode(current_mode)) {
        if (!input) return false;
        std::fprintf(out, "\n---> FILE: %s <---\n", name);
        // The bytes go in as they are, except for the secrets, which are masked.
        scrub_stream(input, [out](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), out); });
        std::fputs("---> END OF FILE <---\n", out);
        std::fflush(out);
        return true;
    }
    if (xml_mode(current_mode)) {
        section_sum += embed_file_xml(out, name, input);
        return true;
    }
    return false;
}

}  // namespace

void set_output_mode(int32_t mode) {
    current_mode = mode;
    prefix = mode == 1;
}

int32_t output_mode() { return current_mode; }
bool element_prefix() { return prefix; }
uint32_t section_checksum() { return section_sum; }
uint32_t document_checksum() { return document_sum; }
void add_section_checksum(uint32_t value) { section_sum += value; }

void reset_report_state() {
    set_output_mode(0);
    prefix = true;
    section_sum = 0;
    document_sum = 0;
    current_section.clear();
    section_named = false;
}

void begin_section(FILE* out, const char* title) {
    section_sum = 0;
    if (!title) title = "";
    if (text_mode(current_mode)) {
        std::string rule(std::char_traits<char>::length(title) + 4, '=');
        std::fprintf(out, "\n%s\n  %s  \n%s\n", rule.c_str(), title, rule.c_str());
    } else if (current_mode == 1) {
        current_section = title;
        section_named = true;
        open_element(out, title);
    } else if (current_mode == 4) {
        open_element(out, "SECTION", title);
    } else {
        return;
    }
    std::fflush(out);
}

void end_section(FILE* out) {
    document_sum += section_sum;
    if (text_mode(current_mode)) {
        std::fputs("\n", out);
    } else if (current_mode == 1) {
        if (section_named) close_element(out, current_section.c_str());
        current_section.clear();
        section_named = false;
    } else if (current_mode == 4) {
        write_element(out, "CHK", hex8(section_sum).c_str());
        close_element(out, "SECTION");
    } else {
        return;
    }
    std::fflush(out);
}

bool embed_file(FILE* out, const char* path) {
    if (!out || !path) return false;
    if (!text_mode(current_mode)) return embed(out, path, nullptr);
    FILE* input = std::fopen(path, "rb");
    bool written = embed(out, path, input);
    if (input) std::fclose(input);
    return written;
}

bool embed_stream(FILE* out, const char* name, FILE* input) {
    if (!out || !name) return false;
    if (xml_mode(current_mode)) {
        section_sum += embed_input_xml(out, name, input);
        return true;
    }
    return embed(out, name, input);
}

int32_t text_checksum(const char* text) {
    int32_t sum = 0;
    if (!text) return 0;
    for (const char* p = text; *p; ++p)
        sum += static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(*p)));
    return sum;
}

std::string printable_copy(const char* text) {
    std::string copy = text ? text : "";
    for (char& c : copy)
        if (c < 32 || c > 126) c = '?';
    return copy;
}

// ---- report_tree ----

report_tree::report_tree(FILE* out, const char* title) : out_(out), title_(title ? title : "") {
    if (text_mode(current_mode)) {
        std::string rule(title_.size(), '-');
        std::fprintf(out_, "%s\n%s\n%s\n", rule.c_str(), title_.c_str(), rule.c_str());
    } else if (current_mode == 1) {
        open_element(out_, title_.c_str());
    } else if (current_mode == 4) {
        open_element(out_, "TREE", title_.c_str());
    }
}

report_tree::~report_tree() {
    section_sum += checksums_[0];
    if (text_mode(current_mode)) {
        std::fputs("\n", out_);
    } else if (current_mode == 1) {
        close_element(out_, title_.c_str());
    } else if (current_mode == 4) {
        write_element(out_, "CHK", hex4_lower(checksums_[0]).c_str());
        close_element(out_, "TREE");
    }
    for (auto& name : names_) name.clear();
}

void report_tree::rebuild_indent() {
    indent_.assign(static_cast<size_t>(depth_) * 2, ' ');
}

// Opens one level; value null means a node without value. Deeper than
// max_depth levels are refused so the fixed arrays are never overrun.
void report_tree::open_level(const char* name, const char* value) {
    if (depth_ >= max_depth) return;
    if (!name) name = "";
    if (text_mode(current_mode)) {
        if (value)
            std::fprintf(out_, "%s%s: %s\n", indent_.c_str(), name, value);
        else
            std::fprintf(out_, "%s%s\n", indent_.c_str(), name);
    } else if (xml_mode(current_mode)) {
        names_[depth_] = name;
        open_element(out_, name, value);
    }
    ++depth_;
    rebuild_indent();
    checksums_[depth_] = 0;
}

void report_tree::open_node(const char* name) { open_level(name, nullptr); }

void report_tree::open_node_with_value(const char* name, const char* value) {
    open_level(name, value ? value : "");
}

void report_tree::close_node() {
    if (depth_ == 0) return;
    --depth_;
    rebuild_indent();
    if (current_mode == 1) {
        close_element(out_, names_[depth_].c_str());
    } else if (current_mode == 4) {
        uint16_t closing = checksums_[depth_ + 1];
        write_element(out_, "CHK", hex4_lower(closing).c_str());
        checksums_[depth_] = static_cast<uint16_t>(checksums_[depth_] + closing);
        close_element(out_, names_[depth_].c_str());
    }
    names_[depth_].clear();
}

void report_tree::leaf(const char* key, const char* value) {
    if (!key) key = "";
    if (!value) value = "";
    if (text_mode(current_mode)) {
        std::fprintf(out_, "%s%s: %s\n", indent_.c_str(), key, value);
    } else if (xml_mode(current_mode)) {
        write_element(out_, key, value);
        if (current_mode == 4)
            checksums_[depth_] = static_cast<uint16_t>(
                checksums_[depth_] + text_checksum(xml_valid_text(value).c_str()));
    }
}

void report_tree::aligned_leaf(const char* element, const char* label, const char* value, int width) {
    if (!label) label = "";
    if (!value) value = "";
    if (width < 0) width = 0;
    if (text_mode(current_mode)) {
        char format[64];
        std::snprintf(format, sizeof format, "%%s%%-%d.%ds: %%s\n", width, width);
        std::fprintf(out_, format, indent_.c_str(), label, value);
    } else if (xml_mode(current_mode)) {
        write_value_element(out_, element, label, 0, value);
        if (current_mode == 4)
            checksums_[depth_] = static_cast<uint16_t>(
                checksums_[depth_] + text_checksum(xml_valid_text(value).c_str()));
    }
}

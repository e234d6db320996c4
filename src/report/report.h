// The report document: output mode, sections, embedded files, trees and checksums.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Output modes: 0 plain text boxes, 1 XML named after titles, 2 nothing,
// 3 plain text lists, 4 XML with fixed names and checksums.
void set_output_mode(int32_t mode);
int32_t output_mode();
bool element_prefix();
uint32_t section_checksum();
uint32_t document_checksum();
// Adds to the checksum of the open section (tables, trees and files call it).
void add_section_checksum(uint32_t value);
// Resets all process-wide report state to its start values (tests use it).
void reset_report_state();

void begin_section(FILE* out, const char* title);
void end_section(FILE* out);

// Copies the file at path into the report under its path.
bool embed_file(FILE* out, const char* path);
// Copies an open input to its end into the report under name; input stays open.
// Both mask secrets on the way in (report/secret_scrubber.h), so whatever
// probe embeds a file or a command's output, no known secret reaches the
// report, and the checksums cover the masked text.
bool embed_stream(FILE* out, const char* name, FILE* input);

// Sum of the characters as signed 8-bit values widened to unsigned 16-bit.
int32_t text_checksum(const char* text);
// Copy with every character outside blank..tilde replaced by '?'.
std::string printable_copy(const char* text);

// A titled tree of nodes with key/value leaves.
class report_tree {
public:
    report_tree(FILE* out, const char* title);
    ~report_tree();
    report_tree(const report_tree&) = delete;
    report_tree& operator=(const report_tree&) = delete;

    void open_node(const char* name);
    void open_node_with_value(const char* name, const char* value);
    void close_node();
    void leaf(const char* key, const char* value);
    void aligned_leaf(const char* element, const char* label, const char* value, int width);

    static constexpr int max_depth = 20;

private:
    void open_level(const char* name, const char* value);
    void rebuild_indent();

    FILE* out_;
    std::string title_;
    int depth_ = 0;
    std::string indent_;
    std::string names_[max_depth + 1];
    uint16_t checksums_[max_depth + 1] = {};
};

// Reads a mode-4 report back as a stream of events: sections, tables with
// their rows and typed cells, embedded files in pieces, trees, and the
// verdict of every checksum the document carries. It is built on the
// streaming XML tokenizer, so memory stays bounded whatever the report's
// size: cell and leaf values are kept up to a limit (longer ones arrive cut,
// flagged, with their checksum still taken over the whole value) and file
// contents pass through in pieces.
//
// Every event keeps the raw element name, ID and attribute values, so a
// caller can write the document again from the events alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/xml_reader.h"

enum class report_event_kind {
    document_start,   // the root element
    version,          // the version element's text
    section_start,
    section_end,      // checksum: the section's CHK
    table_start,
    table_columns,    // the COLS text
    row_start,        // id: the row key
    cell,             // name: the cell kind (STR, ASC, DEC, HEX, BOOL), id: column, width, text
    row_end,          // checksum: the row's CHK
    table_end,        // checksum, rows, rows_match, declared_rows
    file_start,       // id: the file's name
    file_data,        // text: the next piece of the file's bytes
    file_end,         // checksum, size
    tree_start,
    tree_node_start,  // name and optional id of a node that has children
    tree_leaf,        // name, optional id and text of a leaf
    tree_node_end,    // checksum of the node's level
    tree_end,         // checksum of the tree's top level
    other_start,      // an element the report form does not know here
    other_text,
    other_end,
    document_end,     // checksum: the document CHK (present false when it has none)
    done,             // the document ended well-formed
    error,            // not well-formed; see error()
};

enum class checksum_status { ok, missing, mismatch };

struct report_checksum {
    checksum_status status = checksum_status::missing;
    bool present = false;  // a CHK element was there (it may still be unreadable)
    uint32_t stored = 0;
    uint32_t computed = 0;
    bool ok() const { return status == checksum_status::ok; }
};

struct report_event {
    report_event_kind kind = report_event_kind::done;
    std::string_view name;  // the element name as written
    std::string_view id;    // the ID attribute
    bool has_id = false;
    int width = -1;         // the W attribute, -1 when absent
    const std::vector<xml_attribute>* attributes = nullptr;  // all attributes, first attribute_count
    size_t attribute_count = 0;
    std::string_view text;
    bool text_cut = false;  // the value was longer than the limit; text holds its start
    report_checksum checksum;
    long rows = 0;          // table_end: rows read
    bool rows_match = true; // table_end: the ROWS element says the same
    std::string_view declared_rows;
    uint64_t size = 0;      // file_end: bytes of the file
    uint64_t offset = 0;    // where the element starts in the document
    int depth = 0;          // tree events: level below the tree (1 for its children)
};

struct report_limits {
    xml_limits xml;
    size_t max_value = 1u << 20;  // longest cell, leaf, version or CHK text kept
};

class report_reader {
public:
    explicit report_reader(FILE* in, const report_limits& limits = {});
    report_reader(const report_reader&) = delete;
    report_reader& operator=(const report_reader&) = delete;

    report_event_kind next();
    const report_event& event() const { return event_; }
    // After an end event whose checksum or row count is wrong: where it is,
    // for example: section "S" table "T" row 3.
    const std::string& where() const { return where_; }
    const std::string& error() const { return xml_.error(); }

    int sections() const { return sections_; }
    int tables() const { return tables_; }
    int rows() const { return rows_; }
    int files() const { return files_; }
    // Column names and values of the first row of the first table of the
    // first section: the system summary.
    const std::vector<std::pair<std::string, std::string>>& summary() const { return summary_; }

private:
    enum class role { root, version, section, table, cols, rows, row, cell, chk, file, tree, tree_element, other };

    struct frame {
        role kind = role::other;
        std::string name;
        std::string id;
        bool has_id = false;
        int width = -1;
        std::vector<xml_attribute> attributes;
        size_t attribute_count = 0;
        uint64_t offset = 0;
        uint32_t sum = 0;        // checksum of what the element holds
        uint16_t text_sum = 0;   // checksum of its own text
        std::string text;
        bool text_cut = false;
        std::string chk;
        bool has_chk = false;
        std::string rows_text;
        bool has_rows = false;
        long count = 0;          // tables: rows so far; rows: their number in the table
        uint64_t size = 0;
        bool has_child = false;
        int tree_depth = 0;
    };

    role role_of(const std::string& name) const;
    void on_start();
    void on_text(bool cdata);
    void on_end();
    report_event& emit(report_event_kind kind, const frame& f);
    report_checksum compare(const frame& f, uint32_t computed) const;
    void note_where(const report_checksum& c, bool rows_match);
    void keep_summary(const frame& cell);

    xml_reader xml_;
    report_limits limits_;
    std::vector<frame> frames_;  // storage reused; depth_ of them are open
    int depth_ = 0;
    report_event queue_[2];
    int queued_ = 0;
    int served_ = 0;
    report_event event_;
    std::string where_;
    int sections_ = 0;
    int tables_ = 0;
    int rows_ = 0;
    int files_ = 0;
    std::vector<std::pair<std::string, std::string>> summary_;
    bool summary_open_ = false;
    bool summary_done_ = false;
};

// Whether the event ends an element that carries a checksum (and, for a
// table, a row count) which the reader compared.
bool carries_checksum(report_event_kind kind);

// Reads a CHK text: optional leading blanks and a hexadecimal number.
bool read_checksum_text(const std::string& text, uint32_t* value);

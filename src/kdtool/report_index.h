// A first pass over a report that keeps what the commands need to know
// before they write anything: each section and each table, file and tree in
// it, whether its checksum matches, its size, and the system summary. It
// holds a few numbers per item, never their contents.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class item_kind : char { table = 't', file = 'f', tree = 'r' };

struct index_item {
    item_kind kind = item_kind::table;
    bool ok = true;        // its checksum (and row count) match
    long rows = 0;         // tables
    uint64_t size = 0;     // files: bytes; tables: bytes of cell text
    uint64_t hash = 0;     // with contents: a hash of what it holds
    std::string id;        // with ids
};

struct index_section {
    std::string id;
    bool ok = true;
    uint64_t hash = 0;     // with contents
    size_t first_item = 0; // its items are items[first_item, first_item + item_count)
    size_t item_count = 0;
};

struct report_index {
    std::vector<index_section> sections;
    std::vector<index_item> items;
    std::vector<std::pair<std::string, std::string>> summary;
    std::string version;
    bool document_ok = true;
    int mismatches = 0;    // checksums that do not match, rows and tree nodes included
    std::string error;     // not well-formed: the reader's message
};

struct index_options {
    bool ids = false;      // keep section, table and file names
    bool hashes = false;   // hash contents, so equal items need no second look
};

// Reads the report at path; false with index->error set when it cannot be
// read or is not well-formed.
bool build_report_index(const std::string& path, const index_options& options, report_index* index);

struct kdtool_io;
struct report_source;
class workspace;
// Finds the report behind name (open_report_source) and indexes it; prints
// the problem and gives exit_damaged when either fails.
int open_indexed_report(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                        const index_options& options, report_source* source, report_index* index);

// The first section is the system summary alone: one table of one row.
bool summary_section_alone(const report_index& index);

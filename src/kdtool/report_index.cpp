#include "kdtool/report_index.h"

#include <cstdio>

#include "kdtool/kdtool_io.h"
#include "report/report_reader.h"

namespace {

constexpr uint64_t fnv_offset = 1469598103934665603ull;
constexpr uint64_t fnv_prime = 1099511628211ull;

void hash_bytes(uint64_t& h, std::string_view bytes) {
    for (unsigned char c : bytes) h = (h ^ c) * fnv_prime;
}

// Hashes a field and a separator that cannot occur in text.
void hash_field(uint64_t& h, std::string_view bytes) {
    hash_bytes(h, bytes);
    h = (h ^ 0x100) * fnv_prime;
}

bool ends_item(report_event_kind kind) {
    return kind == report_event_kind::table_end || kind == report_event_kind::file_end ||
           kind == report_event_kind::tree_end;
}

}  // namespace

bool build_report_index(const std::string& path, const index_options& options, report_index* index) {
    *index = report_index{};
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        index->error = "cannot be read";
        return false;
    }
    report_reader reader(in);
    uint64_t item_hash = fnv_offset;
    bool hashes = options.hashes;
    for (;;) {
        report_event_kind kind = reader.next();
        if (kind == report_event_kind::error) {
            index->error = "not well-formed: " + reader.error();
            std::fclose(in);
            return false;
        }
        if (kind == report_event_kind::done) break;
        const report_event& e = reader.event();
        switch (kind) {
        case report_event_kind::version: index->version = e.text; break;
        case report_event_kind::section_start: {
            index_section s;
            if (options.ids) s.id = e.id;
            s.first_item = index->items.size();
            s.hash = fnv_offset;
            index->sections.push_back(std::move(s));
            break;
        }
        case report_event_kind::table_start:
        case report_event_kind::file_start:
        case report_event_kind::tree_start: {
            if (index->sections.empty()) break;  // outside any section: not shown
            index_item item;
            item.kind = kind == report_event_kind::table_start ? item_kind::table
                        : kind == report_event_kind::file_start ? item_kind::file
                                                                : item_kind::tree;
            if (options.ids) item.id = e.id;
            index->items.push_back(std::move(item));
            index->sections.back().item_count++;
            item_hash = fnv_offset;
            break;
        }
        case report_event_kind::row_start:
        case report_event_kind::tree_node_start:
            if (hashes) hash_field(item_hash, e.id);
            break;
        case report_event_kind::cell:
        case report_event_kind::tree_leaf:
            if (hashes) {
                hash_field(item_hash, e.name);
                hash_field(item_hash, e.id);
                hash_field(item_hash, e.text);
            }
            if (!index->sections.empty() && index->sections.back().item_count > 0)
                index->items.back().size += e.text.size();
            break;
        case report_event_kind::file_data:
            if (hashes) hash_bytes(item_hash, e.text);
            break;
        case report_event_kind::row_end:
            if (hashes) hash_field(item_hash, "/row");
            if (!e.checksum.ok()) index->mismatches++;
            break;
        case report_event_kind::tree_node_end:
            if (hashes) hash_field(item_hash, "/node");
            if (!e.checksum.ok()) index->mismatches++;
            break;
        case report_event_kind::section_end:
            if (!index->sections.empty() && !e.checksum.ok()) {
                index->sections.back().ok = false;
                index->mismatches++;
            }
            break;
        case report_event_kind::document_end:
            index->document_ok = e.checksum.ok();
            if (!e.checksum.ok()) index->mismatches++;
            break;
        default:
            break;
        }
        if (ends_item(kind) && !index->sections.empty() && index->sections.back().item_count > 0) {
            index_item& item = index->items.back();
            item.ok = e.checksum.ok() && e.rows_match;
            if (!item.ok) index->mismatches++;
            if (kind == report_event_kind::table_end) item.rows = e.rows;
            if (kind == report_event_kind::file_end) item.size = e.size;
            item.hash = item_hash;
            index_section& s = index->sections.back();
            uint64_t h = s.hash;
            hash_field(h, std::string_view(reinterpret_cast<const char*>(&item.kind), 1));
            hash_field(h, item.id);
            hash_bytes(h, std::string_view(reinterpret_cast<const char*>(&item_hash), sizeof item_hash));
            s.hash = h;
        }
    }
    index->summary = reader.summary();
    std::fclose(in);
    return true;
}

bool summary_section_alone(const report_index& index) {
    if (index.sections.empty() || index.summary.empty()) return false;
    const index_section& first = index.sections[0];
    return first.item_count == 1 && index.items[first.first_item].kind == item_kind::table &&
           index.items[first.first_item].rows == 1;
}

int open_indexed_report(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                        const index_options& options, report_source* source, report_index* index) {
    int rc = open_report_source(ws, name, tag, io, source);
    if (rc != exit_good) return rc;
    if (!build_report_index(source->path, options, index)) return kdtool_fail(io, name + ": " + index->error);
    return exit_good;
}

#include "report/report_reader.h"

#include <cstdlib>

namespace {

// One byte's share of a text checksum: the character as a signed 8-bit value
// widened to unsigned 16 bits. Sums wrap at 16 bits like the row checksums.
inline uint16_t text_share(unsigned char c) {
    return static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(c)));
}

uint16_t add16(uint32_t a, uint32_t b) { return static_cast<uint16_t>(a + b); }

constexpr size_t summary_cells = 64;
constexpr size_t summary_value = 4096;

}  // namespace

bool carries_checksum(report_event_kind kind) {
    switch (kind) {
    case report_event_kind::row_end:
    case report_event_kind::table_end:
    case report_event_kind::file_end:
    case report_event_kind::tree_node_end:
    case report_event_kind::tree_end:
    case report_event_kind::section_end:
    case report_event_kind::document_end:
        return true;
    default:
        return false;
    }
}

bool read_checksum_text(const std::string& text, uint32_t* value) {
    const char* start = text.c_str();
    while (*start == ' ') ++start;
    if (!*start) return false;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(start, &end, 16);
    if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

report_reader::report_reader(FILE* in, const report_limits& limits)
    : xml_(in, limits.xml), limits_(limits), frames_(static_cast<size_t>(limits.xml.max_depth) + 1) {}

report_reader::role report_reader::role_of(const std::string& name) const {
    if (depth_ == 0) return role::root;
    role parent = frames_[depth_ - 1].kind;
    switch (parent) {
    case role::root:
        if (name == "SECTION") return role::section;
        if (name == "SIFTERRA_VERSION") return role::version;
        return name == "CHK" ? role::chk : role::other;
    case role::section:
        if (name == "TABLE") return role::table;
        if (name == "FILE") return role::file;
        if (name == "TREE") return role::tree;
        return name == "CHK" ? role::chk : role::other;
    case role::table:
        if (name == "ROW") return role::row;
        if (name == "COLS") return role::cols;
        if (name == "ROWS") return role::rows;
        return name == "CHK" ? role::chk : role::other;
    case role::row:
        return name == "CHK" ? role::chk : role::cell;
    case role::file:
        return name == "CHK" ? role::chk : role::other;
    case role::tree:
    case role::tree_element:
        return name == "CHK" ? role::chk : role::tree_element;
    default:
        return role::other;
    }
}

report_event& report_reader::emit(report_event_kind kind, const frame& f) {
    report_event& e = queue_[queued_++];
    e = report_event{};
    e.kind = kind;
    e.name = f.name;
    e.id = f.id;
    e.has_id = f.has_id;
    e.width = f.width;
    e.attributes = &f.attributes;
    e.attribute_count = f.attribute_count;
    e.offset = f.offset;
    e.depth = f.tree_depth;
    return e;
}

report_checksum report_reader::compare(const frame& f, uint32_t computed) const {
    report_checksum c;
    c.computed = computed;
    c.present = f.has_chk;
    if (!f.has_chk || !read_checksum_text(f.chk, &c.stored))
        c.status = checksum_status::missing;
    else
        c.status = c.stored == computed ? checksum_status::ok : checksum_status::mismatch;
    return c;
}

// Names the element being closed (the top frame) when something in it is wrong.
void report_reader::note_where(const report_checksum& c, bool rows_match) {
    where_.clear();
    if (c.ok() && rows_match) return;
    for (int i = 1; i < depth_; i++) {
        const frame& f = frames_[i];
        switch (f.kind) {
        case role::section: where_ += "section \"" + f.id + "\""; break;
        case role::table: where_ += " table \"" + f.id + "\""; break;
        case role::row: where_ += " row " + std::to_string(f.count); break;
        case role::file: where_ += " file \"" + f.id + "\""; break;
        case role::tree: where_ += " tree \"" + f.id + "\""; break;
        case role::tree_element: where_ += "/" + f.name; break;
        default: break;
        }
    }
    if (where_.empty()) where_ = "document";
}

void report_reader::keep_summary(const frame& cell) {
    if (summary_.size() >= summary_cells) return;
    summary_.emplace_back(cell.id.substr(0, summary_value), cell.text.substr(0, summary_value));
}

void report_reader::on_start() {
    if (depth_ > 0 && frames_[depth_ - 1].kind == role::tree_element) {
        frame& parent = frames_[depth_ - 1];
        if (!parent.has_child) {
            parent.has_child = true;
            emit(report_event_kind::tree_node_start, parent);
        }
    }
    role kind = role_of(xml_.name());
    frame& f = frames_[depth_];
    frame* parent = depth_ > 0 ? &frames_[depth_ - 1] : nullptr;
    f.kind = kind;
    f.name = xml_.name();
    f.attribute_count = xml_.attribute_count();
    if (f.attributes.size() < f.attribute_count) f.attributes.resize(f.attribute_count);
    f.has_id = false;
    f.id.clear();
    f.width = -1;
    for (size_t i = 0; i < f.attribute_count; i++) {
        const xml_attribute& a = xml_.attribute(i);
        f.attributes[i].name = a.name;
        f.attributes[i].value = a.value;
        if (a.name == "ID") {
            f.id = a.value;
            f.has_id = true;
        } else if (a.name == "W") {
            char* end = nullptr;
            long w = std::strtol(a.value.c_str(), &end, 10);
            if (!a.value.empty() && *end == '\0' && w >= 0 && w <= 1000000) f.width = static_cast<int>(w);
        }
    }
    f.offset = xml_.offset();
    f.sum = 0;
    f.text_sum = 0;
    f.text.clear();
    f.text_cut = false;
    f.chk.clear();
    f.has_chk = false;
    f.rows_text.clear();
    f.has_rows = false;
    f.count = 0;
    f.size = 0;
    f.has_child = false;
    f.tree_depth = 0;
    if (parent && (parent->kind == role::tree || parent->kind == role::tree_element))
        f.tree_depth = parent->tree_depth + 1;
    depth_++;

    switch (kind) {
    case role::root: emit(report_event_kind::document_start, f); break;
    case role::section:
        sections_++;
        emit(report_event_kind::section_start, f);
        break;
    case role::table:
        tables_++;
        emit(report_event_kind::table_start, f);
        break;
    case role::row:
        rows_++;
        f.count = ++parent->count;
        summary_open_ = !summary_done_ && sections_ == 1 && tables_ == 1 && f.count == 1;
        emit(report_event_kind::row_start, f);
        break;
    case role::file:
        files_++;
        emit(report_event_kind::file_start, f);
        break;
    case role::tree: emit(report_event_kind::tree_start, f); break;
    case role::other: emit(report_event_kind::other_start, f); break;
    default: break;
    }
}

void report_reader::on_text(bool cdata) {
    frame& f = frames_[depth_ - 1];
    std::string_view piece = xml_.text();
    switch (f.kind) {
    case role::cell:
    case role::tree_element:
        for (unsigned char c : piece) f.text_sum = add16(f.text_sum, text_share(c));
        [[fallthrough]];
    case role::version:
    case role::chk:
    case role::rows:
    case role::cols: {
        size_t room = limits_.max_value > f.text.size() ? limits_.max_value - f.text.size() : 0;
        if (piece.size() > room) f.text_cut = true;
        f.text.append(piece.substr(0, room));
        break;
    }
    case role::file:
        if (!cdata) break;
        for (unsigned char c : piece) f.sum += c;
        f.size += piece.size();
        emit(report_event_kind::file_data, f).text = piece;
        break;
    case role::other: emit(report_event_kind::other_text, f).text = piece; break;
    default: break;
    }
}

void report_reader::on_end() {
    frame& f = frames_[depth_ - 1];
    frame* parent = depth_ > 1 ? &frames_[depth_ - 2] : nullptr;
    report_checksum c;
    switch (f.kind) {
    case role::root:
        c = compare(f, f.sum);
        note_where(c, true);
        emit(report_event_kind::document_end, f).checksum = c;
        break;
    case role::version: emit(report_event_kind::version, f).text = f.text; break;
    case role::section:
        c = compare(f, f.sum);
        note_where(c, true);
        parent->sum += f.sum;
        emit(report_event_kind::section_end, f).checksum = c;
        break;
    case role::table: {
        bool match = f.has_rows && f.rows_text == std::to_string(f.count);
        c = compare(f, f.sum);
        note_where(c, match);
        parent->sum += f.sum;
        report_event& e = emit(report_event_kind::table_end, f);
        e.checksum = c;
        e.rows = f.count;
        e.rows_match = match;
        e.declared_rows = f.rows_text;
        break;
    }
    case role::cols: emit(report_event_kind::table_columns, f).text = f.text; break;
    case role::rows:
        parent->rows_text = f.text;
        parent->has_rows = true;
        break;
    case role::chk:
        parent->chk = f.text;
        parent->has_chk = true;
        break;
    case role::row:
        c = compare(f, f.sum);
        note_where(c, true);
        parent->sum = add16(parent->sum, f.sum);
        if (summary_open_) summary_done_ = true;
        summary_open_ = false;
        emit(report_event_kind::row_end, f).checksum = c;
        break;
    case role::cell: {
        parent->sum = add16(parent->sum, f.text_sum);
        if (summary_open_) keep_summary(f);
        report_event& e = emit(report_event_kind::cell, f);
        e.text = f.text;
        e.text_cut = f.text_cut;
        break;
    }
    case role::file: {
        c = compare(f, f.sum);
        note_where(c, true);
        parent->sum += f.sum;
        report_event& e = emit(report_event_kind::file_end, f);
        e.checksum = c;
        e.size = f.size;
        break;
    }
    case role::tree_element:
        if (f.has_child) {
            c = compare(f, f.sum);
            note_where(c, true);
            parent->sum = add16(parent->sum, f.sum);
            emit(report_event_kind::tree_node_end, f).checksum = c;
        } else {
            parent->sum = add16(parent->sum, f.text_sum);
            report_event& e = emit(report_event_kind::tree_leaf, f);
            e.text = f.text;
            e.text_cut = f.text_cut;
        }
        break;
    case role::tree:
        c = compare(f, f.sum);
        note_where(c, true);
        parent->sum += f.sum;
        emit(report_event_kind::tree_end, f).checksum = c;
        break;
    case role::other: emit(report_event_kind::other_end, f); break;
    }
    depth_--;
}

report_event_kind report_reader::next() {
    for (;;) {
        if (served_ < queued_) {
            event_ = queue_[served_++];
            return event_.kind;
        }
        queued_ = served_ = 0;
        switch (xml_.next()) {
        case xml_token::start: on_start(); break;
        case xml_token::end: on_end(); break;
        case xml_token::text: on_text(false); break;
        case xml_token::cdata: on_text(true); break;
        case xml_token::done:
            event_ = report_event{};
            event_.kind = report_event_kind::done;
            return event_.kind;
        case xml_token::error:
            event_ = report_event{};
            event_.kind = report_event_kind::error;
            return event_.kind;
        }
    }
}

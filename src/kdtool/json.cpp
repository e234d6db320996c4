// kdtool json: a report as one JSON document for scripts and databases,
// written while the report is read (nothing of it is held).
#include <cstdlib>
#include <unordered_map>

#include "kdtool/json_text.h"
#include "kdtool/kdtool_commands.h"
#include "report/report_reader.h"

namespace {

// Is the magnitude (decimal digits, no leading zero) at most limit?
bool at_most(std::string_view digits, std::string_view limit) {
    return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
}

// A decimal cell as a JSON number when it is a plain integer of 64 bits,
// else as text: parsers would round a longer one. A number that a double
// cannot hold exactly (beyond 2^53) has its exact digits beside it, "text".
void put_cell_value(FILE* out, std::string_view kind, std::string_view text) {
    if (kind == "DEC" && !text.empty()) {
        bool negative = text[0] == '-';
        std::string_view digits = negative ? text.substr(1) : text;
        bool integer = !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos &&
                       (digits[0] != '0' || digits.size() == 1) && !(negative && digits == "0");
        bool fits = integer && at_most(digits, negative ? "9223372036854775808" : "18446744073709551615");
        if (fits) {
            std::fwrite(text.data(), 1, text.size(), out);
            if (!at_most(digits, "9007199254740992")) {
                std::fputs(",\"text\":", out);
                put_json_string(out, text);
            }
            return;
        }
    }
    if (kind == "BOOL" && (text == "true" || text == "false")) {
        std::fwrite(text.data(), 1, text.size(), out);
        return;
    }
    put_json_string(out, text);
}

class json_writer {
public:
    explicit json_writer(FILE* out) : out_(out) {}
    void on(report_event_kind kind, const report_event& e);
    void finish(const report_reader& reader, const report_source& source);

private:
    // Starts a value in the current array or object.
    // Array elements start on a line of their own: one row per line.
    void separate() {
        if (first_.empty()) return;
        if (!first_.back()) std::fputc(',', out_);
        first_.back() = false;
        if (arrays_.back()) std::fputc('\n', out_);
    }
    void open(char bracket) {
        std::fputc(bracket, out_);
        first_.push_back(true);
        arrays_.push_back(bracket == '[');
    }
    void close(char bracket) {
        first_.pop_back();
        arrays_.pop_back();
        std::fputc(bracket, out_);
    }
    void key(std::string_view name) {
        separate();
        put_json_string(out_, name);
        std::fputc(':', out_);
    }
    void put_checksum(const report_checksum& c) {
        key("checksum_ok");
        std::fputs(c.ok() ? "true" : "false", out_);
    }
    void open_item(const char* kind, const report_event& e) {
        separate();
        open('{');
        key("kind");
        put_json_string(out_, kind);
        key("id");
        put_json_string(out_, e.id);
    }
    void open_sections() {
        if (sections_open_) return;
        key("sections");
        open('[');
        sections_open_ = true;
    }

    FILE* out_;
    std::vector<bool> first_;
    std::vector<bool> arrays_;
    bool sections_open_ = false;
    std::unordered_map<std::string, int> columns_;  // names used in the current row
    std::string column_;
};

void json_writer::on(report_event_kind kind, const report_event& e) {
    switch (kind) {
    case report_event_kind::document_start: open('{'); break;
    case report_event_kind::version:
        key("version");
        put_json_string(out_, e.text);
        break;
    case report_event_kind::section_start:
        open_sections();
        separate();
        open('{');
        key("id");
        put_json_string(out_, e.id);
        key("content");
        open('[');
        break;
    case report_event_kind::section_end:
        close(']');
        put_checksum(e.checksum);
        close('}');
        break;
    case report_event_kind::table_start:
        open_item("table", e);
        key("rows");
        open('[');
        break;
    case report_event_kind::row_start:
        separate();
        open('{');
        key("key");
        put_json_string(out_, e.id);
        key("cells");
        open('{');
        columns_.clear();
        break;
    case report_event_kind::cell: {
        // A column name that comes twice in a row gets " #2", " #3"...
        int seen = ++columns_[std::string(e.id)];
        column_.assign(e.id);
        if (seen > 1) column_ += " #" + std::to_string(seen);
        key(column_);
        open('{');
        key("type");
        put_json_string(out_, e.name);
        if (e.width >= 0) {
            key("width");
            std::fprintf(out_, "%d", e.width);
        }
        key("value");
        put_cell_value(out_, e.name, e.text);
        if (e.text_cut) {
            key("cut");
            std::fputs("true", out_);
        }
        close('}');
        break;
    }
    case report_event_kind::row_end:
        close('}');
        put_checksum(e.checksum);
        close('}');
        break;
    case report_event_kind::table_end:
        close(']');
        key("row_count");
        std::fprintf(out_, "%ld", e.rows);
        put_checksum(e.checksum);
        key("rows_match");
        std::fputs(e.rows_match ? "true" : "false", out_);
        close('}');
        break;
    case report_event_kind::file_start:
        open_item("file", e);
        key("text");
        std::fputc('"', out_);
        break;
    case report_event_kind::file_data:
        // The pieces of one JSON string.
        put_json_text(out_, e.text);
        break;
    case report_event_kind::file_end:
        std::fputc('"', out_);
        key("size");
        std::fprintf(out_, "%llu", static_cast<unsigned long long>(e.size));
        put_checksum(e.checksum);
        close('}');
        break;
    case report_event_kind::tree_start:
        open_item("tree", e);
        key("nodes");
        open('[');
        break;
    case report_event_kind::tree_node_start:
        separate();
        open('{');
        key("name");
        put_json_string(out_, e.name);
        if (e.has_id) {
            key("id");
            put_json_string(out_, e.id);
        }
        key("nodes");
        open('[');
        break;
    case report_event_kind::tree_leaf:
        separate();
        open('{');
        key("name");
        put_json_string(out_, e.name);
        if (e.has_id) {
            key("id");
            put_json_string(out_, e.id);
        }
        key("value");
        put_json_string(out_, e.text);
        close('}');
        break;
    case report_event_kind::tree_node_end:
    case report_event_kind::tree_end:
        close(']');
        put_checksum(e.checksum);
        close('}');
        break;
    case report_event_kind::document_end:
        open_sections();
        close(']');
        sections_open_ = false;
        put_checksum(e.checksum);
        break;
    default: break;
    }
}

void json_writer::finish(const report_reader& reader, const report_source& source) {
    if (source.from_container) {
        key("created");
        put_json_string(out_, stamp_text(source.stamp));
    }
    key("summary");
    open('{');
    for (const auto& [name, value] : reader.summary()) {
        key(name);
        put_json_string(out_, value);
    }
    close('}');
    close('}');
    std::fputc('\n', out_);
}

}  // namespace

int kdtool_json(const kdtool_args& args, const kdtool_io& io) {
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') return kdtool_usage(io);
    const std::string& name = args[0];
    workspace ws;
    report_source source;
    int rc = open_report_source(ws, name, "report", io, &source);
    if (rc != exit_good) return rc;
    FILE* in = std::fopen(source.path.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    report_reader reader(in);
    json_writer writer(io.out);
    report_event_kind kind;
    while ((kind = reader.next()) != report_event_kind::done && kind != report_event_kind::error)
        writer.on(kind, reader.event());
    std::fclose(in);
    if (kind == report_event_kind::error) {
        std::fputc('\n', io.out);
        return kdtool_fail(io, name + ": not well-formed: " + reader.error() + " (the JSON written is incomplete)");
    }
    writer.finish(reader, source);
    if (std::fflush(io.out) != 0 || std::ferror(io.out)) return kdtool_fail(io, "cannot write standard output");
    return exit_good;
}

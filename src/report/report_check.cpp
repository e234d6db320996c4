#include "report/report_check.h"

#include "report/report_reader.h"

namespace {

// The problem a wrong checksum or row count of the element just closed makes.
std::string checksum_problem(const report_reader& reader) {
    const report_event& e = reader.event();
    if (e.kind == report_event_kind::document_end && !e.checksum.present) return "no document checksum";
    if (e.kind == report_event_kind::table_end && !e.rows_match) return reader.where() + ": ROWS does not match";
    if (e.checksum.status == checksum_status::missing) return reader.where() + ": missing or unreadable CHK";
    char text[64];
    std::snprintf(text, sizeof text, ": CHK %X, computed %X", e.checksum.stored, e.checksum.computed);
    return reader.where() + text;
}

}  // namespace

report_check_result check_report_stream(FILE* in) {
    report_check_result result;
    report_reader reader(in);
    // The whole document is read even after a wrong checksum: damage to the
    // document itself is the more important news.
    std::string problem;
    for (;;) {
        report_event_kind kind = reader.next();
        if (kind == report_event_kind::error) {
            result.error = "not well-formed: " + reader.error();
            return result;
        }
        if (kind == report_event_kind::done) break;
        if (!problem.empty()) continue;
        const report_event& e = reader.event();
        if (kind == report_event_kind::document_start && e.name != "GATHERED_DATA")
            problem = "root element is <" + std::string(e.name) + ">";
        else if (carries_checksum(kind) && !(e.checksum.ok() && e.rows_match))
            problem = checksum_problem(reader);
    }
    result.sections = reader.sections();
    result.tables = reader.tables();
    result.rows = reader.rows();
    result.files = reader.files();
    result.ok = problem.empty();
    result.error = problem;
    return result;
}

report_check_result check_report(const std::string& document) {
    if (document.empty()) return check_report_stream(nullptr);
    FILE* in = fmemopen(const_cast<char*>(document.data()), document.size(), "rb");
    if (!in) {
        report_check_result result;
        result.error = "cannot read the document";
        return result;
    }
    report_check_result result = check_report_stream(in);
    std::fclose(in);
    return result;
}

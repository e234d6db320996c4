#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "kdtool/kdtool_commands.h"
#include "report/report_check.h"

namespace {

// Checks one item: a record as the writer makes it (flag 0 or 1, a stored
// item without compressed length), decoded to its recorded length from
// exactly its data.
bool verify_item(ContainerFile& c, const workspace& ws, int index, const std::string& out, std::string* problem) {
    ItemRecord r;
    std::string where = "item " + std::to_string(index) + " (id " + std::to_string(c.item_id(index)) + ")";
    if (c.read_record(index, &r) != 0) {
        *problem = where + ": record cannot be read";
        return false;
    }
    if (r.compressed_flag > 1 || (r.compressed_flag == 0 && r.compressed_length != 0)) {
        *problem = where + ": record is inconsistent (compressed flag " + std::to_string(r.compressed_flag) +
                   ", compressed length " + std::to_string(r.compressed_length) + ")";
        return false;
    }
    errno = 0;
    int status = c.extract_item(index, out.c_str());
    if (status != 0 && no_space_left(errno)) {
        *problem = where + ": cannot be checked: " + no_space_text(ws);
        return false;
    }
    if (status != 0) {
        *problem = where + ": cannot be decoded (status " + std::to_string(status) + ")";
        return false;
    }
    std::error_code ec;
    auto size = std::filesystem::file_size(out, ec);
    if (ec || size != r.uncompressed_length || !c.last_extract_exact()) {
        *problem = where + ": data does not match its recorded lengths";
        return false;
    }
    return true;
}

// The container's own structure: its stamp, nothing after the last item,
// every item sound, the version record first. Leaves the report at
// report_path and gives its item id (-1 when there is none).
int verify_structure(ContainerFile& c, const workspace& ws, const opened_container& opened,
                     std::vector<std::string>* problems, const std::string& report_path) {
    if (c.damaged()) problems->push_back(cut_text(c));
    if (!valid_date_stamp(c.creation_stamp()))
        problems->push_back("creation stamp is invalid (" + stamp_text(c.creation_stamp()) + ")");
    int64_t end = container_header_size;
    for (int i = 0; i < c.item_count(); i++) {
        ItemRecord r;
        if (c.read_record(i, &r) == 0) end = r.offset + item_record_size + r.data_length();
    }
    std::error_code ec;
    auto size = static_cast<int64_t>(std::filesystem::file_size(opened.copy_name, ec));
    if (!c.damaged() && !ec && size != end)
        problems->push_back(std::to_string(size - end) + " bytes follow the last item");

    int report_id = -1;
    for (int i = 0; i < c.item_count(); i++) {
        std::string out = ws.path("item");
        std::remove(out.c_str());
        std::string problem;
        bool sound = verify_item(c, ws, i, out, &problem);
        if (!sound) problems->push_back(problem);
        int id = c.item_id(i);
        std::string bytes;
        if (i == 0 && id != version_item_id) problems->push_back("no version record (id 16) as the first item");
        if (i == 0 && id == version_item_id) {
            if (sound && (!read_whole(out, &bytes) || version_text(bytes).empty()))
                problems->push_back("version record is damaged");
        } else if (sound && report_id < 0 && (id == xml_report_item_id || id == text_report_item_id)) {
            report_id = id;
            if (std::rename(out.c_str(), report_path.c_str()) != 0) problems->push_back("report item cannot be read");
        }
    }
    if (c.item_count() == 0 && !c.damaged()) problems->push_back("no version record (id 16) as the first item");
    return report_id;
}

// A plain report (the NAME.XML the collector keeps when packing failed)
// starts as XML, where a container starts with its magic.
bool is_plain_report(const std::string& name) {
    struct stat info;
    if (stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    FILE* in = std::fopen(name.c_str(), "rb");
    if (!in) return false;
    char start[5] = {};
    bool xml = std::fread(start, 1, sizeof start, in) == sizeof start && std::memcmp(start, "<?xml", 5) == 0;
    std::fclose(in);
    return xml;
}

// Verifies a plain report: every checksum in it; there is no container.
int verify_plain_report(const std::string& name, const kdtool_io& io) {
    FILE* report = std::fopen(name.c_str(), "rb");
    if (!report) return kdtool_fail(io, name + ": cannot be read");
    report_check_result check = check_report_stream(report);
    std::fclose(report);
    if (!check.ok) return kdtool_fail(io, name + ": report: " + check.error);
    std::fprintf(io.out, "%s: a plain report, no container\nreport: %d rows, %d tables, %d files, %d sections and the "
                 "document checksum match\n%s: OK\n", name.c_str(), check.rows, check.tables, check.files,
                 check.sections, name.c_str());
    return exit_good;
}

}  // namespace

int kdtool_verify(const kdtool_args& args, const kdtool_io& io) {
    if (args.size() != 1) return kdtool_usage(io);
    const std::string& name = args[0];
    if (is_plain_report(name)) return verify_plain_report(name, io);
    workspace ws;
    opened_container opened;
    opened.want_sha256 = true;
    int rc = open_container_copy(ws, name, "container", io, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    // The exact file received, for a case record, whatever the verdict.
    if (!opened.sha256.empty()) std::fprintf(io.out, "%s: SHA-256 %s\n", name.c_str(), opened.sha256.c_str());
    std::vector<std::string> problems;
    std::string report_path = ws.path("report");
    int report_id = verify_structure(c, ws, opened, &problems, report_path);

    std::string report_line;
    if (report_id == xml_report_item_id) {
        FILE* report = std::fopen(report_path.c_str(), "rb");
        report_check_result check;
        if (report) {
            check = check_report_stream(report);
            std::fclose(report);
        } else {
            check.error = "cannot be read";
        }
        if (!check.ok)
            problems.push_back("report: " + check.error);
        else
            report_line = "report: " + std::to_string(check.rows) + " rows, " + std::to_string(check.tables) +
                          " tables, " + std::to_string(check.files) + " files, " + std::to_string(check.sections) +
                          " sections and the document checksum match";
    } else if (report_id == text_report_item_id) {
        problems.push_back("report is plain text (id 254), which carries no checksums: not verifiable");
    } else {
        problems.push_back("no report item (id 15)");
    }

    for (const std::string& p : problems) std::fprintf(io.err, "kdtool: %s: %s\n", name.c_str(), p.c_str());
    if (!problems.empty()) return exit_damaged;
    std::fprintf(io.out, "%s: %d items decode to their recorded lengths\n%s\n%s: OK\n", name.c_str(), c.item_count(),
                 report_line.c_str(), name.c_str());
    return exit_good;
}

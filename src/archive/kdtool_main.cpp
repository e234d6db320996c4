// kdtool: reads and builds Sifterra container files for the support side.
// The file it is given is never changed: reading works on a private copy in
// a temporary directory (opening a container unseals it in place).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/container_file.h"
#include "base/fresh_file.h"
#include "base/run_context.h"
#include "report/report_check.h"

namespace {

constexpr const char* usage_text =
    "usage: kdtool list FILE\n"
    "       kdtool extract FILE [ID] [-o OUT]\n"
    "       kdtool verify FILE\n"
    "       kdtool pack OUT FILE[:ID]...\n";

constexpr int exit_good = 0;
constexpr int exit_damaged = 1;
constexpr int exit_usage = 2;

int usage() {
    std::fputs(usage_text, stderr);
    return exit_usage;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "kdtool: %s\n", message.c_str());
    return exit_damaged;
}

// A private directory under /tmp, removed with everything in it.
class Workspace {
public:
    Workspace() {
        char pattern[] = "/tmp/kdtool.XXXXXX";
        if (mkdtemp(pattern)) dir_ = pattern;
    }
    ~Workspace() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    bool ok() const { return !dir_.empty(); }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

bool read_whole(const std::string& name, std::string* bytes) {
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return false;
    bytes->clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes->append(buffer, got);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool write_whole(FILE* f, const std::string& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

// Writes bytes as the new file name. A plain file or a link already there is
// replaced, never written through; a folder, device or pipe (or a link to
// one) is left alone, so "-o /dev/null" cannot remove the device. False with
// the reason in problem.
bool write_output(const std::string& name, const std::string& bytes, std::string* problem) {
    struct stat info;
    if (lstat(name.c_str(), &info) == 0) {
        bool link = S_ISLNK(info.st_mode);
        struct stat target;
        bool special = link ? stat(name.c_str(), &target) == 0 && !S_ISREG(target.st_mode) : !S_ISREG(info.st_mode);
        if (special) {
            *problem = name + ": exists and is not a plain file (use - for standard output)";
            return false;
        }
    }
    FILE* f = fopen_fresh(name.c_str(), "wb");
    if (!f) {
        *problem = name + ": cannot be created: " + std::strerror(errno);
        return false;
    }
    bool written = write_whole(f, bytes);
    if (std::fclose(f) != 0 || !written) {
        std::remove(name.c_str());
        *problem = name + ": cannot be written";
        return false;
    }
    return true;
}

// Parses a decimal item id 0-255.
bool parse_id(const char* text, int* id) {
    if (!*text || std::strlen(text) > 3) return false;
    int value = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
    }
    if (value > 255) return false;
    *id = value;
    return true;
}

std::string open_failure(const std::string& name, int status) {
    switch (status) {
    case -2:
        return name + ": cannot be opened";
    case -5:
        return name + ": damaged: the container header is cut short";
    case -10:
        return name + ": not a container, or its sealed form is broken";
    default:
        return name + ": cannot be read (status " + std::to_string(status) + ")";
    }
}

// An opened private copy of the container named on the command line.
struct OpenedContainer {
    ContainerFile container;
    std::string copy_name;
    bool sealed = false;
};

int open_copy(const Workspace& ws, const std::string& name, OpenedContainer* opened) {
    if (!ws.ok()) return fail("cannot create a temporary directory");
    opened->copy_name = ws.path("container");
    std::string bytes;
    if (!read_whole(name, &bytes)) return fail(name + ": cannot be read");
    opened->sealed = bytes.compare(0, 9, "_KELDRFF_") == 0;
    std::string problem;
    if (!write_output(opened->copy_name, bytes, &problem)) return fail("cannot copy " + name + ": " + problem);
    opened->container.set_trace(nullptr);
    int status = opened->container.open(opened->copy_name.c_str());
    if (status != 0) return fail(open_failure(name, status));
    return exit_good;
}

// What a cut container lost, in one line.
std::string cut_text(const ContainerFile& c) {
    ItemRecord record;
    bool known = c.cut_record(&record);
    int index = c.item_count();
    if (index >= c.declared_item_count()) return "cut short: the sealed form ends inside an escape pair";
    std::string text = "cut short: item " + std::to_string(index) + " of " +
                       std::to_string(c.declared_item_count());
    if (known)
        return text + " (id " + std::to_string(record.id) + ") runs past the end of the file";
    return text + " has no complete record header";
}

// The version text of a sound version record: length 76, kind 1, a valid
// stamp and a text of printable characters followed only by zero bytes.
// Empty when anything of that is damaged.
std::string version_text(const std::string& record) {
    const auto* p = reinterpret_cast<const unsigned char*>(record.data());
    if (record.size() != version_record_size || p[0] != version_record_size || p[1] || p[2] || p[3] || p[4] != 1)
        return std::string();
    DateStamp stamp{p[5], p[6], p[7], p[8], p[9], static_cast<uint16_t>(p[10] | p[11] << 8)};
    if (!valid_date_stamp(stamp)) return std::string();
    std::string text = record.substr(12, 64);
    size_t end = text.find('\0');
    if (end == std::string::npos) end = text.size();
    if (end == 0 || text.find_first_not_of('\0', end) != std::string::npos) return std::string();
    for (size_t i = 0; i < end; i++)
        if (p[12 + i] < 32 || p[12 + i] > 126) return std::string();
    return text.substr(0, end);
}

std::string stamp_text(const DateStamp& s) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", s.year, s.month, s.day, s.hour, s.minute,
                  s.second);
    return text;
}

int list_command(const std::string& name) {
    Workspace ws;
    OpenedContainer opened;
    int rc = open_copy(ws, name, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    std::printf("%s: %s container, created %s, %d item%s\n", name.c_str(), opened.sealed ? "sealed" : "plain",
                stamp_text(c.creation_stamp()).c_str(), c.declared_item_count(),
                c.declared_item_count() == 1 ? "" : "s");
    std::printf("%5s %4s %10s %10s %10s\n", "index", "id", "compressed", "length", "stored");
    for (int i = 0; i < c.item_count(); i++) {
        ItemRecord r;
        if (c.read_record(i, &r) != 0) return fail(name + ": item " + std::to_string(i) + " cannot be read");
        std::printf("%5d %4d %10s %10u %10u\n", i, r.id, r.compressed_flag ? "yes" : "no", r.uncompressed_length,
                    r.data_length());
    }
    ItemRecord cut;
    if (c.damaged() && c.item_count() < c.declared_item_count()) {
        if (c.cut_record(&cut))
            std::printf("%5d %4d %10s %10u %10u  cut short\n", c.item_count(), cut.id,
                        cut.compressed_flag ? "yes" : "no", cut.uncompressed_length, cut.data_length());
        else
            std::printf("%5d %4s %10s %10s %10s  cut short\n", c.item_count(), "?", "?", "?", "?");
    }
    std::string record;
    std::string version_file = ws.path("version");
    if (c.extract_item_by_id(version_item_id, version_file.c_str()) == 0 && read_whole(version_file, &record)) {
        std::string text = version_text(record);
        std::printf("version: %s\n", text.empty() ? "(damaged version record)" : text.c_str());
    }
    if (c.damaged()) return fail(name + ": " + cut_text(c));
    return exit_good;
}

int extract_command(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string name = argv[2];
    int id = -1;
    const char* out_name = nullptr;
    for (int i = 3; i < argc; i++) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc && !out_name) {
            out_name = argv[++i];
        } else if (id < 0 && parse_id(argv[i], &id)) {
        } else {
            return usage();
        }
    }
    Workspace ws;
    OpenedContainer opened;
    int rc = open_copy(ws, name, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    // Items after a cut are gone; say so rather than that they never were.
    std::string missing_reason = c.damaged() ? " (" + cut_text(c) + ")" : std::string();
    if (id < 0) {
        for (int i = 0; i < c.item_count() && id < 0; i++) {
            if (c.item_id(i) == xml_report_item_id || c.item_id(i) == text_report_item_id) id = c.item_id(i);
        }
        if (id < 0) return fail(name + ": no report item (id 15 or 254)" + missing_reason);
    }
    std::string item_file = ws.path("item");
    int status = c.extract_item_by_id(id, item_file.c_str());
    if (status == -8) return fail(name + ": no item with id " + std::to_string(id) + missing_reason);
    if (status != 0) return fail(name + ": item " + std::to_string(id) + " cannot be extracted (status " +
                                 std::to_string(status) + ")");
    bool exact = c.last_extract_exact();

    std::string bytes;
    if (!read_whole(item_file, &bytes)) return fail("cannot read the extracted item");
    if (!out_name || std::strcmp(out_name, "-") == 0) {
        if (!write_whole(stdout, bytes) || std::fflush(stdout) != 0) return fail("cannot write standard output");
    } else {
        std::string problem;
        if (!write_output(out_name, bytes, &problem)) return fail(problem);
    }
    if (!exact) return fail(name + ": item " + std::to_string(id) + " is damaged: its data does not match its lengths");
    return exit_good;
}

// Checks one item: a record as the writer makes it (flag 0 or 1, a stored
// item without compressed length), decoded to its recorded length from
// exactly its data.
bool verify_item(ContainerFile& c, int index, const std::string& out, std::string* problem) {
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
    int status = c.extract_item(index, out.c_str());
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
// every item sound, the version record first. Gives the report's bytes and
// item id (-1 when there is none).
void verify_structure(ContainerFile& c, const Workspace& ws, const OpenedContainer& opened,
                      std::vector<std::string>* problems, std::string* report, int* report_id) {
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
    if (!c.damaged() && !ec && size != end) problems->push_back(std::to_string(size - end) + " bytes follow the last item");

    *report_id = -1;
    for (int i = 0; i < c.item_count(); i++) {
        std::string out = ws.path("item");
        std::string problem;
        bool sound = verify_item(c, i, out, &problem);
        if (!sound) problems->push_back(problem);
        int id = c.item_id(i);
        std::string bytes;
        if (i == 0 && id != version_item_id) problems->push_back("no version record (id 16) as the first item");
        if (i == 0 && id == version_item_id) {
            if (sound && (!read_whole(out, &bytes) || version_text(bytes).empty()))
                problems->push_back("version record is damaged");
        } else if (sound && *report_id < 0 && (id == xml_report_item_id || id == text_report_item_id)) {
            *report_id = id;
            if (!read_whole(out, report)) problems->push_back("report item cannot be read");
        }
    }
    if (c.item_count() == 0 && !c.damaged()) problems->push_back("no version record (id 16) as the first item");
}

int verify_command(const std::string& name) {
    Workspace ws;
    OpenedContainer opened;
    int rc = open_copy(ws, name, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    std::vector<std::string> problems;
    std::string report;
    int report_id = -1;
    verify_structure(c, ws, opened, &problems, &report, &report_id);

    std::string report_line;
    if (report_id == xml_report_item_id) {
        report_check_result check = check_report(report);
        if (!check.ok)
            problems.push_back("report: " + check.error);
        else
            report_line = "report: " + std::to_string(check.rows) + " rows, " + std::to_string(check.tables) +
                          " tables, " + std::to_string(check.files) + " files, " +
                          std::to_string(check.sections) + " sections and the document checksum match";
    } else if (report_id == text_report_item_id) {
        problems.push_back("report is plain text (id 254), which carries no checksums: not verifiable");
    } else {
        problems.push_back("no report item (id 15)");
    }

    for (const std::string& p : problems) std::fprintf(stderr, "kdtool: %s: %s\n", name.c_str(), p.c_str());
    if (!problems.empty()) return exit_damaged;
    std::printf("%s: %d items decode to their recorded lengths\n%s\n%s: OK\n", name.c_str(), c.item_count(),
                report_line.c_str(), name.c_str());
    return exit_good;
}

struct PackInput {
    std::string path;
    int id = xml_report_item_id;
};

// "FILE:ID" when the text after the last colon is an id, else the whole FILE.
PackInput parse_pack_input(const std::string& arg) {
    PackInput in;
    in.path = arg;
    size_t colon = arg.rfind(':');
    int id;
    if (colon != std::string::npos && colon > 0 && parse_id(arg.c_str() + colon + 1, &id)) {
        in.path = arg.substr(0, colon);
        in.id = id;
    }
    return in;
}

int pack_command(int argc, char** argv) {
    if (argc < 4) return usage();
    std::string out_name = absolute(argv[2]);
    std::vector<PackInput> inputs;
    for (int i = 3; i < argc; i++) {
        PackInput in = parse_pack_input(argv[i]);
        // The container reads its inputs without following links, so the
        // name given is resolved here.
        char* resolved = access(in.path.c_str(), R_OK) == 0 ? realpath(in.path.c_str(), nullptr) : nullptr;
        if (!resolved) return fail(in.path + ": cannot be read");
        in.path = resolved;
        std::free(resolved);
        inputs.push_back(in);
    }
    if (inputs.size() + 1 > static_cast<size_t>(max_container_items)) return fail("too many files for one container");

    // The container writes its temporary files in the working directory.
    Workspace ws;
    if (!ws.ok()) return fail("cannot create a temporary directory");
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(ws.dir().c_str()) != 0) return fail("cannot enter a temporary directory");
    std::string packed = ws.path("packed.KD2");
    int rc = exit_good;
    {
        ContainerFile c;
        int item_status = 0;
        int status = c.create(packed.c_str());
        if (status == 0) status = c.write_version_record(sifterra_version, &item_status);
        if (status == 0) status = item_status;
        if (status != 0) rc = fail("cannot create the container (status " + std::to_string(status) + ")");
        for (size_t i = 0; rc == exit_good && i < inputs.size(); i++) {
            status = c.add_item(inputs[i].id, inputs[i].path.c_str(), true);
            if (status != 0) rc = fail(inputs[i].path + ": cannot be added (status " + std::to_string(status) + ")");
        }
        if (c.close() != 0 && rc == exit_good) rc = fail("cannot write the container");
        if (rc == exit_good && (status = ContainerFile::seal(packed.c_str())) != 0)
            rc = fail("cannot seal the container (status " + std::to_string(status) + ")");
    }
    if (chdir(cwd) != 0) return fail("cannot return to the working directory");
    if (rc != exit_good) return rc;
    std::string bytes;
    std::string problem;
    if (!read_whole(packed, &bytes)) return fail("cannot read the packed container");
    if (!write_output(out_name, bytes, &problem)) return fail(problem);
    std::printf("%s: sealed container with %zu items\n", argv[2], inputs.size() + 1);
    return exit_good;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string command = argv[1];
    if (command == "list" && argc == 3) return list_command(argv[2]);
    if (command == "extract") return extract_command(argc, argv);
    if (command == "verify" && argc == 3) return verify_command(argv[2]);
    if (command == "pack") return pack_command(argc, argv);
    return usage();
}

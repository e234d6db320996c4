#include "kdtool/kdtool_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/fresh_file.h"
#include "base/run_context.h"

namespace {

constexpr const char* usage_text =
    "usage: kdtool list FILE\n"
    "       kdtool extract FILE [ID] [-o OUT]\n"
    "       kdtool verify FILE\n"
    "       kdtool pack OUT FILE[:ID]...\n"
    "       kdtool show FILE [--section NAME]... [--full] [--width COLUMNS]\n"
    "       kdtool html FILE -o OUT.html\n"
    "       kdtool diff A B [--full] [--all] [--json] [--section NAME]... [--ignore-section NAME]...\n"
    "       kdtool json FILE\n"
    "       kdtool findings FILE [--json]\n"
    "       kdtool clean IN OUT [--hostname NAME]... [--keyword WORD]... [--map MAP]\n"
    "       kdtool summary [--csv | --json] FILE|DIR...\n";

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

}  // namespace

int kdtool_fail(const kdtool_io& io, const std::string& message) {
    std::fprintf(io.err, "kdtool: %s\n", message.c_str());
    return exit_damaged;
}

int kdtool_usage(const kdtool_io& io) {
    std::fputs(usage_text, io.err);
    return exit_usage;
}

workspace::workspace() {
    char pattern[] = "/tmp/kdtool.XXXXXX";
    if (mkdtemp(pattern)) dir_ = pattern;
}

workspace::~workspace() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

FILE* open_output(const std::string& name, std::string* problem) {
    struct stat info;
    if (lstat(name.c_str(), &info) == 0) {
        bool link = S_ISLNK(info.st_mode);
        struct stat target;
        bool special = link ? stat(name.c_str(), &target) == 0 && !S_ISREG(target.st_mode) : !S_ISREG(info.st_mode);
        if (special) {
            *problem = name + ": exists and is not a plain file (use - for standard output)";
            return nullptr;
        }
    }
    FILE* f = fopen_fresh(name.c_str(), "wb");
    if (!f) *problem = name + ": cannot be created: " + std::strerror(errno);
    return f;
}

bool close_output(FILE* f, const std::string& name, bool written, std::string* problem) {
    written = std::fflush(f) == 0 && !std::ferror(f) && written;
    if (std::fclose(f) != 0 || !written) {
        std::remove(name.c_str());
        *problem = name + ": cannot be written";
        return false;
    }
    return true;
}

bool copy_stream(FILE* in, FILE* out) {
    auto buffer = std::make_unique<char[]>(65536);
    size_t got;
    while ((got = std::fread(buffer.get(), 1, 65536, in)) > 0)
        if (std::fwrite(buffer.get(), 1, got, out) != got) return false;
    return !std::ferror(in);
}

bool copy_to_output(const std::string& source, const std::string& name, std::string* problem) {
    FILE* in = std::fopen(source.c_str(), "rb");
    if (!in) {
        *problem = source + ": cannot be read";
        return false;
    }
    FILE* out = open_output(name, problem);
    if (!out) {
        std::fclose(in);
        return false;
    }
    bool copied = copy_stream(in, out);
    std::fclose(in);
    return close_output(out, name, copied, problem);
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

bool parse_item_id(const char* text, int* id) {
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

std::string stamp_text(const DateStamp& s) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", s.year, s.month, s.day, s.hour, s.minute,
                  s.second);
    return text;
}

// A sound record has length 76, kind 1, a valid stamp and a text of
// printable characters followed only by zero bytes.
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

std::string cut_text(const ContainerFile& c) {
    ItemRecord record;
    bool known = c.cut_record(&record);
    int index = c.item_count();
    if (index >= c.declared_item_count()) return "cut short: the sealed form ends inside an escape pair";
    std::string text = "cut short: item " + std::to_string(index) + " of " +
                       std::to_string(c.declared_item_count());
    if (known) return text + " (id " + std::to_string(record.id) + ") runs past the end of the file";
    return text + " has no complete record header";
}

namespace {

// Writes the creation stamp into the header of a closed plain container.
bool set_creation_stamp(const std::string& packed, const DateStamp& s) {
    FILE* f = fopen_no_follow(packed.c_str(), "r+b");
    if (!f) return false;
    const unsigned char bytes[7] = {s.hour, s.minute, s.second, s.day, s.month, static_cast<unsigned char>(s.year & 0xFF),
                                    static_cast<unsigned char>(s.year >> 8)};
    bool written = std::fseek(f, 10, SEEK_SET) == 0 && std::fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes;
    return std::fclose(f) == 0 && written;
}

int pack_items(const std::string& packed, const std::vector<container_item>& items, const kdtool_io& io,
               const std::string& version_record, const DateStamp* stamp) {
    ContainerFile c;
    int item_status = 0;
    int status = c.create(packed.c_str());
    if (status == 0 && version_record.empty())
        status = c.write_version_record(sifterra_version, &item_status);
    else if (status == 0)
        item_status = c.add_item(version_item_id, version_record.c_str(), true);
    if (status == 0) status = item_status;
    int rc = exit_good;
    if (status != 0) rc = kdtool_fail(io, "cannot create the container (status " + std::to_string(status) + ")");
    for (size_t i = 0; rc == exit_good && i < items.size(); i++) {
        status = c.add_item(items[i].id, items[i].path.c_str(), true);
        if (status != 0)
            rc = kdtool_fail(io, items[i].path + ": cannot be added (status " + std::to_string(status) + ")");
    }
    if (c.close() != 0 && rc == exit_good) rc = kdtool_fail(io, "cannot write the container");
    if (rc == exit_good && stamp && !set_creation_stamp(packed, *stamp)) rc = kdtool_fail(io, "cannot write the container");
    if (rc == exit_good && (status = ContainerFile::seal(packed.c_str())) != 0)
        rc = kdtool_fail(io, "cannot seal the container (status " + std::to_string(status) + ")");
    return rc;
}

}  // namespace

int build_sealed_container(const workspace& ws, const std::string& packed, const std::vector<container_item>& items,
                           const kdtool_io& io, const std::string& version_record, const DateStamp* stamp) {
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    if (items.size() + 1 > static_cast<size_t>(max_container_items))
        return kdtool_fail(io, "too many files for one container");
    // The container writes its temporary files in the working directory.
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(ws.dir().c_str()) != 0)
        return kdtool_fail(io, "cannot enter a temporary directory");
    int rc = pack_items(packed, items, io, version_record, stamp);
    if (chdir(cwd) != 0) return kdtool_fail(io, "cannot return to the working directory");
    return rc;
}

int open_container_copy(const workspace& ws, const std::string& name, const std::string& copy_name,
                        const kdtool_io& io, opened_container* opened) {
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    opened->copy_name = ws.path(copy_name);
    FILE* in = std::fopen(name.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    char magic[9] = {};
    opened->sealed = std::fread(magic, 1, sizeof magic, in) == sizeof magic && std::memcmp(magic, "_KELDRFF_", 9) == 0;
    std::rewind(in);
    std::string problem;
    FILE* out = open_output(opened->copy_name, &problem);
    bool copied = out && copy_stream(in, out);
    bool read_failed = std::ferror(in);
    std::fclose(in);
    if (!out) return kdtool_fail(io, "cannot copy " + name + ": " + problem);
    if (!close_output(out, opened->copy_name, copied, &problem))
        return kdtool_fail(io, read_failed ? name + ": cannot be read" : "cannot copy " + name + ": " + problem);
    opened->container.set_trace(nullptr);
    int status = opened->container.open(opened->copy_name.c_str());
    if (status != 0) return kdtool_fail(io, open_failure(name, status));
    return exit_good;
}

int open_report_source(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                       report_source* source) {
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    struct stat info;
    if (stat(name.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return kdtool_fail(io, name + ": cannot be read");
    // What cannot be read twice (a pipe) is read from a copy.
    std::string readable = name;
    if (!S_ISREG(info.st_mode)) {
        readable = ws.path(tag + ".in");
        std::string problem;
        if (!copy_to_output(name, readable, &problem)) return kdtool_fail(io, problem);
    }
    FILE* in = std::fopen(readable.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    char magic[9] = {};
    bool container = std::fread(magic, 1, sizeof magic, in) == sizeof magic &&
                     (std::memcmp(magic, "_KELDRAN_", 9) == 0 || std::memcmp(magic, "_KELDRFF_", 9) == 0);
    std::fclose(in);
    if (!container) {
        source->path = readable;
        return exit_good;
    }
    opened_container opened;
    int rc = open_container_copy(ws, readable, tag + ".KD2", io, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    source->from_container = true;
    source->stamp = c.creation_stamp();
    std::string missing = c.damaged() ? " (" + cut_text(c) + ")" : std::string();
    int index = -1;
    bool text_only = false;
    for (int i = 0; i < c.item_count() && index < 0; i++) {
        if (c.item_id(i) == xml_report_item_id) index = i;
        if (c.item_id(i) == text_report_item_id) text_only = true;
    }
    if (index < 0 && text_only)
        return kdtool_fail(io, name + ": the report is plain text (id 254); extract it with kdtool extract");
    if (index < 0) return kdtool_fail(io, name + ": no report item (id 15)" + missing);
    source->path = ws.path(tag + ".xml");
    int status = c.extract_item(index, source->path.c_str());
    if (status != 0)
        return kdtool_fail(io, name + ": the report cannot be extracted (status " + std::to_string(status) + ")");
    if (!c.last_extract_exact())
        std::fprintf(io.err, "kdtool: %s: warning: the report item does not match its recorded lengths\n",
                     name.c_str());
    // The unsealed copy is not needed any more.
    c.close();
    std::remove(opened.copy_name.c_str());
    return exit_good;
}

#include "kdtool/kdtool_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/fresh_file.h"
#include "base/run_context.h"
#include "kdtool/sha256.h"

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

// ---- removal of the workspace when kdtool is ended by a signal ----

// The open workspace folders (a command may run another inside it), for
// the signal handler: their descriptors and paths. Only async-signal-safe
// calls are made with them.
constexpr int workspace_slots = 4;
struct live_workspace {
    volatile sig_atomic_t fd = -1;
    char path[4096];
};
live_workspace live_workspaces[workspace_slots];

void remove_workspace_now(const live_workspace& live) {
    int dir = live.fd;
    if (dir < 0) return;
    // The workspace holds files only; read its entries with the raw call.
    alignas(8) static char entries[8192];
    for (int round = 0; round < 64; ++round) {
        long got = syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            auto* entry = reinterpret_cast<dirent64*>(entries + at);
            const char* n = entry->d_name;
            if (!(n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))) unlinkat(dir, n, 0);
            at += entry->d_reclen;
        }
        lseek(dir, 0, SEEK_SET);
    }
    rmdir(live.path);
}

void end_on_signal(int signal_number) {
    for (const live_workspace& live : live_workspaces) remove_workspace_now(live);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void remove_workspace_on_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = end_on_signal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

// The folder for temporary files: TMPDIR when it names a folder, else /tmp.
std::string scratch_root() {
    const char* tmpdir = std::getenv("TMPDIR");
    struct stat info;
    if (tmpdir && tmpdir[0] == '/' && stat(tmpdir, &info) == 0 && S_ISDIR(info.st_mode)) return tmpdir;
    return "/tmp";
}

// Copies at most cap bytes of in to out; false when in holds more, or on a
// read or write failure (errno tells).
bool copy_capped(FILE* in, FILE* out, uint64_t cap, bool* too_long) {
    auto buffer = std::make_unique<char[]>(65536);
    uint64_t copied = 0;
    size_t got;
    *too_long = false;
    while ((got = std::fread(buffer.get(), 1, 65536, in)) > 0) {
        copied += got;
        if (copied > cap) {
            *too_long = true;
            return false;
        }
        if (std::fwrite(buffer.get(), 1, got, out) != got) return false;
    }
    return !std::ferror(in);
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
    std::string pattern = scratch_root() + "/kdtool.XXXXXX";
    if (pattern.size() >= sizeof live_workspaces[0].path || !mkdtemp(pattern.data())) return;
    dir_ = pattern;
    for (live_workspace& live : live_workspaces) {
        if (live.fd >= 0) continue;
        int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        std::memcpy(live.path, dir_.c_str(), dir_.size() + 1);
        remove_workspace_on_signals();
        fd_ = fd;
        live.fd = fd;
        return;
    }
}

workspace::~workspace() {
    if (fd_ >= 0) {
        for (live_workspace& live : live_workspaces)
            if (live.fd == fd_) live.fd = -1;
        close(fd_);
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool no_space_left(int error) { return error == ENOSPC || error == EDQUOT; }

std::string no_space_text(const workspace& ws) {
    return "no space left in TMPDIR (" + ws.dir().substr(0, ws.dir().rfind('/')) + ")";
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
               const std::string& version_record, const DateStamp* stamp, const workspace& ws) {
    ContainerFile c;
    int item_status = 0;
    int status = c.create(packed.c_str());
    if (status == 0 && version_record.empty())
        status = c.write_version_record(sifterra_version, &item_status);
    else if (status == 0)
        item_status = c.add_item(version_item_id, version_record.c_str(), true);
    if (status == 0) status = item_status;
    int rc = exit_good;
    if (status != 0 && no_space_left(errno)) rc = kdtool_fail(io, no_space_text(ws));
    if (status != 0 && rc == exit_good)
        rc = kdtool_fail(io, "cannot create the container (status " + std::to_string(status) + ")");
    for (size_t i = 0; rc == exit_good && i < items.size(); i++) {
        status = c.add_item(items[i].id, items[i].path.c_str(), true);
        if (status != 0 && no_space_left(errno)) rc = kdtool_fail(io, no_space_text(ws));
        if (status != 0 && rc == exit_good)
            rc = kdtool_fail(io, items[i].path + ": cannot be added (status " + std::to_string(status) + ")");
    }
    if (c.close() != 0 && rc == exit_good)
        rc = kdtool_fail(io, no_space_left(errno) ? no_space_text(ws) : "cannot write the container");
    if (rc == exit_good && stamp && !set_creation_stamp(packed, *stamp)) rc = kdtool_fail(io, "cannot write the container");
    if (rc == exit_good && (status = ContainerFile::seal(packed.c_str())) != 0)
        rc = kdtool_fail(io, no_space_left(errno) ? no_space_text(ws)
                                                  : "cannot seal the container (status " + std::to_string(status) + ")");
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
    errno = 0;
    int rc = pack_items(packed, items, io, version_record, stamp, ws);
    if (chdir(cwd) != 0) return kdtool_fail(io, "cannot return to the working directory");
    return rc;
}

int readable_input(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                   std::string* readable, uint64_t cap) {
    struct stat info;
    if (stat(name.c_str(), &info) != 0) return kdtool_fail(io, name + ": cannot be read");
    *readable = name;
    if (S_ISREG(info.st_mode)) return exit_good;
    if (!S_ISFIFO(info.st_mode)) return kdtool_fail(io, name + ": neither a file nor a pipe");
    // What cannot be read twice is read once into a capped copy.
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    *readable = ws.path(tag + ".in");
    FILE* in = std::fopen(name.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    std::string problem;
    FILE* out = open_output(*readable, &problem);
    if (!out) {
        std::fclose(in);
        return kdtool_fail(io, problem);
    }
    bool too_long = false;
    errno = 0;
    bool copied = copy_capped(in, out, cap, &too_long);
    int error = errno;
    bool read_failed = std::ferror(in);
    std::fclose(in);
    bool closed = close_output(out, *readable, copied, &problem);
    if (!closed && no_space_left(errno)) error = errno;
    if (too_long)
        return kdtool_fail(io, name + ": more than " + std::to_string(cap >> 20) + " MB from a pipe; give it as a file");
    if (!copied && !read_failed && no_space_left(error)) return kdtool_fail(io, no_space_text(ws));
    if (!copied || !closed) return kdtool_fail(io, read_failed ? name + ": cannot be read" : problem);
    return exit_good;
}

int open_container_copy(const workspace& ws, const std::string& name, const std::string& copy_name,
                        const kdtool_io& io, opened_container* opened) {
    std::string readable;
    int rc = readable_input(ws, name, copy_name, io, &readable);
    if (rc != exit_good) return rc;
    FILE* in = std::fopen(readable.c_str(), "rb");
    if (!in) return kdtool_fail(io, name + ": cannot be read");
    char magic[9] = {};
    opened->sealed = std::fread(magic, 1, sizeof magic, in) == sizeof magic && std::memcmp(magic, "_KELDRFF_", 9) == 0;
    if (opened->want_sha256) {
        std::rewind(in);
        opened->sha256 = sha256_of_stream(in);
    }
    std::fclose(in);
    // A plain container is read where it is (the reader never writes); a
    // sealed one is unsealed into the workspace, never in place.
    opened->copy_name = readable;
    if (opened->sealed) {
        if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
        opened->copy_name = ws.path(copy_name);
        errno = 0;
        bool cut = false;
        int status = ContainerFile::unseal_to(readable.c_str(), opened->copy_name.c_str(), &cut);
        int error = errno;
        if (readable != name) std::remove(readable.c_str());
        if (status != 0 && no_space_left(error)) return kdtool_fail(io, no_space_text(ws));
        if (status == -4 && access(name.c_str(), R_OK) != 0) return kdtool_fail(io, name + ": cannot be read");
        if (status == -4) return kdtool_fail(io, "cannot create a file in TMPDIR (" + ws.dir() + ")");
        if (status == -5) return kdtool_fail(io, open_failure(name, -5));
        if (status != 0) return kdtool_fail(io, open_failure(name, -10));
    }
    opened->container.set_trace(nullptr);
    int status = opened->container.open(opened->copy_name.c_str());
    if (status != 0) return kdtool_fail(io, open_failure(name, status));
    return exit_good;
}

int open_report_source(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                       report_source* source) {
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    std::string readable;
    int input_rc = readable_input(ws, name, tag, io, &readable);
    if (input_rc != exit_good) return input_rc;
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
    errno = 0;
    int status = c.extract_item(index, source->path.c_str());
    if (status != 0 && no_space_left(errno)) return kdtool_fail(io, no_space_text(ws));
    if (status != 0)
        return kdtool_fail(io, name + ": the report cannot be extracted (status " + std::to_string(status) + ")");
    if (!c.last_extract_exact())
        std::fprintf(io.err, "kdtool: %s: warning: the report item does not match its recorded lengths\n",
                     name.c_str());
    // The unsealed copy is not needed any more.
    c.close();
    if (opened.copy_name != name && opened.copy_name.rfind(ws.dir() + "/", 0) == 0)
        std::remove(opened.copy_name.c_str());
    return exit_good;
}

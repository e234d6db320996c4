// What the kdtool commands share: their output streams and exit codes, a
// private scratch folder, fresh output files, and opening a container or a
// plain report file for reading.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/container_file.h"

inline constexpr int exit_good = 0;
inline constexpr int exit_damaged = 1;
inline constexpr int exit_usage = 2;

struct kdtool_io {
    FILE* out = stdout;
    FILE* err = stderr;
};

using kdtool_args = std::vector<std::string>;

// Prints "kdtool: message" on the error stream; gives exit_damaged.
int kdtool_fail(const kdtool_io& io, const std::string& message);
// Prints the usage text on the error stream; gives exit_usage.
int kdtool_usage(const kdtool_io& io);

// What kdtool copies from a pipe at most: a container never needs more.
inline constexpr uint64_t stream_copy_cap = uint64_t(1) << 30;

// A private folder under TMPDIR (or /tmp), removed with everything in it,
// also when kdtool is ended by SIGINT, SIGTERM or SIGHUP.
class workspace {
public:
    workspace();
    ~workspace();
    workspace(const workspace&) = delete;
    workspace& operator=(const workspace&) = delete;

    bool ok() const { return !dir_.empty(); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    int fd_ = -1;
};

// Whether a failed write failed for want of space (errno ENOSPC or EDQUOT).
bool no_space_left(int error);
// "no space left in TMPDIR (/tmp)"
std::string no_space_text(const workspace& ws);
// The input named on the command line, ready to be read more than once:
// a regular file as it is, a pipe through a capped copy in the workspace;
// anything else is refused. Prints the problem and gives exit_damaged.
int readable_input(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                   std::string* readable, uint64_t cap = stream_copy_cap);

// Opens name as a new output file. A plain file or a link already there is
// replaced, never written through; a folder, device or pipe (or a link to
// one) is left alone. Null with the reason in problem.
FILE* open_output(const std::string& name, std::string* problem);
// Closes an output from open_output; on a failed write the file is removed.
bool close_output(FILE* f, const std::string& name, bool written, std::string* problem);
// Copies the whole file at source to the output name (as open_output).
bool copy_to_output(const std::string& source, const std::string& name, std::string* problem);
// Copies in to out; false on a read or write failure.
bool copy_stream(FILE* in, FILE* out);
bool read_whole(const std::string& name, std::string* bytes);

// Parses a decimal item id 0-255.
bool parse_item_id(const char* text, int* id);
std::string stamp_text(const DateStamp& stamp);
// The version text of a sound version record, empty when it is damaged.
std::string version_text(const std::string& record);
// What a cut container lost, in one line.
std::string cut_text(const ContainerFile& c);

// One item to pack: a file (an absolute path) and its id.
struct container_item {
    std::string path;
    int id = xml_report_item_id;
};
// Builds the sealed container packed (a path in the workspace): the version
// record first, then the items, compressed, as the collector packs. The
// version record is a new one unless version_record names a record file to
// take as it is; the creation stamp is the current time unless stamp is
// given. Gives exit_good, or prints the failure.
int build_sealed_container(const workspace& ws, const std::string& packed, const std::vector<container_item>& items,
                           const kdtool_io& io, const std::string& version_record = "",
                           const DateStamp* stamp = nullptr);

// A container named on the command line, opened for reading. A plain file
// is read where it is; a sealed one (or a pipe) through a plain copy in the
// workspace: the file given is never touched.
struct opened_container {
    ContainerFile container;
    std::string copy_name;  // the plain container file that is open
    bool sealed = false;
    bool want_sha256 = false;  // set before opening: compute sha256
    std::string sha256;        // of the file as it was given, sealed form and all
};
int open_container_copy(const workspace& ws, const std::string& name, const std::string& copy_name,
                        const kdtool_io& io, opened_container* opened);

// The report of a container (its item 15, extracted into the workspace) or
// a plain report file, ready to be read.
struct report_source {
    std::string path;          // the report document
    bool from_container = false;
    DateStamp stamp;           // the container's creation stamp
};
// Finds the report behind name; tag keeps the workspace files of several
// sources apart. Prints the problem and gives exit_damaged when there is none.
int open_report_source(const workspace& ws, const std::string& name, const std::string& tag, const kdtool_io& io,
                       report_source* source);

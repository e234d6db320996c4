#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>

#include <cstring>

#include "base/fresh_file.h"
#include "kdtool/kdtool_commands.h"
#include "privacy/report_cleaner.h"

namespace {

struct clean_arguments {
    std::string in, out, map;
    clean_options options;
};

bool parse_clean_arguments(const kdtool_args& args, clean_arguments* a) {
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        bool has_value = i + 1 < args.size();
        if (arg == "--hostname" && has_value)
            a->options.host_names.push_back(args[++i]);
        else if (arg == "--keyword" && has_value)
            a->options.keywords.push_back(args[++i]);
        else if (arg == "--map" && has_value && a->map.empty())
            a->map = args[++i];
        else if (arg.rfind("--", 0) == 0)
            return false;
        else
            names.push_back(arg);
    }
    if (names.size() != 2) return false;
    a->in = names[0];
    a->out = names[1];
    return true;
}

// OUT.KD2 keeps its map in OUT.map; any other name gets ".map" added.
std::string map_name(const std::string& out) {
    size_t n = out.size();
    if (n > 4 && strcasecmp(out.c_str() + n - 4, ".KD2") == 0) return out.substr(0, n - 4) + ".map";
    return out + ".map";
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Runs verify on the input quietly; false with the first reason it gave.
bool input_verifies(const std::string& name, const kdtool_io& io, std::string* reason) {
    char* text = nullptr;
    size_t size = 0;
    FILE* errors = open_memstream(&text, &size);
    FILE* sink = std::fopen("/dev/null", "w");
    if (!errors || !sink) {
        if (errors) std::fclose(errors);
        if (sink) std::fclose(sink);
        *reason = "cannot be verified";
        return false;
    }
    kdtool_io quiet{sink, errors};
    bool good = kdtool_verify({name}, quiet) == exit_good;
    std::fclose(sink);
    std::fclose(errors);
    std::string said(text ? text : "", size);
    std::free(text);
    (void)io;
    // "kdtool: NAME: reason" or "kdtool: reason", first line only.
    said = said.substr(0, said.find('\n'));
    if (said.rfind("kdtool: ", 0) == 0) said = said.substr(8);
    if (said.rfind(name + ": ", 0) == 0) said = said.substr(name.size() + 2);
    *reason = said.empty() ? "it does not verify" : said;
    return good;
}

// The report (item 15) and, when it is sound, the version record of the
// container, extracted into the workspace.
int extract_report(const workspace& ws, const std::string& name, const kdtool_io& io, std::string* report,
                   std::string* version, DateStamp* stamp) {
    opened_container opened;
    int rc = open_container_copy(ws, name, "container", io, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    *stamp = c.creation_stamp();
    *report = ws.path("report.xml");
    errno = 0;
    int status = c.extract_item_by_id(xml_report_item_id, report->c_str());
    if (status != 0 && status != -8 && no_space_left(errno)) return kdtool_fail(io, no_space_text(ws));
    if (status == -8) return kdtool_fail(io, name + ": no report item (id 15) to clean");
    if (status != 0 || !c.last_extract_exact()) return kdtool_fail(io, name + ": the report item is damaged");
    std::string record;
    *version = ws.path("version");
    if (c.extract_item_by_id(version_item_id, version->c_str()) != 0 || !c.last_extract_exact() ||
        !read_whole(*version, &record) || version_text(record).empty())
        version->clear();
    return exit_good;
}

void print_summary(const clean_arguments& a, const std::string& map, const report_cleaner& cleaner,
                   const kdtool_io& io) {
    clean_map::counts n = cleaner.replaced();
    std::fprintf(io.out, "%s: cleaned copy of %s\n", a.out.c_str(), a.in.c_str());
    std::fprintf(io.out,
                 "replaced as the map says: %d host names, %d addresses, %d hardware addresses, "
                 "%d serial numbers and UUIDs, %d user names, %d keywords\n",
                 n.host_names, n.addresses, n.hardware_addresses, n.serials, n.users, n.keywords);
    std::fprintf(io.out, "map: %s (keep it private; give it to --map to clean the next report of this machine alike)\n",
                 map.c_str());
    std::fprintf(io.out, "%s\n", cleaning_caveat);
    size_t slash = a.out.rfind('/');
    std::string base = a.out.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string cleaned_base = cleaner.replace(base, true);
    if (cleaned_base != base)
        std::fprintf(io.err, "kdtool: warning: the name %s holds identifiers that the report no longer does (%s)\n",
                     a.out.c_str(), cleaned_base.c_str());
}

}  // namespace

int kdtool_clean(const kdtool_args& args, const kdtool_io& io) {
    clean_arguments a;
    if (!parse_clean_arguments(args, &a)) return kdtool_usage(io);
    const std::string map = map_name(a.out);
    if (same_file(a.in, a.out) || same_file(a.in, map)) return kdtool_fail(io, a.in + ": the input is never overwritten");

    report_cleaner cleaner(a.options);
    std::string problem;
    if (!a.map.empty()) {
        std::string json;
        if (!read_whole(a.map, &json)) return kdtool_fail(io, a.map + ": cannot be read");
        if (!cleaner.load_map(json, &problem)) return kdtool_fail(io, a.map + ": not a cleaning map: " + problem);
    }

    // Only what verifies is cleaned: new checksums and a copy that verifies
    // must never stand for an input that did not.
    // A pipe is read once, into the workspace.
    workspace ws;
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    std::string input;
    int rc = readable_input(ws, a.in, "input", io, &input);
    if (rc != exit_good) return rc;
    std::string reason;
    if (!input_verifies(input, io, &reason)) return kdtool_fail(io, a.in + ": does not verify, not cleaned: " + reason);

    std::string report, version;
    DateStamp stamp;
    rc = extract_report(ws, input, io, &report, &version, &stamp);
    if (rc != exit_good) return rc;

    std::string cleaned = ws.path("cleaned.xml");
    FILE* in = std::fopen(report.c_str(), "rb");
    FILE* out = fopen_fresh(cleaned.c_str(), "wb");
    bool done = in && out && cleaner.clean(in, out, &problem);
    if (in) std::fclose(in);
    if (out && std::fclose(out) != 0 && done) {
        done = false;
        problem = no_space_left(errno) ? no_space_text(ws) : "the cleaned report cannot be written";
    }
    if (!done) return kdtool_fail(io, a.in + ": " + (problem.empty() ? "cannot be cleaned" : problem));

    std::string packed = ws.path("cleaned.KD2");
    rc = build_sealed_container(ws, packed, {{cleaned, xml_report_item_id}}, io, version, &stamp);
    if (rc != exit_good) return rc;
    if (!copy_to_output(packed, a.out, &problem)) return kdtool_fail(io, problem);
    if (!cleaner.save_map(map, &problem)) {
        std::remove(a.out.c_str());
        return kdtool_fail(io, problem);
    }
    print_summary(a, map, cleaner, io);
    return exit_good;
}

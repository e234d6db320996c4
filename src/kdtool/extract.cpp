#include <cerrno>
#include <cstring>

#include "kdtool/kdtool_commands.h"

int kdtool_extract(const kdtool_args& args, const kdtool_io& io) {
    if (args.empty()) return kdtool_usage(io);
    const std::string& name = args[0];
    int id = -1;
    const char* out_name = nullptr;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "-o" && i + 1 < args.size() && !out_name) {
            out_name = args[++i].c_str();
        } else if (id < 0 && parse_item_id(args[i].c_str(), &id)) {
        } else {
            return kdtool_usage(io);
        }
    }
    workspace ws;
    opened_container opened;
    int rc = open_container_copy(ws, name, "container", io, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    // Items after a cut are gone; say so rather than that they never were.
    std::string missing_reason = c.damaged() ? " (" + cut_text(c) + ")" : std::string();
    if (id < 0) {
        for (int i = 0; i < c.item_count() && id < 0; i++) {
            if (c.item_id(i) == xml_report_item_id || c.item_id(i) == text_report_item_id) id = c.item_id(i);
        }
        if (id < 0) return kdtool_fail(io, name + ": no report item (id 15 or 254)" + missing_reason);
    }
    std::string item_file = ws.path("item");
    errno = 0;
    int status = c.extract_item_by_id(id, item_file.c_str());
    if (status != 0 && status != -8 && no_space_left(errno)) return kdtool_fail(io, no_space_text(ws));
    if (status == -8) return kdtool_fail(io, name + ": no item with id " + std::to_string(id) + missing_reason);
    if (status != 0)
        return kdtool_fail(io, name + ": item " + std::to_string(id) + " cannot be extracted (status " +
                                   std::to_string(status) + ")");
    bool exact = c.last_extract_exact();

    if (!out_name || std::strcmp(out_name, "-") == 0) {
        FILE* in = std::fopen(item_file.c_str(), "rb");
        if (!in) return kdtool_fail(io, "cannot read the extracted item");
        bool copied = copy_stream(in, io.out);
        std::fclose(in);
        if (!copied || std::fflush(io.out) != 0) return kdtool_fail(io, "cannot write standard output");
    } else {
        std::string problem;
        if (!copy_to_output(item_file, out_name, &problem)) return kdtool_fail(io, problem);
    }
    if (!exact)
        return kdtool_fail(io, name + ": item " + std::to_string(id) + " is damaged: its data does not match its lengths");
    return exit_good;
}

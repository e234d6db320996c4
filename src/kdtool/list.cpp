#include "kdtool/kdtool_commands.h"

int kdtool_list(const kdtool_args& args, const kdtool_io& io) {
    if (args.size() != 1) return kdtool_usage(io);
    const std::string& name = args[0];
    workspace ws;
    opened_container opened;
    int rc = open_container_copy(ws, name, "container", io, &opened);
    if (rc != exit_good) return rc;
    ContainerFile& c = opened.container;
    std::fprintf(io.out, "%s: %s container, created %s, %d item%s\n", name.c_str(),
                 opened.sealed ? "sealed" : "plain", stamp_text(c.creation_stamp()).c_str(),
                 c.declared_item_count(), c.declared_item_count() == 1 ? "" : "s");
    std::fprintf(io.out, "%5s %4s %10s %10s %10s\n", "index", "id", "compressed", "length", "stored");
    for (int i = 0; i < c.item_count(); i++) {
        ItemRecord r;
        if (c.read_record(i, &r) != 0) return kdtool_fail(io, name + ": item " + std::to_string(i) + " cannot be read");
        std::fprintf(io.out, "%5d %4d %10s %10u %10u\n", i, r.id, r.compressed_flag ? "yes" : "no",
                     r.uncompressed_length, r.data_length());
    }
    ItemRecord cut;
    if (c.damaged() && c.item_count() < c.declared_item_count()) {
        if (c.cut_record(&cut))
            std::fprintf(io.out, "%5d %4d %10s %10u %10u  cut short\n", c.item_count(), cut.id,
                         cut.compressed_flag ? "yes" : "no", cut.uncompressed_length, cut.data_length());
        else
            std::fprintf(io.out, "%5d %4s %10s %10s %10s  cut short\n", c.item_count(), "?", "?", "?", "?");
    }
    std::string record;
    std::string version_file = ws.path("version");
    if (c.extract_item_by_id(version_item_id, version_file.c_str()) == 0 && read_whole(version_file, &record)) {
        std::string text = version_text(record);
        std::fprintf(io.out, "version: %s\n", text.empty() ? "(damaged version record)" : text.c_str());
    }
    if (c.damaged()) return kdtool_fail(io, name + ": " + cut_text(c));
    return exit_good;
}

#include <unistd.h>

#include <cstdlib>

#include "kdtool/kdtool_commands.h"

namespace {

// "FILE:ID" when the text after the last colon is an id, else the whole FILE.
container_item parse_container_item(const std::string& arg) {
    container_item in;
    in.path = arg;
    size_t colon = arg.rfind(':');
    int id;
    if (colon != std::string::npos && colon > 0 && parse_item_id(arg.c_str() + colon + 1, &id)) {
        in.path = arg.substr(0, colon);
        in.id = id;
    }
    return in;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

int kdtool_pack(const kdtool_args& args, const kdtool_io& io) {
    if (args.size() < 2) return kdtool_usage(io);
    std::string out_name = absolute(args[0]);
    std::vector<container_item> inputs;
    for (size_t i = 1; i < args.size(); i++) {
        container_item in = parse_container_item(args[i]);
        // The container reads its inputs without following links, so the
        // name given is resolved here.
        char* resolved = access(in.path.c_str(), R_OK) == 0 ? realpath(in.path.c_str(), nullptr) : nullptr;
        if (!resolved) return kdtool_fail(io, in.path + ": cannot be read");
        in.path = resolved;
        std::free(resolved);
        inputs.push_back(in);
    }
    workspace ws;
    std::string packed = ws.path("packed.KD2");
    int rc = build_sealed_container(ws, packed, inputs, io);
    if (rc != exit_good) return rc;
    std::string problem;
    if (!copy_to_output(packed, out_name, &problem)) return kdtool_fail(io, problem);
    std::fprintf(io.out, "%s: sealed container with %zu items\n", args[0].c_str(), inputs.size() + 1);
    return exit_good;
}

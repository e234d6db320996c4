#include <unistd.h>

#include <cstdlib>

#include "base/run_context.h"
#include "kdtool/kdtool_commands.h"

namespace {

struct pack_input {
    std::string path;
    int id = xml_report_item_id;
};

// "FILE:ID" when the text after the last colon is an id, else the whole FILE.
pack_input parse_pack_input(const std::string& arg) {
    pack_input in;
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

// Builds the sealed container at packed; gives exit_good or the failure.
int build_container(const std::string& packed, const std::vector<pack_input>& inputs, const kdtool_io& io) {
    ContainerFile c;
    int item_status = 0;
    int status = c.create(packed.c_str());
    if (status == 0) status = c.write_version_record(sifterra_version, &item_status);
    if (status == 0) status = item_status;
    int rc = exit_good;
    if (status != 0) rc = kdtool_fail(io, "cannot create the container (status " + std::to_string(status) + ")");
    for (size_t i = 0; rc == exit_good && i < inputs.size(); i++) {
        status = c.add_item(inputs[i].id, inputs[i].path.c_str(), true);
        if (status != 0)
            rc = kdtool_fail(io, inputs[i].path + ": cannot be added (status " + std::to_string(status) + ")");
    }
    if (c.close() != 0 && rc == exit_good) rc = kdtool_fail(io, "cannot write the container");
    if (rc == exit_good && (status = ContainerFile::seal(packed.c_str())) != 0)
        rc = kdtool_fail(io, "cannot seal the container (status " + std::to_string(status) + ")");
    return rc;
}

}  // namespace

int kdtool_pack(const kdtool_args& args, const kdtool_io& io) {
    if (args.size() < 2) return kdtool_usage(io);
    std::string out_name = absolute(args[0]);
    std::vector<pack_input> inputs;
    for (size_t i = 1; i < args.size(); i++) {
        pack_input in = parse_pack_input(args[i]);
        // The container reads its inputs without following links, so the
        // name given is resolved here.
        char* resolved = access(in.path.c_str(), R_OK) == 0 ? realpath(in.path.c_str(), nullptr) : nullptr;
        if (!resolved) return kdtool_fail(io, in.path + ": cannot be read");
        in.path = resolved;
        std::free(resolved);
        inputs.push_back(in);
    }
    if (inputs.size() + 1 > static_cast<size_t>(max_container_items))
        return kdtool_fail(io, "too many files for one container");

    // The container writes its temporary files in the working directory.
    workspace ws;
    if (!ws.ok()) return kdtool_fail(io, "cannot create a temporary directory");
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(ws.dir().c_str()) != 0)
        return kdtool_fail(io, "cannot enter a temporary directory");
    std::string packed = ws.path("packed.KD2");
    int rc = build_container(packed, inputs, io);
    if (chdir(cwd) != 0) return kdtool_fail(io, "cannot return to the working directory");
    if (rc != exit_good) return rc;
    std::string problem;
    if (!copy_to_output(packed, out_name, &problem)) return kdtool_fail(io, problem);
    std::fprintf(io.out, "%s: sealed container with %zu items\n", args[0].c_str(), inputs.size() + 1);
    return exit_good;
}

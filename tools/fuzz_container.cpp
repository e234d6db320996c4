// libFuzzer target: the input is a container file (plain or sealed). It is
// written to a private directory, opened and every item extracted; no item
// may give more than its recorded uncompressed length.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/container_file.h"

namespace {

std::string& dir_name() {
    static std::string dir;
    return dir;
}

void remove_work_dir() {
    if (!dir_name().empty()) rmdir(dir_name().c_str());
}

// Made on first use and removed when the process exits.
const std::string& work_dir() {
    if (dir_name().empty()) {
        char pattern[] = "/tmp/fuzz_container.XXXXXX";
        if (mkdtemp(pattern)) {
            dir_name() = pattern;
            std::atexit(remove_work_dir);
        }
    }
    return dir_name();
}

long file_length(const std::string& name) {
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return -1;
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    std::fclose(f);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = work_dir();
    if (dir.empty()) std::abort();
    const std::string name = dir + "/input.KD2";
    const std::string out = dir + "/item";
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    ContainerFile container;
    container.set_trace(nullptr);
    if (container.open(name.c_str()) == 0) {
        for (int i = 0; i < container.item_count(); ++i) {
            ItemRecord record;
            if (container.read_record(i, &record) != 0) continue;
            std::remove(out.c_str());
            if (container.extract_item(i, out.c_str()) != 0) continue;
            long produced = file_length(out);
            if (produced < 0 || static_cast<uint64_t>(produced) > record.uncompressed_length) std::abort();
            if (record.compressed_flag && static_cast<uint64_t>(produced) != record.uncompressed_length) std::abort();
        }
    }
    std::remove(out.c_str());
    std::remove(name.c_str());
    return 0;
}

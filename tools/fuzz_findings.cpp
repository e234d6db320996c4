// libFuzzer target: the finding rules over any report document. Loading may
// refuse the input, but whatever loads must be judged by every rule and
// written as text and JSON without crashing, hanging or reaching outside
// its buffers.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kdtool/findings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char name[] = "/tmp/fuzz-findings-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return 0;
    bool written = write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    std::vector<finding> found;
    std::string problem;
    if (written && find_report_problems(name, &found, &problem)) {
        FILE* sink = std::fopen("/dev/null", "w");
        if (sink) {
            write_findings_text(sink, found);
            write_findings_json(sink, found);
            std::fclose(sink);
        }
    }
    unlink(name);
    return 0;
}

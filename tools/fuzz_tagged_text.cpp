// libFuzzer target: any byte stream given to the tagged text parser must be
// split, traced and written as tables without crashing, hanging or reaching
// outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/run_context.h"
#include "probes/tagged_text_probe.h"
#include "report/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* input = fmemopen(const_cast<uint8_t*>(data), size, "r");
    FILE* report = std::fopen("/dev/null", "w");
    if (!input || !report) {
        if (input) std::fclose(input);
        if (report) std::fclose(report);
        return 0;
    }
    reset_report_state();
    // The first byte picks the rendering, so every output mode is exercised.
    set_output_mode(data[0] % 5);
    run_context.report = report;
    tagged_item_list items;
    read_items(input, items);
    process_items(items);
    std::fclose(input);
    std::fclose(report);
    return 0;
}

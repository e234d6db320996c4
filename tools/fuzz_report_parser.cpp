// libFuzzer target: any byte stream given to the report reader must be read
// to its end or to a message, without crashing, hanging or reaching outside
// its buffers; the checksum check built on it likewise.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "report/report_check.h"
#include "report/report_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!in) return 0;
    report_limits limits;
    limits.max_value = 64;  // small limits reach the cutting paths
    limits.xml.text_chunk = 7;
    report_reader reader(in, limits);
    for (;;) {
        report_event_kind kind = reader.next();
        if (kind == report_event_kind::done) break;
        if (kind == report_event_kind::error) {
            if (reader.error().find(" at byte ") == std::string::npos) std::abort();
            break;
        }
        if (reader.event().text.size() > 64 && kind != report_event_kind::file_data &&
            kind != report_event_kind::other_text)
            std::abort();
    }
    std::rewind(in);
    check_report_stream(in);
    std::fclose(in);
    return 0;
}

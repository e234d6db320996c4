// libFuzzer target: any byte stream given to the report cleaner must be
// refused with a reason or cleaned into a report whose checksums all match,
// without crashing, hanging or reaching outside its buffers. Input that
// starts with '{' is also read as a saved map.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "report/report_check.h"
#include "privacy/report_cleaner.h"

namespace {

bool every_name_a_person(const std::string&, unsigned* uid) {
    *uid = 1000;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    clean_options options;
    options.lookup = every_name_a_person;
    options.host_names = {"host.example.com"};
    options.keywords = {"ACME"};
    report_cleaner cleaner(options);
    std::string problem;
    std::string text(reinterpret_cast<const char*>(data), size);
    if (data[0] == '{' && !cleaner.load_map(text, &problem) && problem.empty()) std::abort();

    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!in) return 0;
    char* buffer = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    bool cleaned = cleaner.clean(in, out, &problem);
    std::fclose(in);
    std::fclose(out);
    std::string document(buffer, length);
    std::free(buffer);
    if (!cleaned && problem.empty()) std::abort();
    if (cleaned && !check_report(document).ok) std::abort();
    if (cleaned) cleaner.replace(text, true);
    return 0;
}

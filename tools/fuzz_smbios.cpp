// libFuzzer target: the input is a 64 KiB window (shorter inputs are padded
// with zeros). The first two bytes, when the input is long enough, choose
// where a checksummed entry point pointing into the window is planted, so
// that most inputs reach the structure walk and not only the anchor search.
// Every loaded table is then decoded into the SMBIOS section.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "pci/physical_memory.h"
#include "report/report.h"
#include "smbios/smbios_section.h"
#include "smbios/smbios_table.h"

namespace {

void plant_entry_point(std::vector<uint8_t>& window, const uint8_t* data, size_t size) {
    if (size < 6) return;
    size_t entry = (data[0] | data[1] << 8) % (window.size() - 15);
    uint8_t* e = window.data() + entry;
    std::memcpy(e, "_DMI_", 5);
    uint32_t table = 0xF0000 + (data[2] | data[3] << 8);
    uint16_t length = static_cast<uint16_t>(data[4] | data[5] << 8);
    e[6] = static_cast<uint8_t>(length);
    e[7] = static_cast<uint8_t>(length >> 8);
    for (int i = 0; i < 4; ++i) e[8 + i] = static_cast<uint8_t>(table >> (8 * i));
    e[5] = 0;
    uint8_t sum = 0;
    for (int i = 0; i < 15; ++i) sum = static_cast<uint8_t>(sum + e[i]);
    e[5] = static_cast<uint8_t>(-sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* const report = [] {
        set_physical_memory_path("/nonexistent/sifterra-fuzz-memory");
        set_dmi_export_directory("/nonexistent/sifterra-fuzz-tables");
        set_output_mode(4);
        return std::fopen("/dev/null", "w");
    }();
    std::vector<uint8_t> window(smbios_table::window_size, 0);
    std::memcpy(window.data(), data, size < window.size() ? size : window.size());
    if (size > 0 && (data[0] & 1)) plant_entry_point(window, data, size);

    auto table = std::make_unique<smbios_table>();
    table->load_from_window(window.data());
    table->version_flags();
    table->system_vendor();
    table->system_model();
    table->system_serial();
    for (unsigned type = 0; type <= 40; ++type) {
        for (unsigned i = 0; i < table->structure_count(type); ++i) {
            const uint8_t* s = table->structure_at(type, i);
            for (unsigned n = 0; n < 6; ++n) table->string_at(static_cast<uint8_t>(n), s);
        }
    }
    if (report) write_smbios_section(report, *table);
    return 0;
}

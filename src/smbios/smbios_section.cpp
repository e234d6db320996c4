#include "smbios/smbios_section.h"

#include <memory>
#include <new>

#include "base/run_context.h"
#include "report/report.h"
#include "smbios/smbios_decode.h"

namespace {

const smbios_decoder* find_decoder(unsigned type) {
    for (auto group : {platform_decoders, memory_decoders, connector_decoders, device_decoders, management_decoders}) {
        for (const smbios_decoder& decoder : group) {
            if (decoder.type == type) return &decoder;
        }
    }
    return nullptr;
}

}  // namespace

const char* write_smbios_section(FILE* report) {
    std::unique_ptr<smbios_table> table(new (std::nothrow) smbios_table);
    if (!table) return "Failed";
    return write_smbios_section(report, *table);
}

const char* write_smbios_section(FILE* report, smbios_table& table) {
    if (!table.load()) {
        debug_printf("SMBIOS: no usable table\n");
        return "Failed";
    }
    table.version_flags();
    debug_printf("SMBIOS: revision %02x\n", table.revision());
    begin_section(report, "SMBIOS INFORMATION");
    for (unsigned type = 0; type < smbios_table::indexed_types; ++type) {
        if (table.structure_count(type) == 0) continue;
        const smbios_decoder* decoder = find_decoder(type);
        if (!decoder) continue;
        if (decoder->write)
            decoder->write(report, table);
        else
            write_structure_table(report, table, type, *decoder->def);
    }
    // Types 40 and up share one list of mixed types; each decoder picks its own.
    for (const smbios_decoder& decoder : management_decoders) {
        if (decoder.type < smbios_table::indexed_types || shared_list_count(table, decoder.type) == 0) continue;
        write_shared_list_table(report, table, decoder.type, *decoder.def);
    }
    end_section(report);
    return "OK";
}

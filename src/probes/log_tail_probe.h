// A list probe for a log script: of what the script prints, the newest
// bytes up to a cap are embedded, so that a busy log cannot swell the
// report.
#pragma once

#include <cstddef>

#include "probes/file_probe.h"
#include "system/system_files.h"  // log_tail_cap, the cap of the catalogue's logs

class log_tail_probe : public list_probe {
public:
    log_tail_probe(probe_section& section, const char* name, const char* command, int32_t level, size_t cap);
    bool run() override;

    size_t cap;
};

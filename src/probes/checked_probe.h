// Probes for the sources of today's systems (the journal, dpkg, systemd)
// that stand beside the probes of the older ones. Each takes part only where
// its script, run under the name "test", finds its tools and sources: on a
// machine that has the older sources these probes stay out of the report.
#pragma once

#include "probes/file_probe.h"
#include "probes/tagged_text_probe.h"

// Runs the script under the name "test" (its output is discarded); true when
// it exits with 0. The debug log gets "name: true" or "name: false".
bool script_finds_sources(const char* name, const char* script);

class checked_list_probe : public list_probe {
public:
    using list_probe::list_probe;
    bool test() override;
};

class checked_tagged_text_probe : public tagged_text_probe {
public:
    using tagged_text_probe::tagged_text_probe;
    bool test() override;
};

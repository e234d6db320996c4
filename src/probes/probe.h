// Probes and probe sections: small objects that each know one source of
// information, grouped into titled sections that the probe pass writes into
// the report after the driver's fixed sections.
#pragma once

#include <cstdint>

class probe_section;

// One source of information. Subclasses say whether the source is available
// (test) and copy or decode it into the report stream of run_context (run).
class probe {
public:
    // Stores name and level and appends the probe to the section's list.
    probe(probe_section& section, const char* name, int32_t level);
    virtual ~probe() = default;
    probe(const probe&) = delete;
    probe& operator=(const probe&) = delete;

    // Is the source available? The base answer is yes.
    virtual bool test();
    // Gathers the source into the report; true when something was gathered.
    virtual bool run() = 0;

    probe* next = nullptr;
    const char* name;   // static text; also labels a command's output
    int32_t level;      // runs only when the run level is at least this
};

// A process-wide list of sections, kept with head and tail so that appending
// keeps the registration order.
struct section_list {
    probe_section* head = nullptr;
    probe_section* tail = nullptr;
};

// A titled group of probes; one report section and one console line.
class probe_section {
public:
    // Registers the section at the tail of the list.
    probe_section(section_list& list, const char* title);
    probe_section(const probe_section&) = delete;
    probe_section& operator=(const probe_section&) = delete;

    probe_section* next = nullptr;
    probe* first_probe = nullptr;
    probe* last_probe = nullptr;
    const char* title;  // static text
    bool left_out = false;  // left out of the pass by the command line
};

void register_section(section_list& list, probe_section& section, const char* title);
void add_probe(probe_section& section, probe& member);

// The program's sections in their fixed order; built on first use.
section_list& registered_sections();

// Writes every registered section that has an available probe, running each
// probe whose level is within the run level. Called once by the driver.
void test_all();
// The same pass over any list of sections.
void test_sections(const section_list& list);

// The console line of one section: the dotted label, then " OK"/" Not Found".
void show_progress(const probe_section& section);
void show_result(const probe_section& section, bool found);
// " FAILED": a probe of the section was not run because it was not safe to.
void show_failed(const probe_section& section);

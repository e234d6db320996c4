#include "probes/probe.h"

#include <cstring>

#include "base/run_context.h"
#include "probes/command_pipe.h"
#include "report/report.h"

namespace {

// Width of the dotted console label, the same as the driver's dotted lines.
constexpr int label_width = 32;

bool eligible(const probe& p) { return p.level <= run_context.level; }

// Step 2 of the pass: is any probe within the run level available?
bool section_available(const probe_section& section) {
    for (probe* p = section.first_probe; p; p = p->next)
        if (eligible(*p) && p->test()) return true;
    return false;
}

// Step 7: every eligible probe whose test passes runs, whatever the others gave.
bool run_section(const probe_section& section) {
    bool found = false;
    for (probe* p = section.first_probe; p; p = p->next)
        if (eligible(*p) && p->test() && p->run()) found = true;
    return found;
}

}  // namespace

probe::probe(probe_section& section, const char* probe_name, int32_t probe_level)
    : name(probe_name), level(probe_level) {
    add_probe(section, *this);
}

bool probe::test() { return true; }

probe_section::probe_section(section_list& list, const char* section_title)
    : title(section_title) {
    register_section(list, *this, section_title);
}

void register_section(section_list& list, probe_section& section, const char* title) {
    section.title = title;
    section.next = nullptr;
    if (list.tail)
        list.tail->next = &section;
    else
        list.head = &section;
    list.tail = &section;
}

void add_probe(probe_section& section, probe& member) {
    member.next = nullptr;
    if (section.last_probe)
        section.last_probe->next = &member;
    else
        section.first_probe = &member;
    section.last_probe = &member;
}

void show_progress(const probe_section& section) {
    if (run_context.silent) return;
    // A title too long for the field keeps all its characters and one blank.
    size_t title_length = std::strlen(section.title);
    size_t field_length = title_length + 1 > label_width ? title_length + 1 : label_width;
    char field[256];
    if (field_length >= sizeof field) field_length = sizeof field - 1;
    std::memset(field, '.', field_length);
    size_t copied = title_length < field_length ? title_length : field_length - 1;
    std::memcpy(field, section.title, copied);
    field[copied] = ' ';
    field[field_length] = '\0';
    std::fprintf(run_context.console, "%s", field);
    std::fflush(run_context.console);
}

void show_failed(const probe_section&) {
    if (run_context.silent) return;
    std::fprintf(run_context.console, " FAILED\n");
}

void show_result(const probe_section&, bool found) {
    if (run_context.silent) return;
    std::fprintf(run_context.console, " %s\n", found ? "OK" : "Not Found");
}

void test_sections(const section_list& list) {
    for (probe_section* section = list.head; section; section = section->next) {
        debug_printf("section %s\n", section->title);
        if (section->left_out) {
            debug_printf("section %s: left out by the command line\n", section->title);
            continue;
        }
        bool available = section_available(*section);
        debug_printf("test_all, rc = %s\n", available ? "true" : "false");
        if (!available) continue;
        show_progress(*section);
        begin_section(run_context.report, section->title);
        const int refused_before = refused_script_count();
        bool found = run_section(*section);
        end_section(run_context.report);
        // A script that could not be run safely left part of the section out:
        // the console says so rather than "OK" or "Not Found".
        if (refused_script_count() != refused_before)
            show_failed(*section);
        else
            show_result(*section, found);
    }
}

void test_all() { test_sections(registered_sections()); }

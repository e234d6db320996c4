#include "driver/run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/container_file.h"
#include "driver/console.h"
#include "driver/options.h"
#include "base/run_context.h"
#include "driver/system_summary.h"
#include "host/time_zone.h"
#include "pci/pci_listing.h"
#include "probes/probe.h"
#include "report/report.h"
#include "report/xml.h"
#include "smbios/smbios_section.h"
#include "svcproc/sp_sections.h"

namespace {

bool text_mode() { return output_mode() == 0 || output_mode() == 3; }

// Opens the debug log: keldran.log once per -debug (the last one is kept),
// else /dev/null. Aborts when no log at all can be opened.
void open_debug_log(int debug_logs) {
    for (int i = 0; i < debug_logs; ++i) {
        if (debug_log) std::fclose(debug_log);
        debug_log = std::fopen("keldran.log", "w");
    }
    if (!debug_log) debug_log = std::fopen("/dev/null", "w");
    if (!debug_log) {
        std::fprintf(stderr, "abort--unable to do messages\n");
        std::abort();
    }
    std::setvbuf(debug_log, nullptr, _IONBF, 0);
}

// Creates the temporary report and writes its start.
FILE* start_report(const char* temporary_name) {
    FILE* report = std::fopen(temporary_name, text_mode() ? "w" : "wb");
    if (!report) return nullptr;
    if (text_mode()) {
        std::fprintf(report, "\nVarnholt Technical Support Information Sifterra\n");
        std::fprintf(report, "%s\n", rights_line);
        std::fprintf(report, "Version %s \n\n", sifterra_version);
    } else {
        write_xml_declaration(report);
        open_element(report, "GATHERED_DATA");
        write_element(report, "SIFTERRA_VERSION", sifterra_version);
    }
    return report;
}

// Writes the document checksum and closes the root and the report stream.
void finish_report(FILE* report) {
    if (output_mode() == 4) {
        char text[16];
        std::snprintf(text, sizeof text, "%8X", document_checksum());
        write_element(report, "CHK", text);
    }
    if (output_mode() == 1 || output_mode() == 4) close_element(report, "GATHERED_DATA");
    std::fflush(report);
    std::fclose(report);
}

// Runs one fixed section behind its level and question and shows its status.
void run_status_step(const run_options& options, FILE* console, int32_t level, const char* label,
                     const char* (*section)(FILE*), FILE* report) {
    if (!confirm_step(console, options.silent, options.step, options.level, level, label)) return;
    const char* status = section(report);
    if (!options.silent) std::fprintf(console, "%s\n", status);
}

// PCI: the text listing and the expansion ROMs in the text modes, the
// summary table in the others.
void run_pci_steps(const run_options& options, FILE* console, FILE* report) {
    if (text_mode()) {
        run_status_step(options, console, 3, "PCI Devices", list_pci_devices, report);
        run_status_step(options, console, 3, "Expansion ROM Listing", list_expansion_roms, report);
    } else {
        run_status_step(options, console, 3, "PCI Devices", summarize_pci_devices, report);
    }
}

// The service processor's groups, all of them.
const char* gather_all_service_processor_groups(FILE* report) {
    return gather_service_processor(report, sp_all_groups);
}

// The fixed sections in their order, each behind its level and question.
void run_fixed_sections(const run_options& options, FILE* console, FILE* report, char* base_name,
                        size_t base_name_size) {
    const bool silent = options.silent;
    char name_template[256];
    std::snprintf(name_template, sizeof name_template, "%s", options.name_template.c_str());

    if (!silent) write_dotted_label(console, "Basic Info");
    write_system_summary(report, base_name, base_name_size, name_template);
    if (!silent) std::fprintf(console, "OK\n");

    if (confirm_step(console, silent, options.step, options.level, 2, "Time Zone Info")) {
        begin_section(report, "TIME ZONE");
        write_time_zone_section(report);
        end_section(report);
        if (!silent) std::fprintf(console, "OK\n");
    }

    run_status_step(options, console, 1, "SMBIOS Info", write_smbios_section, report);
    run_pci_steps(options, console, report);
    run_status_step(options, console, 4, "Service Processor Info", gather_all_service_processor_groups, report);
}

// Packs the finished report into the sealed container final_name.
void pack_report(ContainerFile& container, const char* final_name, const char* temporary_name, bool silent,
                 FILE* console) {
    container.create(final_name);
    container.write_version_record(sifterra_version);
    if (!silent) write_dotted_label(console, "Compressing Info");
    int item = text_mode() ? text_report_item_id : xml_report_item_id;
    int status = container.add_item(item, temporary_name, true);
    if (!silent) {
        if (status != 0)
            std::fprintf(console, "ERROR %d", status);
        else
            std::fprintf(console, "OK\n");
    }
    container.close();
    ContainerFile::seal(final_name);
}

}  // namespace

int run_sifterra(int argc, const char* const* argv) {
    set_output_mode(4);
    ContainerFile container;

    run_options options = parse_arguments(argc, argv);
    if (options.debug_logs > 0 || !options.help) open_debug_log(options.debug_logs);
    if (options.help) {
        show_usage(argc > 0 ? argv[0] : "sifterra");
        return 0;
    }
    debug_printf("Sifterra version %s Dec  4 2002 10:39:54\n", sifterra_version);

    if (!options.batch && !options.silent) {
        if (!ask_agreement()) {
            write_refusal();
            return 1;
        }
        if (getuid() != 0) write_root_warning();
    }

    FILE* console = options.batch ? stdout : stderr;
    run_context.console = console;
    const bool silent = options.silent;
    if (!silent) write_banner(console);

    char temporary_name[64];
    std::snprintf(temporary_name, sizeof temporary_name, "keldr%x.tmp", static_cast<unsigned>(getpid()));
    FILE* report = start_report(temporary_name);
    if (!report) {
        if (!silent) std::fprintf(console, "ERROR: Cannot create temp file. Is the disk full ?\n\n");
        return 2;
    }
    run_context.silent = silent;
    run_context.level = options.level;
    run_context.report = report;

    char base_name[256] = "";
    run_fixed_sections(options, console, report, base_name, sizeof base_name);
    test_all();
    finish_report(report);
    run_context.report = nullptr;

    std::string final_name = std::string(base_name) + (output_mode() == 4 ? ".KD2" : ".KDR");
    pack_report(container, final_name.c_str(), temporary_name, silent, console);

    if (options.keep_plain_copy) {
        std::string plain_name = std::string(base_name) + (text_mode() ? ".TXT" : ".XML");
        std::remove(plain_name.c_str());
        std::rename(temporary_name, plain_name.c_str());
        final_name = plain_name;
    } else {
        std::remove(temporary_name);
    }

    if (!silent) std::fprintf(console, "\nDone. Information is stored in %s\n\n", final_name.c_str());
    std::fflush(console);
    return 0;
}

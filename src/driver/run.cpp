#include "driver/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/container_file.h"
#include "archive/streaming_encoder.h"
#include "base/fresh_file.h"
#include "base/partial_files.h"
#include "base/run_context.h"
#include "driver/console.h"
#include "driver/device_probes.h"
#include "driver/options.h"
#include "driver/sections.h"
#include "driver/system_summary.h"
#include "host/time_zone.h"
#include "pci/pci_listing.h"
#include "privacy/report_cleaner.h"
#include "probes/catalogue.h"
#include "probes/probe.h"
#include "report/report.h"
#include "report/xml.h"
#include "smbios/smbios_section.h"
#include "svcproc/sp_sections.h"
#include "system/kernel_state.h"

namespace {

bool text_mode() { return output_mode() == 0 || output_mode() == 3; }

// The sections -skip and -only leave in, chosen before the run starts.
section_choice chosen_sections;

// Fixed sections by their progress labels.
bool fixed_section_wanted(const char* label) {
    bool wanted = chosen_sections.wanted(fixed_section_of_label(label));
    if (!wanted) debug_printf("%s: left out by the command line\n", label);
    return wanted;
}

// The report, its copies and the debug log hold what only root may read
// (the kernel log, root-only settings, configuration files): owner only.
constexpr mode_t private_file_mode = 0600;

// Descriptors 0, 1 and 2 are made open (on /dev/null) before anything else
// is: a program started without them would find its report or log opened as
// one of them, and console lines would land in the report.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) std::abort();
        if (opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void ignore_write_signal(int) {}

// A write to a console that went away (SIGPIPE) or past a file size limit
// (SIGXFSZ) fails instead of ending the run. A handler that does nothing,
// unlike an ignored signal, does not carry over into the commands the probes
// start.
void survive_failed_writes() {
    struct sigaction action {};
    action.sa_handler = ignore_write_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    sigaction(SIGXFSZ, &action, nullptr);
}

// Opens the debug log: keldran.log once per -debug (the last one is kept),
// else /dev/null. Aborts when no log at all can be opened.
void open_debug_log(int debug_logs) {
    for (int i = 0; i < debug_logs; ++i) {
        if (debug_log) std::fclose(debug_log);
        debug_log = fopen_fresh("keldran.log", "w", private_file_mode);
    }
    if (!debug_log) {
        debug_log = std::fopen("/dev/null", "w");
        debug_log_discarded = debug_log != nullptr;
    }
    if (!debug_log) {
        std::fprintf(stderr, "abort--unable to do messages\n");
        std::abort();
    }
    std::setvbuf(debug_log, nullptr, _IONBF, 0);
}

// How many other names a working file may take when something that cannot
// be removed (a folder another user made) stands under the first one.
constexpr int alternate_names = 7;

// Creates a private working file "STEM.EXT" in the current folder, or
// "STEM-N.EXT" when the name is taken by a folder; name receives the name
// used. Null when none could be made.
FILE* create_working_file(char* name, size_t size, const char* stem, const char* extension, const char* mode) {
    for (int n = 0; n <= alternate_names; ++n) {
        if (n == 0)
            std::snprintf(name, size, "%s.%s", stem, extension);
        else
            std::snprintf(name, size, "%s-%d.%s", stem, n, extension);
        track_partial_file(name);
        FILE* f = fopen_fresh(name, mode, private_file_mode);
        if (f) {
            if (n > 0) debug_printf("%s.%s: cannot be used; %s instead\n", stem, extension, name);
            return f;
        }
        forget_partial_file(name);
        if (errno != EISDIR) break;
    }
    return nullptr;
}

// Creates the temporary report (its name goes to temporary_name) and writes
// its start. With streamed given, the report is compressed as it is
// written, from its first byte.
FILE* start_report(char* temporary_name, size_t size, const char* stem, StreamingEncoder* streamed) {
    FILE* report = create_working_file(temporary_name, size, stem, "tmp", text_mode() ? "w" : "wb");
    if (!report) return nullptr;
    if (streamed) report = streamed->tee(report);
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
// False when any part of the report could not be written (a full disk).
bool finish_report(FILE* report) {
    if (output_mode() == 4) {
        char text[16];
        std::snprintf(text, sizeof text, "%8X", document_checksum());
        write_element(report, "CHK", text);
    }
    if (output_mode() == 1 || output_mode() == 4) close_element(report, "GATHERED_DATA");
    bool complete = std::fflush(report) == 0 && !std::ferror(report);
    if (std::fclose(report) != 0) complete = false;
    if (!complete) debug_printf("report: not completely written: %s\n", std::strerror(errno));
    return complete;
}

// Runs one fixed section behind its level and question and shows its status.
void run_status_step(const run_options& options, FILE* console, int32_t level, const char* label,
                     const char* (*section)(FILE*), FILE* report) {
    if (!fixed_section_wanted(label)) return;
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

    if (fixed_section_wanted("Time Zone Info") &&
        confirm_step(console, silent, options.step, options.level, 2, "Time Zone Info")) {
        begin_section(report, "TIME ZONE");
        write_time_zone_section(report);
        end_section(report);
        if (!silent) std::fprintf(console, "OK\n");
    }

    run_status_step(options, console, 1, "SMBIOS Info", write_smbios_section, report);
    run_pci_steps(options, console, report);
    run_status_step(options, console, 4, "Service Processor Info", gather_all_service_processor_groups, report);
}

// A report that could not be written completely: its own code, apart from
// the container's (-6 is a container write that failed).
constexpr int report_incomplete = -12;

// Packs the report into the sealed container final_name. Gives 0, or the
// code of the first step that failed (report_incomplete for a report that
// was not written completely, which is never packed); a failed packing
// leaves no container.
int pack_report(ContainerFile& container, const char* final_name, const char* temporary_name,
                bool report_complete, bool silent, FILE* console, StreamingEncoder* streamed = nullptr) {
    // Until it is sealed the container is a partial file, as are its working
    // files of known names.
    const std::string sealing_name = std::string(final_name) + ".tmp";
    const char* const packing_files[] = {final_name, sealing_name.c_str(), "KDLIC.TMP"};
    for (const char* name : packing_files) track_partial_file(name);
    int status = report_complete ? container.create(final_name) : report_incomplete;
    const bool created = status == 0;
    int item_status = 0;
    if (status == 0) status = container.write_version_record(sifterra_version, &item_status);
    if (status == 0) status = item_status;
    if (!silent) write_dotted_label(console, "Compressing Info");
    int item = text_mode() ? text_report_item_id : xml_report_item_id;
    if (status == 0) status = add_streamed_item(container, streamed, item, temporary_name);
    int closed = container.close();
    if (status == 0) status = closed;
    if (status == 0) status = ContainerFile::seal(final_name);
    if (!silent) {
        if (status != 0)
            std::fprintf(console, "ERROR %d\n", status);
        else
            std::fprintf(console, "OK\n");
    }
    if (status != 0) {
        debug_printf("packing %s: rc = %d\n", final_name, status);
        if (created) unlink(final_name);
    }
    for (const char* name : packing_files) forget_partial_file(name);
    return status;
}

// Cleans the finished report into cleaned_name before it is packed: the
// machine's identifiers are replaced (privacy/report_cleaner.h), and the
// result name with them. The map of replacements lands beside the
// container, readable by its owner only. Gives 0, or cleaning_failed (the
// report is then not packed, so that nothing uncleaned leaves by mistake).
constexpr int cleaning_failed = -11;

int clean_report(const char* temporary_name, char* cleaned_name, size_t cleaned_name_size, const char* stem,
                 char* base_name, size_t base_name_size, std::string* map_name, bool silent, FILE* console) {
    if (!silent) write_dotted_label(console, "Cleaning Info");
    clean_options options;
    // The machine id names the machine wherever the logs carry it.
    if (FILE* id = fopen_no_follow("/etc/machine-id", "rb")) {
        char text[80] = "";
        if (std::fgets(text, sizeof text, id)) options.machine_ids.emplace_back(text);
        std::fclose(id);
    }
    report_cleaner cleaner{options};
    std::string problem;
    FILE* in = fopen_no_follow(temporary_name, "rb");
    FILE* out = create_working_file(cleaned_name, cleaned_name_size, stem, "cln", "wb");
    bool cleaned = in && out && cleaner.clean(in, out, &problem);
    if (in) std::fclose(in);
    if (out && std::fclose(out) != 0) cleaned = false;
    if (cleaned) {
        std::string name = cleaner.replace(base_name, true).substr(0, base_name_size - 1);
        std::snprintf(base_name, base_name_size, "%s", name.c_str());
        *map_name = name + ".map";
        cleaned = cleaner.save_map(*map_name, &problem);
    }
    if (!cleaned) {
        debug_printf("cleaning: %s\n", problem.empty() ? std::strerror(errno) : problem.c_str());
        unlink(cleaned_name);
        map_name->clear();
    }
    if (!silent && cleaned) std::fprintf(console, "OK\n");
    if (!silent && !cleaned) std::fprintf(console, "ERROR %d\n", cleaning_failed);
    return cleaned ? 0 : cleaning_failed;
}

// Moves the temporary report to plain_name; a file or link there is
// replaced, not written through. Gives the name that now holds the report.
std::string keep_plain_copy(const char* temporary_name, const std::string& plain_name, bool silent,
                            FILE* console) {
    if (std::rename(temporary_name, plain_name.c_str()) == 0) return plain_name;
    debug_printf("rename %s to %s: %s\n", temporary_name, plain_name.c_str(), std::strerror(errno));
    if (!silent) std::fprintf(console, "ERROR: Cannot rename %s to %s\n", temporary_name, plain_name.c_str());
    return temporary_name;
}

// The console wrapper lives as long as the run; closing it leaves the
// standard stream under it open.
struct console_scope {
    FILE* console;
    FILE* target;
    ~console_scope() {
        if (console != target) std::fclose(console);
        run_context.console = target;
    }
};

}  // namespace

int run_sifterra(int argc, const char* const* argv) {
    open_standard_descriptors();
    survive_failed_writes();
    remove_partial_files_on_signals();
    set_output_mode(4);
    ContainerFile container;

    run_options options = parse_arguments(argc, argv);
    register_device_probes();
    chosen_sections = choose_sections(options, registered_sections(), options.warnings);
    if (!options.silent)
        for (const std::string& warning : options.warnings) std::fprintf(stderr, "sifterra: %s\n", warning.c_str());
    if (options.list && !options.help) {
        write_section_list(stdout, registered_sections());
        std::fflush(stdout);
        return exit_done;
    }
    if (options.debug_logs > 0 || !options.help) open_debug_log(options.debug_logs);
    if (options.help) {
        show_usage(argc > 0 ? argv[0] : "sifterra");
        return exit_done;
    }
    debug_printf("Sifterra version %s Dec  4 2002 10:39:54\n", sifterra_version);

    if (!options.batch && !options.silent) {
        if (!ask_agreement()) {
            write_refusal();
            return exit_refused;
        }
        if (getuid() != 0) write_root_warning();
    }

    FILE* const console_target = options.batch ? stdout : stderr;
    FILE* console = open_console(console_target);
    console_scope console_in_use{console, console_target};
    run_context.console = console;
    const bool silent = options.silent;
    if (!silent) write_banner(console);

    char stem[32];
    std::snprintf(stem, sizeof stem, "keldr%x", static_cast<unsigned>(getpid()));
    char temporary_name[64];
    // The report is compressed as it is written, on a second thread; -clean
    // packs the cleaned copy instead.
    StreamingEncoder streamed;
    FILE* report = start_report(temporary_name, sizeof temporary_name, stem, options.clean ? nullptr : &streamed);
    if (!report) {
        if (!silent) std::fprintf(console, "ERROR: Cannot create temp file. Is the disk full ?\n\n");
        return exit_no_report;
    }
    run_context.silent = silent;
    run_context.level = options.level;
    run_context.report = report;

    char base_name[256] = "";
    set_summary_case_id(options.case_id);
    run_fixed_sections(options, console, report, base_name, sizeof base_name);
    apply_choice(chosen_sections, registered_sections());
    if (options.since_days > 0) {
        keep_journal_days(options.since_days);
        set_kernel_log_days(options.since_days);
    }
    test_all();
    bool report_complete = finish_report(report);
    run_context.report = nullptr;

    // With -clean the cleaned report is the one packed and kept.
    char cleaned_name[64] = "";
    const char* report_name = temporary_name;
    std::string map_name;
    int status = 0;
    if (options.clean && report_complete && output_mode() == 4) {
        status = clean_report(temporary_name, cleaned_name, sizeof cleaned_name, stem, base_name, sizeof base_name,
                              &map_name, silent, console);
        if (status == 0) {
            unlink(temporary_name);
            report_name = cleaned_name;
        }
    }

    std::string final_name = std::string(base_name) + (output_mode() == 4 ? ".KD2" : ".KDR");
    if (status == 0)
        status = pack_report(container, final_name.c_str(), report_name, report_complete, silent, console,
                             report_name == temporary_name ? &streamed : nullptr);

    // A report that could not be packed is kept as the plain copy.
    if (status != 0 || options.keep_plain_copy) {
        std::string plain_name = std::string(base_name) + (text_mode() ? ".TXT" : ".XML");
        final_name = keep_plain_copy(report_name, plain_name, silent, console);
    } else {
        unlink(report_name);
    }
    // What is left now is complete: the container, or the report kept in its place.
    forget_partial_file(temporary_name);
    forget_partial_file(cleaned_name);

    if (!silent && !map_name.empty())
        std::fprintf(console, "\nIdentifiers were replaced (best effort, see the README); their map is %s: keep it private.\n",
                     map_name.c_str());
    if (!silent) std::fprintf(console, "\nDone. Information is stored in %s\n\n", final_name.c_str());
    std::fflush(console);
    return status != 0 ? exit_packing_failed : exit_done;
}

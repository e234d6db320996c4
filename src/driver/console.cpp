#include "driver/console.h"

#include <cstring>
#include <new>

#include "base/run_context.h"

namespace {

constexpr int disclaimer_width = 76;

const char* const warranty_lines[12] = {
    "This software is provided \"as is\", without warranty of any kind, express or",
    "implied, including but not limited to the warranties of merchantability,",
    "fitness for a particular purpose and non-infringement. The entire risk as",
    "to the quality and performance of the software and of the information it",
    "gathers is with you.",
    "In no event shall Varnholt or its suppliers be liable for any damages",
    "whatsoever, direct or indirect, including loss of data, loss of business",
    "profits or business interruption, arising out of the use of or the",
    "inability to use this software, even if advised of the possibility of",
    "such damages.",
    "By using this software you accept these terms. If you do not accept them,",
    "you may not use this software.",
};

const char* const note_lines[3] = {
    "NOTE.- This software takes no private data. The data it gathers is treated",
    "as confidential and is seen only by the authorised technical support staff",
    "of Varnholt.",
};

void write_rule(FILE* out) {
    for (int i = 0; i < disclaimer_width; ++i) std::fputc('-', out);
    std::fputc('\n', out);
}

void write_padded(FILE* out, const char* line) {
    std::fprintf(out, "%-*.*s\n", disclaimer_width, disclaimer_width, line);
}

struct console_sink {
    FILE* target;
    bool failed;
};

ssize_t write_to_console(void* cookie, const char* data, size_t size) {
    auto* sink = static_cast<console_sink*>(cookie);
    if (!sink->failed && (std::fwrite(data, 1, size, sink->target) != size || std::fflush(sink->target) != 0 ||
                          std::ferror(sink->target)))
        sink->failed = true;
    return static_cast<ssize_t>(size);
}

int close_console(void* cookie) {
    delete static_cast<console_sink*>(cookie);
    return 0;
}

// Reads one line from in, keeping the first `keep` characters and dropping
// the rest of the line. False at end of input with nothing read.
bool read_answer(FILE* in, char* buffer, size_t keep) {
    size_t stored = 0;
    int c;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (stored < keep) buffer[stored++] = static_cast<char>(c);
    }
    buffer[stored] = '\0';
    return any;
}

}  // namespace

void show_usage(const char* program_name, FILE* err) {
    std::fprintf(err, "\nVarnholt Technical Support Information Sifterra\n");
    std::fprintf(err, "%s\n", rights_line);
    std::fprintf(err, "Version %s\n\n", sifterra_version);
    std::fprintf(err, "Usage: %s [-help] | [-batch] | [-silent]", program_name ? program_name : "");
    std::fprintf(err, "\n\n");
    std::fprintf(err, " -help      : Show this message.\n");
    std::fprintf(err, " -batch     : Do not show the disclaimer.\n");
    std::fprintf(err, " -silent    : Do not show anything during operation.\n");
    std::fprintf(err, " -clean     : Replace host names, addresses and serial numbers before packing.\n");
    std::fprintf(err, " -caseID    : Store the case or ticket id ID in the report (name code @C).\n");
    std::fprintf(err, " -sinceN    : Keep only the journal and kernel log of the last N days.\n");
    std::fprintf(err, " -skipLIST  : Leave out the sections named in LIST (comma-separated).\n");
    std::fprintf(err, " -onlyLIST  : Run only the sections named in LIST (and the summary).\n");
    std::fprintf(err, " -list      : Show the sections and their short names.\n");
    std::fprintf(err, "\n");
}

void write_disclaimer(FILE* out) {
    write_rule(out);
    for (const char* line : warranty_lines) write_padded(out, line);
    write_rule(out);
    for (const char* line : note_lines) write_padded(out, line);
    write_rule(out);
    std::fputc('\n', out);
}

bool ask_agreement(FILE* in, FILE* out) {
    std::fprintf(out, "\n                                 DISCLAIMER\n");
    write_disclaimer(out);
    std::fprintf(out, "Do you agree with the above terms ? [y/n] ... ");
    std::fflush(out);
    char answer[264];
    if (!read_answer(in, answer, 263)) return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

void write_refusal(FILE* err) {
    std::fprintf(err, "\n%s.\n", "Sorry, this software only works if you agree with the above terms");
}

void write_root_warning(FILE* err) {
    std::fprintf(err, "\n\nThis program should be run as <root>\n");
    std::fprintf(err, "If run by any other user important information will not be available\n\n");
}

void write_banner(FILE* console) {
    std::fprintf(console, "\nVarnholt Technical Support Information Sifterra\n");
    std::fprintf(console, "%s\n", rights_line);
    std::fprintf(console, "Version %s \n", sifterra_version);
    std::fprintf(console, "\n");
}

void write_dotted_label(FILE* console, const char* label) {
    std::fprintf(console, "%s ", label);
    for (size_t i = std::strlen(label); i <= 30; ++i) std::fputc('.', console);
    std::fputc(' ', console);
}

bool confirm_step(FILE* console, bool silent, bool step, int32_t run_level, int32_t section_level, const char* label,
                  FILE* in) {
    if (section_level > run_level) return false;
    if (step) {
        std::fprintf(console, "Run %s?: ", label);
        std::fflush(console);
        char answer[268];
        read_answer(in, answer, 267);
        if (std::strpbrk(answer, "yY")) {
            std::fprintf(console, "Running: %s - ", label);
            return true;
        }
        std::fprintf(console, "Skipping: %s\n", label);
        return false;
    }
    if (silent) return true;
    write_dotted_label(console, label);
    return true;
}

FILE* open_console(FILE* target) {
    auto* sink = new (std::nothrow) console_sink{target, false};
    if (!sink) return target;
    cookie_io_functions_t functions{nullptr, write_to_console, nullptr, close_console};
    FILE* console = fopencookie(sink, "w", functions);
    if (!console) {
        delete sink;
        return target;
    }
    std::setvbuf(console, nullptr, _IONBF, 0);
    return console;
}

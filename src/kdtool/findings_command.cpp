// kdtool findings: the problems a report shows, for a person or as JSON.
#include "kdtool/findings.h"
#include "kdtool/json_text.h"
#include "kdtool/kdtool_commands.h"
#include "kdtool/text_form.h"


void write_findings_text(FILE* out, const std::vector<finding>& found, bool quiet_when_none) {
    if (found.empty()) {
        if (!quiet_when_none) std::fputs("No findings.\n", out);
        return;
    }
    int counts[3] = {0, 0, 0};
    for (const finding& f : found) counts[static_cast<int>(f.severity)]++;
    std::fprintf(out, "Findings: %zu (%d critical, %d warning, %d info)\n", found.size(), counts[0], counts[1],
                 counts[2]);
    for (const finding& f : found) {
        std::fprintf(out, "  %-8s  %s", severity_name(f.severity), f.title.c_str());
        if (f.repeats > 1) std::fprintf(out, " [%ld times]", f.repeats);
        std::fprintf(out, "\n            evidence: %s\n            next: %s\n", f.evidence.c_str(), f.next.c_str());
    }
}

void write_findings_json(FILE* out, const std::vector<finding>& found) {
    std::fputs("[", out);
    const char* separator = "\n";
    for (const finding& f : found) {
        std::fprintf(out, "%s  {\"severity\": ", separator);
        put_json_string(out, severity_name(f.severity));
        std::fputs(", \"rule\": ", out);
        put_json_string(out, f.rule);
        std::fputs(", \"title\": ", out);
        put_json_string(out, f.title);
        std::fputs(", \"evidence\": ", out);
        put_json_string(out, f.evidence);
        std::fputs(", \"section\": ", out);
        put_json_string(out, f.section);
        std::fputs(", \"item\": ", out);
        put_json_string(out, f.item);
        std::fprintf(out, ", \"repeats\": %ld, \"next\": ", f.repeats);
        put_json_string(out, f.next);
        std::fputs("}", out);
        separator = ",\n";
    }
    std::fputs(found.empty() ? "]\n" : "\n]\n", out);
}

int kdtool_findings(const kdtool_args& args, const kdtool_io& io) {
    std::string name;
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else if (name.empty() && !a.empty() && a[0] != '-')
            name = a;
        else
            return kdtool_usage(io);
    }
    if (name.empty()) return kdtool_usage(io);
    workspace ws;
    report_source source;
    int rc = open_report_source(ws, name, "report", io, &source);
    if (rc != exit_good) return rc;
    std::vector<finding> found;
    std::string problem;
    if (!find_report_problems(source.path, &found, &problem)) return kdtool_fail(io, name + ": " + problem);
    if (json)
        write_findings_json(io.out, found);
    else
        write_findings_text(io.out, found);
    std::fflush(io.out);
    return exit_good;
}

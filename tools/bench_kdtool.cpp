// Prints the throughput and peak resident memory of kdtool show, json, diff
// and clean (of a container holding the report) on generated reports of 25 and 100 MB (1 MB = 1,000,000 bytes). Each
// command runs in a child process, whose peak memory is read from wait4, so
// the generator's own memory is not counted. Equal throughput at both sizes
// means linear time; equal peak memory means memory bounded independently
// of the report's size.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/run_context.h"
#include "report/report.h"
#include "report/report_table.h"
#include "report/xml.h"

namespace {

// Writes a report of about target bytes: sections of tables and log files.
// A variant report has one cell changed, one row added and one file line
// changed in its middle section.
void write_report(const std::string& path, const std::string& scratch, size_t target, bool variant) {
    std::mt19937 rng(7);
    reset_report_state();
    set_output_mode(4);
    FILE* out = std::fopen(path.c_str(), "wb");
    write_xml_declaration(out);
    open_element(out, "GATHERED_DATA");
    write_element(out, "SIFTERRA_VERSION", sifterra_version);
    size_t sections = 0;
    size_t middle = target / 2;
    bool changed = false;
    while (static_cast<size_t>(std::ftell(out)) < target) {
        std::string title = "Section " + std::to_string(sections++);
        bool change_here = variant && !changed && static_cast<size_t>(std::ftell(out)) > middle;
        changed = changed || change_here;
        begin_section(out, title.c_str());
        {
            report_table t(out, "Devices");
            t.start_heading();
            t.add_column("Name", STRING);
            t.add_column("Vendor", ASCII_STRING);
            t.add_column("Size", INTEGER);
            t.add_column("Flags", HEX);
            t.add_column("Present", BOOL);
            t.end_heading();
            for (int r = 0; r < 4000 + (change_here ? 1 : 0); r++) {
                std::string name = "dev" + std::to_string(r);
                t.start_row(name.c_str());
                t.log_data(name.c_str());
                t.log_data(change_here && r == 17 ? "Changed Vendor Ltd" : "ACME Storage Corporation");
                t.log_data(static_cast<int32_t>(rng() % 100000));
                t.log_data(static_cast<int32_t>(rng() % 0xFFFF));
                t.log_data(r % 2);
                t.end_row();
            }
        }
        std::string log = scratch + "/log.txt";
        FILE* f = std::fopen(log.c_str(), "wb");
        for (int line = 0; line < 20000; line++)
            std::fprintf(f, "Dec  9 08:%02d:%02d host kernel: [%8d.%06d] event %d on device %u%s\n", line / 60 % 60,
                         line % 60, line, static_cast<int>(rng() % 1000000), line, static_cast<unsigned>(rng() % 64),
                         change_here && line == 10000 ? " (changed)" : "");
        std::fclose(f);
        embed_file(out, log.c_str());
        end_section(out);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%8X", document_checksum());
    write_element(out, "CHK", text);
    close_element(out, "GATHERED_DATA");
    std::fclose(out);
}

struct measure {
    double seconds = 0;
    long peak_kb = 0;
    int status = -1;
};

measure run_child(const std::vector<std::string>& args) {
    measure m;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peak_kb = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

}  // namespace

int main() {
    std::string kdtool = std::filesystem::canonical("/proc/self/exe").parent_path() / "kdtool";
    if (!std::filesystem::exists(kdtool)) {
        std::fprintf(stderr, "bench_kdtool: %s not found (build the kdtool target)\n", kdtool.c_str());
        return 1;
    }
    char pattern[] = "/tmp/bench_kdtool.XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;
    std::printf("%-6s %9s %9s %10s %12s %5s\n", "cmd", "report", "seconds", "MB/s", "peak RSS", "exit");
    for (size_t megabytes : {25, 100}) {
        std::string a = dir + "/a.xml", b = dir + "/b.xml";
        write_report(a, dir, megabytes * 1000000, false);
        write_report(b, dir, megabytes * 1000000, true);
        double size = static_cast<double>(std::filesystem::file_size(a)) / 1e6;
        std::string packed = dir + "/a.KD2", cleaned = dir + "/clean.KD2";
        run_child({kdtool, "pack", packed, a});
        std::filesystem::remove(cleaned);
        struct {
            const char* name;
            std::vector<std::string> args;
            double bytes;
        } runs[] = {{"show", {kdtool, "show", a, "--full"}, size},
                    {"json", {kdtool, "json", a}, size},
                    {"diff", {kdtool, "diff", a, b}, 2 * size},
                    {"clean", {kdtool, "clean", packed, cleaned, "--hostname", "host", "--keyword", "ACME"}, size}};
        for (const auto& r : runs) {
            measure m = run_child(r.args);
            std::printf("%-6s %6.1f MB %9.2f %10.1f %9.1f MB %5d\n", r.name, size, m.seconds, r.bytes / m.seconds,
                        m.peak_kb / 1024.0, m.status);
            std::fflush(stdout);
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}

// Reports written with the report writer itself, for the kdtool commands.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/run_context.h"
#include "kdtool/kdtool_commands.h"
#include "report/report.h"
#include "report/report_table.h"
#include "report/xml.h"
#include "support/temp_dir.h"

// What goes into a test report; the defaults make one with every element kind.
struct report_recipe {
    std::string vendor = "ACME <Systems> & \"Sons\"";
    std::vector<std::vector<std::string>> disks = {{"sda", "512"}, {"sdb", "1024"}};
    std::string file_text = "line 1\n</pre><script>alert('x')</script>\nline 3\n";
    bool tree = true;
    std::vector<std::string> extra_sections;
};

// Writes the report as the program does (mode 4) and gives its text.
inline std::string write_report(const temp_dir& dir, const std::string& name, const report_recipe& r) {
    reset_report_state();
    set_output_mode(4);
    std::string embedded = dir.file("embedded.txt");
    write_file(embedded, r.file_text);
    std::string path = dir.file(name);
    FILE* out = std::fopen(path.c_str(), "wb");
    write_xml_declaration(out);
    open_element(out, "GATHERED_DATA");
    write_element(out, "SIFTERRA_VERSION", sifterra_version);
    begin_section(out, "SYSTEM SUMMARY");
    {
        report_table t(out, "System Summary");
        t.start_heading();
        t.add_column("Computer Name", STRING);
        t.add_column("System Vendor", ASCII_STRING);
        t.add_column("OS Version", ASCII_STRING);
        t.add_column("BIOS Version", ASCII_STRING);
        t.add_column("BIOS Date", ASCII_STRING);
        t.end_heading();
        t.start_row("");
        t.log_data("host1");
        t.log_data(r.vendor.c_str());
        t.log_data("6.1.0-test");
        t.log_data("AC8670.1.04");
        t.log_data("03/15/2023");
        t.end_row();
    }
    end_section(out);
    begin_section(out, "Storage");
    {
        report_table t(out, "Disks");
        t.start_heading();
        t.add_column("Name", STRING);
        t.add_column("Size", INTEGER);
        t.add_column("Flags", HEX);
        t.add_column("Boot", BOOL);
        t.set_column_width(0, 6);
        t.end_heading();
        for (const auto& disk : r.disks) {
            t.start_row(disk[0].c_str());
            t.log_data(disk[0].c_str());
            t.log_data(std::atoi(disk[1].c_str()));
            t.log_data(0x1F);
            t.log_data(disk[0] == "sda" ? 1 : 0);
            t.end_row();
        }
    }
    embed_file(out, embedded.c_str());
    if (r.tree) {
        report_tree tree(out, "Bus Tree");
        tree.open_node_with_value("Bus", "0");
        tree.leaf("Device", "bridge & co");
        tree.aligned_leaf("Slot", "Slot label", "3", 10);
        tree.close_node();
    }
    end_section(out);
    for (const std::string& title : r.extra_sections) {
        begin_section(out, title.c_str());
        end_section(out);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%8X", document_checksum());
    write_element(out, "CHK", text);
    close_element(out, "GATHERED_DATA");
    std::fclose(out);
    reset_report_state();
    return path;
}

struct command_run {
    int rc = -1;
    std::string out;
    std::string err;
};

// Runs a kdtool command in this process with its output captured.
inline command_run run_command(int (*command)(const kdtool_args&, const kdtool_io&), const kdtool_args& args) {
    captured_stream out, err;
    kdtool_io io{out.get(), err.get()};
    command_run run;
    run.rc = command(args, io);
    run.out = out.text();
    run.err = err.text();
    return run;
}

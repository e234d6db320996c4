// kdtool summary over folders of containers: one row each, in name order,
// damaged ones named and passed over.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>

#include "report_fixture.h"

namespace {

using cells = std::vector<std::pair<std::string, std::string>>;

// A report whose summary has the given columns, and a second section.
std::string summary_report(const temp_dir& dir, const std::string& name, const cells& columns) {
    reset_report_state();
    set_output_mode(4);
    std::string path = dir.file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* out = std::fopen(path.c_str(), "wb");
    write_xml_declaration(out);
    open_element(out, "GATHERED_DATA");
    write_element(out, "SIFTERRA_VERSION", sifterra_version);
    begin_section(out, "SYSTEM SUMMARY");
    {
        report_table t(out, "System Summary");
        t.start_heading();
        for (const auto& column : columns) t.add_column(column.first.c_str(), STRING);
        t.end_heading();
        t.start_row("");
        for (const auto& column : columns) t.log_data(column.second.c_str());
        t.end_row();
    }
    end_section(out);
    begin_section(out, "Later");
    end_section(out);
    char text[16];
    std::snprintf(text, sizeof text, "%8X", document_checksum());
    write_element(out, "CHK", text);
    close_element(out, "GATHERED_DATA");
    std::fclose(out);
    reset_report_state();
    return path;
}

cells machine(const std::string& host, const std::string& case_id) {
    cells c = {{"Computer Name", host},        {"System Vendor", "ACME"},   {"System Model", "R7"},
               {"System Serial Number", "S-" + host}, {"BIOS Version", "2.1"}, {"OS Vendor", "Debian"},
               {"OS Name", "Linux"},           {"OS Type", "Linux (Debian)"}, {"OS Version", "6.1.0 (x86_64)"},
               {"OS Issue", "12.5"},           {"OS Release", "#1"},         {"Current User", "root"}};
    if (!case_id.empty()) c.push_back({"Case ID", case_id});
    return c;
}

class Summary : public ::testing::Test {
protected:
    // A container of a report with these summary columns, at folder/name.
    std::string pack(const std::string& name, const cells& columns) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
        std::string report = summary_report(dir, "report.xml", columns);
        EXPECT_EQ(run_command(kdtool_pack, {dir.file(name), report}).rc, 0);
        std::remove(report.c_str());
        return dir.file(name);
    }
    // The CSV lines with the run time column (a pack's current time) blanked.
    std::vector<std::string> csv_lines(const kdtool_args& args, command_run* run) {
        *run = run_command(kdtool_summary, args);
        std::vector<std::string> lines;
        std::string text = std::regex_replace(run->out, std::regex(",\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC,"), ",T,");
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }
    temp_dir dir;
};

TEST_F(Summary, OneRowPerContainerDamagedOnesNamed) {
    pack("case/web02/b.KD2", machine("web02", "CS-1"));
    pack("case/web01/a.KD2", machine("web01", "CS-1"));
    pack("case/old/o.kd2", machine("old", ""));  // a report from before case ids
    summary_report(dir, "case/plain/p.XML", machine("plain", "CS-1"));
    write_file(dir.file("case/notes.txt"), "not a container");
    std::string whole = read_file(dir.file("case/web01/a.KD2"));
    for (const char* folder : {"case/junk", "case/cut"}) std::filesystem::create_directories(dir.file(folder));
    write_file(dir.file("case/junk/j.XML"), "<nothing");
    summary_report(dir, "case/nosummary/n.XML", {});
    symlink(dir.file("case/web01/a.KD2").c_str(), dir.file("case/link.KD2").c_str());

    write_file(dir.file("case/cut/c.KD2"), whole.substr(0, whole.size() / 2));

    command_run run;
    std::vector<std::string> lines = csv_lines({"--csv", dir.file("case")}, &run);
    EXPECT_EQ(run.rc, 1);
    const std::string c = dir.file("case");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "File,Host,Vendor,Model,Serial,BIOS Version,OS,Kernel,Run Time,Case ID,Critical,Warning,Info",
                         c + "/old/o.kd2,old,ACME,R7,S-old,2.1,Linux (Debian) 12.5,6.1.0 (x86_64),T,,0,0,0",
                         c + "/plain/p.XML,plain,ACME,R7,S-plain,2.1,Linux (Debian) 12.5,6.1.0 (x86_64),,CS-1,0,0,0",
                         c + "/web01/a.KD2,web01,ACME,R7,S-web01,2.1,Linux (Debian) 12.5,6.1.0 (x86_64),T,CS-1,0,0,0",
                         c + "/web02/b.KD2,web02,ACME,R7,S-web02,2.1,Linux (Debian) 12.5,6.1.0 (x86_64),T,CS-1,0,0,0",
                     }));
    for (const char* damaged : {"/cut/c.KD2: ", "/junk/j.XML: not well-formed", "/nosummary/n.XML: no system summary"})
        EXPECT_NE(run.err.find("kdtool: " + c + damaged), std::string::npos) << damaged << "\n" << run.err;
    EXPECT_EQ(run.err.find("notes.txt"), std::string::npos);
    EXPECT_EQ(run.err.find("link.KD2"), std::string::npos);

    // Files named one by one, in the order given; all sound: exit 0.
    lines = csv_lines({"--csv", c + "/web02/b.KD2", c + "/web01/a.KD2"}, &run);
    EXPECT_EQ(run.rc, 0) << run.err;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind(c + "/web02/b.KD2,web02,", 0), 0u);
}

TEST_F(Summary, TableAndJsonForms) {
    pack("f/a.KD2", machine("web01", "CS-1"));
    command_run table = run_command(kdtool_summary, {dir.file("f")});
    ASSERT_EQ(table.rc, 0) << table.err;
    std::string text = std::regex_replace(table.out, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC"),
                                          "YYYY-MM-DD hh:mm:ss UTC");
    const std::string file = dir.file("f/a.KD2");
    const std::string pad(file.size() - 4, ' ');
    EXPECT_EQ(text, "File" + pad + "  Host   Vendor  Model  Serial   BIOS Version  OS                   Kernel          "
                    "Run Time                 Case ID  Critical  Warning  Info\n" +
                        file + "  web01  ACME    R7     S-web01  2.1           Linux (Debian) 12.5  6.1.0 (x86_64)  "
                        "YYYY-MM-DD hh:mm:ss UTC  CS-1     0         0        0\n");

    command_run json = run_command(kdtool_summary, {"--json", dir.file("f")});
    EXPECT_EQ(std::regex_replace(json.out, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC"), "T"),
              "[\n{\"file\": \"" + file + "\", \"host\": \"web01\", \"vendor\": \"ACME\", \"model\": \"R7\", "
              "\"serial\": \"S-web01\", \"bios_version\": \"2.1\", \"os\": \"Linux (Debian) 12.5\", "
              "\"kernel\": \"6.1.0 (x86_64)\", \"run_time\": \"T\", \"case_id\": \"CS-1\", "
              "\"critical\": 0, \"warning\": 0, \"info\": 0}\n]\n");
    EXPECT_EQ(run_command(kdtool_summary, {"--json", dir.file("empty-but-absent")}).out, "[]\n");
}

// Values from the machines are made safe for each form.
TEST_F(Summary, ValuesAreMadeSafeForEachForm) {
    struct {
        std::string host, csv, json, table;
    } cases[] = {
        {"a,b", "\"a,b\"", "\"a,b\"", "a,b"},
        {"say \"hi\"", "\"say \"\"hi\"\"\"", "\"say \\\"hi\\\"\"", "say \"hi\""},
        {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0", "\"=cmd|' /C calc'!A0\"", "=cmd|' /C calc'!A0"},
        {"-2+3", "'-2+3", "\"-2+3\"", "-2+3"},
        {"back\\slash", "back\\slash", "\"back\\\\slash\"", "back\\slash"},
        {std::string(60, 'x'), std::string(60, 'x'), "\"" + std::string(60, 'x') + "\"", std::string(45, 'x') + "..."},
    };
    for (const auto& c : cases) {
        std::string box = pack("v/h.KD2", machine(c.host, ""));
        command_run csv = run_command(kdtool_summary, {"--csv", box});
        EXPECT_NE(csv.out.find("\r\n" + box + "," + c.csv + ",ACME,"), std::string::npos) << csv.out;
        command_run json = run_command(kdtool_summary, {"--json", box});
        EXPECT_NE(json.out.find("\"host\": " + c.json + ", \"vendor\""), std::string::npos) << json.out;
        command_run table = run_command(kdtool_summary, {box});
        EXPECT_NE(table.out.find("\n" + box + "  " + c.table + " "), std::string::npos) << table.out;
    }
}

// verify takes the plain report a failed packing keeps: its checksums
// alone decide, as inside a container.
TEST_F(Summary, VerifyChecksPlainReports) {
    std::string good = summary_report(dir, "good.XML", machine("web01", "CS-1"));
    std::string text = read_file(good);
    struct {
        std::string name, bytes;
        int rc;
        std::string said;
    } cases[] = {
        {"ok.XML", text, 0, "a plain report, no container\nreport: 1 rows, 1 tables, 0 files, 2 sections"},
        {"changed.XML", std::regex_replace(text, std::regex(">web01<"), ">web02<"), 1, "report: "},
        {"cut.XML", text.substr(0, text.size() / 2), 1, "report: "},
        {"other.XML", "<?xml version=\"1.0\"?><HTML/>", 1, "report: "},
    };
    for (const auto& c : cases) {
        write_file(dir.file(c.name), c.bytes);
        command_run run = run_command(kdtool_verify, {dir.file(c.name)});
        EXPECT_EQ(run.rc, c.rc) << c.name << run.err;
        EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << c.name << run.out << run.err;
        EXPECT_EQ(run.out.find(": OK\n") != std::string::npos, c.rc == 0) << c.name;
    }
}

TEST_F(Summary, Usage) {
    for (const kdtool_args& args : std::vector<kdtool_args>{{}, {"--csv"}, {"--xml", "f"}, {"-x", "f"}})
        EXPECT_EQ(run_command(kdtool_summary, args).rc, 2);
}

}  // namespace

// kdtool show in a terminal: tables fit its width, long texts go on
// continuation lines, PCI functions carry their usual address.
#include <gtest/gtest.h>

#include <sstream>

#include "report/report_builder.h"
#include "report_fixture.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines of the table titled title, from its first border to its last.
std::vector<std::string> table_lines(const std::string& shown, const std::string& title) {
    std::vector<std::string> all = lines_of(shown), table;
    bool in = false;
    for (const std::string& line : all) {
        if (line == "Table: " + title) {
            in = true;
            continue;
        }
        if (in && line.empty()) break;
        if (in) table.push_back(line);
    }
    return table;
}

built_section summary() {
    return {"SYSTEM SUMMARY", {{"System Summary", {{"Computer Name", STRING}}, {{"", "host1"}}}}, {}};
}

const std::string long_message =
    "Linux version 6.18.44 (builder@host) (gcc (GCC) 16.2.0, GNU ld (GNU Binutils) 2.46) #1 SMP PREEMPT_DYNAMIC "
    "with a tail that makes it well over two hundred characters long, as kernel messages of this kind are, end.";

TEST(ShowLayout, TablesFitTheTerminalAt80And200Columns) {
    temp_dir dir;
    std::string path = dir.file("r.xml");
    write_file(path, build_report({summary(),
                                   {"Kernel State",
                                    {{"Kernel Log",
                                      {{"Sequence", INTEGER}, {"Time", STRING}, {"Level", STRING}, {"Message", STRING}},
                                      {{"0", "0", "0.000000", "notice", long_message},
                                       {"1", "1", "0.100000", "info", "short"}}}},
                                    {}}}));
    struct {
        const char* width;
        size_t lines;  // of the table: borders, heading and rows
    } cases[] = {{"80", 10}, {"200", 7}};
    for (const auto& c : cases) {
        command_run show = run_command(kdtool_show, {path, "--width", c.width});
        ASSERT_EQ(show.rc, 0) << show.err;
        std::vector<std::string> table = table_lines(show.out, "Kernel Log");
        EXPECT_EQ(table.size(), c.lines) << show.out;
        std::string message;
        for (const std::string& line : table) {
            EXPECT_LE(line.size(), static_cast<size_t>(std::atoi(c.width))) << line;
            EXPECT_EQ(line.size(), table[0].size()) << "ragged: " << line;
            // The message column is the last: its pieces make the whole text.
            size_t bar = line.rfind("| ", line.size() - 2);
            if (line[0] == '|' && line.find("Message") == std::string::npos && bar != std::string::npos) {
                std::string piece = line.substr(bar + 2, line.size() - bar - 4);
                while (!piece.empty() && piece.back() == ' ') piece.pop_back();
                if (!message.empty() && !piece.empty() && message != "short") message += ' ';
                if (piece == "short") break;
                message += piece;
            }
        }
        // Breaks fall after blanks: joined back with one blank, nothing is lost.
        std::string squeezed;
        for (char ch : long_message)
            if (!(ch == ' ' && !squeezed.empty() && squeezed.back() == ' ')) squeezed += ch;
        std::string joined;
        for (char ch : message)
            if (!(ch == ' ' && !joined.empty() && joined.back() == ' ')) joined += ch;
        while (!joined.empty() && joined.back() == ' ') joined.pop_back();
        EXPECT_EQ(joined, squeezed) << c.width;
    }
    // Without a terminal width nothing is cut or wrapped.
    std::vector<std::string> wide = table_lines(run_command(kdtool_show, {path}).out, "Kernel Log");
    EXPECT_EQ(wide.size(), 6u);
    EXPECT_GT(wide[3].size(), 200u);
    EXPECT_EQ(run_command(kdtool_show, {path, "--width", "0"}).rc, exit_usage);
}

TEST(ShowLayout, PciFunctionsGetTheirBusAddress) {
    temp_dir dir;
    std::string path = dir.file("r.xml");
    built_table pci{"PCI Device Summary",
                    {{"Bus", INTEGER}, {"Device", INTEGER}, {"Function", INTEGER}, {"Device Name", STRING}},
                    {{"a", "26", "31", "7", "NIC"}, {"b", "0", "2", "0", "Disk"}}};
    write_file(path, build_report({summary(), {"PCI DEVICES", {pci}, {}}}));
    std::vector<std::string> table = table_lines(run_command(kdtool_show, {path}).out, "PCI Device Summary");
    ASSERT_EQ(table.size(), 6u);
    EXPECT_EQ(table[1], "| Address | Bus | Device | Function | Device Name |");
    EXPECT_EQ(table[3], "| 1a:1f.7 |  26 |     31 |        7 | NIC         |");
    EXPECT_EQ(table[4], "| 00:02.0 |   0 |      2 |        0 | Disk        |");
    // A table that names its addresses itself keeps them.
    pci.columns.emplace_back("Address", STRING);
    pci.rows[0].push_back("0000:1a:1f.7");
    pci.rows[1].push_back("0000:00:02.0");
    write_file(path, build_report({summary(), {"PCI DEVICES", {pci}, {}}}));
    table = table_lines(run_command(kdtool_show, {path}).out, "PCI Device Summary");
    EXPECT_EQ(table[1], "| Bus | Device | Function | Device Name | Address      |");
}

TEST(ShowLayout, AnUnknownSectionListsTheSections) {
    temp_dir dir;
    std::string path = dir.file("r.xml");
    write_file(path, build_report({{"One", {}, {}}, {"Two", {}, {}}}));
    command_run show = run_command(kdtool_show, {path, "--section", "Three"});
    EXPECT_EQ(show.rc, 1);
    EXPECT_NE(show.err.find("no section \"Three\"; the sections are:\n  One\n  Two\n"), std::string::npos) << show.err;
}

}  // namespace

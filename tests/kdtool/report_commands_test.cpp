// show, html, json and diff on reports written by the report writer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "report_fixture.h"

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Lines of the diff that name a change (not headers or context).
std::vector<std::string> change_lines(const std::string& diff) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < diff.size()) {
        size_t end = diff.find('\n', start);
        std::string line = diff.substr(start, end - start);
        size_t mark = line.find_first_not_of(' ');
        if (mark != std::string::npos && std::string("-+~").find(line[mark]) != std::string::npos &&
            line.compare(mark, 3, "---") != 0)
            lines.push_back(line);
        start = end == std::string::npos ? diff.size() : end + 1;
    }
    return lines;
}

class ReportCommands : public ::testing::Test {
protected:
    temp_dir dir;
    std::string html_file() const { return dir.file("page.html"); }
};

}  // namespace

TEST_F(ReportCommands, EveryElementKindIsRendered) {
    std::string report = write_report(dir, "r.xml", report_recipe{});

    command_run show = run_command(kdtool_show, {report});
    ASSERT_EQ(show.rc, 0) << show.err;
    for (const char* expected : {"System summary", "System Vendor : ACME <Systems> & \"Sons\"", "Table: Disks",
                                 "| Name   | Size | Flags | Boot  |", "| sda    |  512 |  0x1F | true  |",
                                 "---> FILE: ", "(48 bytes, checksum OK) <---", "</pre><script>alert('x')</script>",
                                 "Tree: Bus Tree", "BUS: 0", "  DEVICE: bridge & co", "  Slot label: 3",
                                 "Checksums: all match"})
        EXPECT_NE(show.out.find(expected), std::string::npos) << expected << "\n" << show.out;
    // The summary section is the header, not repeated as a section.
    EXPECT_EQ(show.out.find("  SYSTEM SUMMARY"), std::string::npos);

    command_run html = run_command(kdtool_html, {report, "-o", html_file()});
    ASSERT_EQ(html.rc, 0) << html.err;
    std::string page = read_file(html_file());
    for (const char* expected : {"<dt>Vendor</dt><dd>ACME &lt;Systems&gt; &amp; &quot;Sons&quot;</dd>",
                                 "<dt>Kernel</dt><dd>6.1.0-test</dd>", "<a href=\"#s1\">Storage</a>",
                                 "<dt>BIOS</dt><dd>AC8670.1.04 (03/15/2023)</dd>",
                                 "<td class=\"num\">512</td>", "<details id=\"i", "DEVICE: bridge &amp; co",
                                 "<dt>Checksums</dt><dd>all match</dd>"})
        EXPECT_NE(page.find(expected), std::string::npos) << expected;
    // Nothing external and nothing executable comes into the page.
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("http"), std::string::npos);
    EXPECT_NE(page.find("&lt;/pre&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);

    command_run json = run_command(kdtool_json, {report});
    ASSERT_EQ(json.rc, 0) << json.err;
    for (const char* expected :
         {R"("System Vendor":{"type":"ASC","width":13,"value":"ACME <Systems> & \"Sons\""})",
          R"({"key":"sda","cells":{"Name":{"type":"STR","width":6,"value":"sda"},"Size":{"type":"DEC","width":4,"value":512},"Flags":{"type":"HEX","width":5,"value":"0x1F"},"Boot":{"type":"BOOL","width":4,"value":true}},"checksum_ok":true})",
          R"("kind":"file")", R"(line 1\n</pre><script>alert('x')</script>\nline 3\n)",
          R"({"name":"BUS","id":"0","nodes":[)", R"({"name":"SLOT","id":"Slot label","value":"3"})",
          R"("summary":{"Computer Name":"host1")"})
        EXPECT_NE(json.out.find(expected), std::string::npos) << expected << "\n" << json.out;
    if (std::system("command -v jq >/dev/null 2>&1") == 0) {
        write_file(dir.file("r.json"), json.out);
        EXPECT_EQ(std::system(("jq -e '.sections[1].content[0].rows[1].cells.Size.value == 1024' '" +
                               dir.file("r.json") + "' >/dev/null")
                                  .c_str()),
                  0);
    }
}

TEST_F(ReportCommands, ChecksumsThatDoNotMatchAreMarked) {
    std::string text = read_file(write_report(dir, "r.xml", report_recipe{}));
    text.replace(text.find(">512<"), 5, ">513<");
    text.replace(text.find("line 3"), 6, "line 4");
    write_file(dir.file("bad.xml"), text);

    command_run show = run_command(kdtool_show, {dir.file("bad.xml")});
    ASSERT_EQ(show.rc, 0);
    EXPECT_NE(show.out.find("Table: Disks  [checksum does not match]"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("CHECKSUM DOES NOT MATCH"), std::string::npos);
    EXPECT_NE(show.out.find("  Storage  [checksum does not match]"), std::string::npos);
    ASSERT_EQ(run_command(kdtool_html, {dir.file("bad.xml"), "-o", html_file()}).rc, 0);
    EXPECT_GE(count(read_file(html_file()), "checksum does not match"), 3u);
    command_run json = run_command(kdtool_json, {dir.file("bad.xml")});
    EXPECT_NE(json.out.find(R"("row_count":2,"checksum_ok":false)"), std::string::npos) << json.out;
}

TEST_F(ReportCommands, ShowPicksSectionsAndCutsLongFiles) {
    report_recipe recipe;
    recipe.file_text.clear();
    for (int i = 1; i <= 250; i++) recipe.file_text += "log line " + std::to_string(i) + "\n";
    recipe.extra_sections = {"Other Things"};
    std::string report = write_report(dir, "r.xml", recipe);

    command_run show = run_command(kdtool_show, {report});
    EXPECT_NE(show.out.find("(50 earlier lines not shown; --full shows the whole file)\nlog line 51\n"),
              std::string::npos);
    EXPECT_EQ(show.out.find("log line 50\n"), std::string::npos);
    EXPECT_NE(show.out.find("  Other Things\n================\n  (nothing gathered)"), std::string::npos) << show.out;

    show = run_command(kdtool_show, {report, "--full", "--section", "storage"});
    EXPECT_NE(show.out.find("log line 1\nlog line 2\n"), std::string::npos);
    EXPECT_EQ(show.out.find("Other Things"), std::string::npos);

    show = run_command(kdtool_show, {report, "--section", "Nowhere"});
    EXPECT_EQ(show.rc, 1);
    EXPECT_NE(show.err.find("no section \"Nowhere\""), std::string::npos);
    EXPECT_EQ(run_command(kdtool_show, {report, "--section"}).rc, 2);
}

TEST_F(ReportCommands, DiffListsExactlyWhatChanged) {
    report_recipe before;
    std::string a = write_report(dir, "a.xml", before);
    command_run same = run_command(kdtool_diff, {a, a});
    EXPECT_EQ(same.rc, 0) << same.out << same.err;
    EXPECT_EQ(same.out, "");

    report_recipe after = before;
    after.disks[1][1] = "2048";                       // one cell changed
    after.disks.push_back({"sdc", "4096"});           // one row added
    after.file_text.replace(after.file_text.find("line 3"), 6, "line three");  // one line changed
    std::string b = write_report(dir, "b.xml", after);
    command_run diff = run_command(kdtool_diff, {a, b});
    EXPECT_EQ(diff.rc, 1) << diff.err;
    std::vector<std::string> changes = change_lines(diff.out);
    ASSERT_EQ(changes.size(), 4u) << diff.out;
    EXPECT_EQ(changes[0], "    ~ row \"sdb\": Size: \"1024\" -> \"2048\"");
    EXPECT_EQ(changes[1], "    + row \"sdc\": Name=\"sdc\" Size=\"4096\" Flags=\"0x1F\" Boot=\"false\"");
    EXPECT_EQ(changes[2], "    -line 3");
    EXPECT_EQ(changes[3], "    +line three");
    EXPECT_NE(diff.out.find("    @@ -1,3 +1,3 @@\n"), std::string::npos) << diff.out;

    // Sections are paired by name: one renamed reads as one removed and one added.
    report_recipe renamed = before;
    renamed.extra_sections = {"Extra"};
    diff = run_command(kdtool_diff, {a, write_report(dir, "c.xml", renamed)});
    EXPECT_EQ(diff.rc, 1);
    EXPECT_EQ(diff.out, "+ section \"Extra\" (0 items)\n");
}

TEST_F(ReportCommands, DiffOfLongFilesIsCutUnlessFull) {
    report_recipe before, after;
    before.file_text.clear();
    for (int i = 0; i < 400; i++) before.file_text += "line " + std::to_string(i) + "\n";
    for (int i = 0; i < 400; i++) after.file_text += (i % 2 ? "changed " : "line ") + std::to_string(i) + "\n";
    std::string a = write_report(dir, "a.xml", before);
    std::string b = write_report(dir, "b.xml", after);
    command_run cut = run_command(kdtool_diff, {a, b});
    EXPECT_NE(cut.out.find("more diff lines (--full shows all)"), std::string::npos);
    command_run full = run_command(kdtool_diff, {a, b, "--full"});
    EXPECT_EQ(count(full.out, "\n    -line "), 200u);
    EXPECT_EQ(count(full.out, "\n    +changed "), 200u);
}

// A damaged document is named as such, with where, by every command.
TEST_F(ReportCommands, DamagedXmlGivesAClearMessage) {
    std::string text = read_file(write_report(dir, "r.xml", report_recipe{}));
    write_file(dir.file("cut.xml"), text.substr(0, text.size() / 2));
    write_file(dir.file("junk.xml"), "<GATHERED_DATA><SECTION ID=\"x\"><<<");
    for (const char* name : {"cut.xml", "junk.xml"}) {
        std::string path = dir.file(name);
        struct {
            int (*command)(const kdtool_args&, const kdtool_io&);
            kdtool_args args;
            int rc;
        } runs[] = {{kdtool_show, {path}, 1}, {kdtool_json, {path}, 1},
                    {kdtool_html, {path, "-o", html_file()}, 1}, {kdtool_diff, {path, path}, 2}};
        for (const auto& r : runs) {
            command_run run = run_command(r.command, r.args);
            EXPECT_EQ(run.rc, r.rc) << name;
            EXPECT_NE(run.err.find(": not well-formed: "), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(" at byte "), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(run_command(kdtool_json, {dir.file("missing.xml")}).rc, 1);
    EXPECT_EQ(run_command(kdtool_diff, {dir.file("missing.xml"), dir.file("r.xml")}).rc, 2);
}

// A container is read like the plain report it holds; one that holds only
// a plain-text report says so.
TEST_F(ReportCommands, ContainersAreReadThroughTheirReportItem) {
    std::string report = write_report(dir, "r.xml", report_recipe{});
    std::string box = dir.file("box.KD2");
    ASSERT_EQ(run_command(kdtool_pack, {box, report}).rc, 0);
    std::string sealed = read_file(box);
    command_run show = run_command(kdtool_show, {box});
    ASSERT_EQ(show.rc, 0) << show.err;
    EXPECT_EQ(show.out, run_command(kdtool_show, {report}).out);
    command_run json = run_command(kdtool_json, {box});
    EXPECT_NE(json.out.find("\"created\":\""), std::string::npos);
    EXPECT_EQ(run_command(kdtool_diff, {box, report}).rc, 0);
    EXPECT_EQ(read_file(box), sealed);  // the file given is never changed

    std::string text_box = dir.file("text.KD2");
    ASSERT_EQ(run_command(kdtool_pack, {text_box, report + ":254"}).rc, 0);
    command_run text = run_command(kdtool_show, {text_box});
    EXPECT_EQ(text.rc, 1);
    EXPECT_NE(text.err.find("the report is plain text (id 254)"), std::string::npos) << text.err;
}

// Tables with the same name in one section (one per device, say) are paired
// in order, so a change in the second is reported there and nowhere else;
// a table that moved reads as removed and added, never as a crash.
TEST_F(ReportCommands, DiffPairsRepeatedAndMovedItemsInOrder) {
    auto doc = [](const std::vector<std::pair<std::string, std::string>>& tables) {
        std::string d = "<GATHERED_DATA><SECTION ID=\"S\">";
        for (const auto& [id, value] : tables)
            d += "<TABLE ID=\"" + id + "\"><ROW ID=\"\"><STR ID=\"v\">" + value + "</STR></ROW></TABLE>";
        return d + "</SECTION></GATHERED_DATA>";
    };
    write_file(dir.file("a.xml"), doc({{"Dev", "one"}, {"Dev", "two"}, {"Other", "x"}}));
    write_file(dir.file("b.xml"), doc({{"Dev", "one"}, {"Dev", "2"}, {"Other", "x"}}));
    command_run diff = run_command(kdtool_diff, {dir.file("a.xml"), dir.file("b.xml")});
    // Documents without checksums are named as unverified first.
    std::string unverified = dir.file("a.xml") + ": 8 checksums do not match or are missing\n" + dir.file("b.xml") +
                             ": 8 checksums do not match or are missing\n";
    EXPECT_EQ(diff.out, unverified + "section \"S\"\n  table \"Dev\"\n    ~ row 1: v: \"two\" -> \"2\"\n");

    write_file(dir.file("c.xml"), doc({{"Other", "x"}, {"Dev", "one"}, {"Dev", "two"}}));
    diff = run_command(kdtool_diff, {dir.file("a.xml"), dir.file("c.xml")});
    EXPECT_EQ(diff.rc, 1);
    EXPECT_EQ(change_lines(diff.out), (std::vector<std::string>{"  + table \"Other\" (1 row)", "  - table \"Other\" (1 row)"}))
        << diff.out;
}

// Report text never reaches the terminal as control characters, and JSON
// keeps every cell of a row even when a column name repeats.
TEST_F(ReportCommands, CellTextIsMadeSafe) {
    std::string d =
        "<GATHERED_DATA><SECTION ID=\"S\"><TABLE ID=\"T\"><ROW ID=\"k\"><STR ID=\"a\">x&#13;y\xC2\x9B" "2J\tz</STR>"
        "<STR ID=\"a\">second</STR><DEC ID=\"n\">007</DEC></ROW><ROW ID=\"k\"><STR ID=\"a\">r2</STR></ROW>"
        "</TABLE></SECTION></GATHERED_DATA>";
    write_file(dir.file("c.xml"), d);
    command_run show = run_command(kdtool_show, {dir.file("c.xml")});
    EXPECT_NE(show.out.find("x\\ry?2J\\tz"), std::string::npos) << show.out;
    EXPECT_EQ(show.out.find('\r'), std::string::npos);
    command_run json = run_command(kdtool_json, {dir.file("c.xml")});
    EXPECT_NE(json.out.find(R"("a":{"type":"STR","value":"x\ry)"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find(R"("a #2":{"type":"STR","value":"second"})"), std::string::npos);
    EXPECT_NE(json.out.find(R"("n":{"type":"DEC","value":"007"})"), std::string::npos);
}

// The page is made fresh: a link planted under its name is replaced, never
// written through.
TEST_F(ReportCommands, HtmlOutputReplacesAPlantedLink) {
    std::string report = write_report(dir, "r.xml", report_recipe{});
    write_file(dir.file("victim"), "precious");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), html_file().c_str()), 0);
    EXPECT_EQ(run_command(kdtool_html, {report, "-o", html_file()}).rc, 0);
    EXPECT_EQ(read_file(dir.file("victim")), "precious");
    EXPECT_NE(read_file(html_file()).find("<!DOCTYPE html>"), std::string::npos);
    EXPECT_EQ(run_command(kdtool_html, {report}).rc, 2);
}

// A cell whose text stays but whose kind changes is a change, named with
// both kinds; the same kind and text is none.
TEST_F(ReportCommands, DiffNamesACellThatChangesOnlyItsType) {
    struct row {
        const char* before;
        const char* after;
        int rc;
        const char* line;
    };
    const row rows[] = {
        {"<DEC ID=\"n\">5</DEC>", "<STR ID=\"n\">5</STR>", 1, "    ~ row \"k\": n: \"5\" (DEC) -> \"5\" (STR)"},
        {"<HEX ID=\"n\">0x1F</HEX>", "<ASC ID=\"n\">0x1F</ASC>", 1, "    ~ row \"k\": n: \"0x1F\" (HEX) -> \"0x1F\" (ASC)"},
        {"<BOOL ID=\"n\">true</BOOL>", "<STR ID=\"n\">true</STR>", 1, "    ~ row \"k\": n: \"true\" (BOOL) -> \"true\" (STR)"},
        {"<DEC ID=\"n\">5</DEC>", "<DEC ID=\"n\">5</DEC>", 0, nullptr},
    };
    auto document = [](const char* cell) {
        return std::string("<GATHERED_DATA><SECTION ID=\"S\"><TABLE ID=\"T\"><ROW ID=\"k\">") + cell +
               "</ROW></TABLE></SECTION></GATHERED_DATA>";
    };
    for (const row& r : rows) {
        write_file(dir.file("a.xml"), document(r.before));
        write_file(dir.file("b.xml"), document(r.after));
        command_run diff = run_command(kdtool_diff, {dir.file("a.xml"), dir.file("b.xml")});
        EXPECT_EQ(diff.rc, r.rc) << r.after << diff.err;
        std::vector<std::string> changes = change_lines(diff.out);
        if (!r.line) {
            EXPECT_TRUE(changes.empty()) << diff.out;
            continue;
        }
        ASSERT_EQ(changes.size(), 1u) << diff.out;
        EXPECT_EQ(changes[0], r.line);
    }
}

#include <gtest/gtest.h>

#include "report/report.h"
#include "report/report_check.h"
#include "report/report_table.h"
#include "report/xml.h"
#include "support/temp_dir.h"

namespace {

// A small complete document: one section with a table and an embedded file.
std::string sample_document(const std::string& file_bytes, const char* cell = "a<b>\"c\"") {
    reset_report_state();
    set_output_mode(4);
    temp_dir dir;
    write_file(dir.file("f"), file_bytes);
    captured_stream out;
    write_xml_declaration(out.get());
    open_element(out.get(), "GATHERED_DATA");
    write_element(out.get(), "SIFTERRA_VERSION", "2.00 (Internal use Only)");
    begin_section(out.get(), "S & T");
    {
        report_table table(out.get(), "Disks");
        table.start_heading();
        table.add_column("Name", STRING);
        table.add_column("Size", INTEGER);
        table.end_heading();
        table.start_row("r");
        table.log_data(cell);
        table.log_data(-5);
        table.end_row();
    }
    embed_file(out.get(), dir.file("f").c_str());
    end_section(out.get());
    char chk[16];
    std::snprintf(chk, sizeof chk, "%8X", document_checksum());
    write_element(out.get(), "CHK", chk);
    close_element(out.get(), "GATHERED_DATA");
    std::string text = out.text();
    reset_report_state();
    return text;
}

TEST(ReportCheck, AcceptsWhatTheWriterProduces) {
    report_check_result result = check_report(sample_document(std::string("x]]>y\x01\xFF\r\n", 9), "a\tb\r\nc"));
    EXPECT_TRUE(result.ok) << result.error;
    result = check_report(sample_document(std::string("x]]>y\x01\xFF\r\n", 9)));
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.sections, 1);
    EXPECT_EQ(result.tables, 1);
    EXPECT_EQ(result.rows, 1);
    EXPECT_EQ(result.files, 1);
}

TEST(ReportCheck, FindsAChangedCellFileByteOrChecksum) {
    std::string doc = sample_document("hello\n");
    std::string changed = doc;
    changed.replace(changed.find(">-5<"), 4, ">-6<");
    EXPECT_NE(check_report(changed).error.find("row 1"), std::string::npos);

    changed = doc;
    changed.replace(changed.find("hello"), 5, "hellp");
    EXPECT_NE(check_report(changed).error.find("file"), std::string::npos);

    changed = doc;
    size_t last = changed.rfind("<CHK>");
    changed.replace(last + 5, 8, "       1");
    EXPECT_NE(check_report(changed).error.find("document"), std::string::npos);
}

// The checksum of a cell counts its tabs and line ends, as a reader sees them.
TEST(ReportCheck, TabsAndLineEndsInCellsAreCounted) {
    std::string doc = sample_document("x", "a\tb\r\nc");
    char expected[32];
    std::snprintf(expected, sizeof expected, "<CHK>%4X</CHK>", 'a' + '\t' + 'b' + '\r' + '\n' + 'c' + '-' + '5');
    EXPECT_NE(doc.find(expected), std::string::npos) << doc;
    std::string changed = doc;
    changed.replace(changed.find("&#13;"), 5, "&#10;");
    EXPECT_NE(check_report(changed).error.find("row 1"), std::string::npos);
}

TEST(ReportCheck, RejectsDocumentsThatAreNotWellFormed) {
    std::string doc = sample_document("x");
    std::string control = doc;
    control.insert(control.find("<STR"), 1, '\x0C');
    std::string stray = doc;
    stray.insert(stray.find("<STR"), 1, '\xC3');
    for (std::string broken : {doc.substr(0, doc.size() / 2), std::string("<A><B></A></B>"), std::string("<A>&bogus;</A>"),
                               std::string(""), doc + "<X/>", control, stray, std::string("<A>&#1;</A>")}) {
        report_check_result result = check_report(broken);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find("not well-formed"), std::string::npos) << result.error;
    }
}

}  // namespace

TEST(ReportCheck, DocumentWithoutItsChecksumFails) {
    std::string doc = sample_document("x");
    size_t last = doc.rfind("<CHK>");
    doc.erase(last, doc.find('\n', last) + 1 - last);
    EXPECT_EQ(check_report(doc).error, "no document checksum");
}

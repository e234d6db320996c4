#include <gtest/gtest.h>

#include "report/report.h"
#include "report/report_check.h"
#include "report/xml.h"
#include "support/temp_dir.h"

namespace {

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override { reset_report_state(); }
    void TearDown() override { reset_report_state(); }
    captured_stream out;
};

TEST_F(ReportTest, TextChecksumWidensSignedBytes) {
    EXPECT_EQ(text_checksum("abc"), 0x126);
    EXPECT_EQ(text_checksum("\xE9"), 65513);
    EXPECT_EQ(text_checksum(""), 0);
    EXPECT_EQ(text_checksum(nullptr), 0);
}

TEST_F(ReportTest, PrintableCopyReplacesNonPrintables) {
    EXPECT_EQ(printable_copy("a\tb\xE9~ \x7F"), "a?b?~ ?");
    EXPECT_EQ(printable_copy(nullptr), "");
}

TEST_F(ReportTest, OutputModeSetsElementPrefixOnlyForModeOne) {
    set_output_mode(1);
    EXPECT_TRUE(element_prefix());
    set_output_mode(4);
    EXPECT_FALSE(element_prefix());
    EXPECT_EQ(output_mode(), 4);
}

TEST_F(ReportTest, TextSectionFrameIsAsWideAsTheTitleLine) {
    begin_section(out.get(), "TIME ZONE");
    end_section(out.get());
    begin_section(out.get(), "");
    EXPECT_EQ(out.text(),
              "\n=============\n  TIME ZONE  \n=============\n"
              "\n"
              "\n====\n    \n====\n");
}

TEST_F(ReportTest, StructuredSectionsCarryTheirChecksums) {
    set_output_mode(4);
    begin_section(out.get(), "ONE");
    add_section_checksum(0x10);
    end_section(out.get());
    begin_section(out.get(), "TWO");
    add_section_checksum(0x20);
    end_section(out.get());
    EXPECT_EQ(out.text(),
              "<SECTION ID=\"ONE\">\n<CHK>      10</CHK>\n</SECTION>\n"
              "<SECTION ID=\"TWO\">\n<CHK>      20</CHK>\n</SECTION>\n");
    EXPECT_EQ(document_checksum(), 0x30u);
}

TEST_F(ReportTest, NamedSectionsInModeOne) {
    set_output_mode(1);
    begin_section(out.get(), "Time Zone");
    end_section(out.get());
    end_section(out.get());  // nothing left to close
    EXPECT_EQ(out.text(), "<KD_TIME_ZONE>\n</KD_TIME_ZONE>\n");
}

TEST_F(ReportTest, ModeTwoWritesNothing) {
    set_output_mode(2);
    begin_section(out.get(), "X");
    EXPECT_FALSE(embed_file(out.get(), "/etc/hostname"));
    end_section(out.get());
    EXPECT_EQ(out.text(), "");
}

TEST_F(ReportTest, EmptyStreamInTextModeStillHasItsFrame) {
    FILE* empty = std::fopen("/dev/null", "rb");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(embed_stream(out.get(), "ps", empty));
    std::fclose(empty);
    EXPECT_EQ(out.text(), "\n---> FILE: ps <---\n---> END OF FILE <---\n");
}

TEST_F(ReportTest, TextModeCopiesBytesUnchangedAndRefusesMissingFiles) {
    temp_dir dir;
    write_file(dir.file("f"), std::string("\x01\xFF", 2));
    EXPECT_TRUE(embed_file(out.get(), dir.file("f").c_str()));
    EXPECT_FALSE(embed_file(out.get(), dir.file("missing").c_str()));
    EXPECT_FALSE(embed_file(out.get(), nullptr));
    EXPECT_EQ(out.text(), "\n---> FILE: " + dir.file("f") + " <---\n\x01\xFF---> END OF FILE <---\n");
}

TEST_F(ReportTest, StructuredFileAddsItsChecksumToTheSection) {
    set_output_mode(4);
    temp_dir dir;
    write_file(dir.file("f"), "\x01");
    begin_section(out.get(), "S");
    EXPECT_TRUE(embed_file(out.get(), dir.file("f").c_str()));
    EXPECT_TRUE(embed_file(out.get(), dir.file("missing").c_str()));
    EXPECT_EQ(section_checksum(), 63u);
    end_section(out.get());
    EXPECT_NE(out.text().find("<![CDATA[?]]>\n<CHK>      3F</CHK>"), std::string::npos);
}

TEST_F(ReportTest, TreeInTextMode) {
    {
        report_tree tree(out.get(), "Bus");
        tree.open_node_with_value("Device", "0");
        tree.leaf("Vendor", "8086");
        tree.aligned_leaf("V", "Label", "x", 8);
        tree.close_node();
        tree.close_node();  // at depth 0: nothing happens
        tree.leaf("End", "1");
    }
    EXPECT_EQ(out.text(), "---\nBus\n---\nDevice: 0\n  Vendor: 8086\n  Label   : x\nEnd: 1\n\n");
}

TEST_F(ReportTest, TreeChecksumsRollUpAndVerify) {
    set_output_mode(4);
    std::string doc;
    {
        captured_stream report;
        open_element(report.get(), "GATHERED_DATA");
        begin_section(report.get(), "T");
        {
            report_tree tree(report.get(), "Bus");
            tree.open_node("Device");
            tree.leaf("Vendor", "abc");
            tree.close_node();
            tree.leaf("Top", "a\r");  // a carriage return is kept and counted
        }
        EXPECT_EQ(section_checksum(), 0x126u + 97 + 13);
        end_section(report.get());
        char chk[16];
        std::snprintf(chk, sizeof chk, "%8X", document_checksum());
        write_element(report.get(), "CHK", chk);
        close_element(report.get(), "GATHERED_DATA");
        doc = report.text();
    }
    EXPECT_NE(doc.find("<CHK> 126</CHK>\n</DEVICE>"), std::string::npos) << doc;
    report_check_result check = check_report(doc);
    EXPECT_TRUE(check.ok) << check.error;
}

TEST_F(ReportTest, TreeRefusesLevelsBeyondItsLimit) {
    set_output_mode(4);
    {
        report_tree tree(out.get(), "Deep");
        for (int i = 0; i < 30; ++i) tree.open_node("N");
        for (int i = 0; i < 30; ++i) tree.close_node();
    }
    std::string text = out.text();
    size_t opened = 0;
    for (size_t at = text.find("<N>"); at != std::string::npos; at = text.find("<N>", at + 1)) ++opened;
    EXPECT_EQ(opened, static_cast<size_t>(report_tree::max_depth));
}

}  // namespace

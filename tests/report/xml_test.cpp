#include <gtest/gtest.h>

#include "report/report.h"
#include "report/xml.h"
#include "support/temp_dir.h"

namespace {

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_report_state();
        set_output_mode(4);
    }
    void TearDown() override { reset_report_state(); }
    captured_stream out;
};

TEST_F(XmlTest, NamesAreUpperCasedWithOtherCharactersReplaced) {
    EXPECT_EQ(xml_name("System Summary"), "SYSTEM_SUMMARY");
    EXPECT_EQ(xml_name("I/O Port Info"), "I_O_PORT_INFO");
    EXPECT_EQ(xml_name("Disk #1 (sda)"), "DISK__1__SDA_");
    EXPECT_EQ(xml_name("a.b-c_d\xE9"), "A.B-C_D_");
    EXPECT_EQ(xml_name(nullptr), "");
    set_output_mode(1);
    EXPECT_EQ(xml_name("OS Version"), "KD_OS_VERSION");
}

TEST_F(XmlTest, EscapeReplacesTheFiveSpecialCharactersOnly) {
    EXPECT_EQ(xml_escape("a\"b&c<d>e'f"), "a&quot;b&amp;c&lt;d&gt;e&apos;f");
    EXPECT_EQ(xml_escape("\x01\xE9"), "\x01\xE9");
    EXPECT_EQ(xml_escape(nullptr), "");
}

TEST_F(XmlTest, ValidTextKeepsUtf8AndReplacesControlsAndStrayBytes) {
    EXPECT_EQ(xml_valid_text("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(xml_valid_text("a\tb\nc\rd\x7F"), "a\tb\nc\rd\x7F");  // all allowed in XML
    EXPECT_EQ(xml_valid_text("\x01\x08\x0B\x1F"), "????");
    EXPECT_EQ(xml_valid_text("\xE9x\xC3"), "?x?");
    EXPECT_EQ(xml_valid_text("\xEF\xBF\xBF"), "???");   // U+FFFF is not a character
    EXPECT_EQ(xml_valid_text("\xC0\x80"), "??");         // overlong NUL
    EXPECT_EQ(find_invalid_xml_char("ok\t\xC3\xA9"), std::string::npos);
    EXPECT_EQ(find_invalid_xml_char("ok\x0C"), 2u);
    EXPECT_EQ(find_invalid_xml_char("\xC3"), 0u);
}

// A reader turns a carriage return in text into a line feed and tabs and
// line ends in attribute values into blanks; character references keep them.
TEST_F(XmlTest, TabsAndLineEndsReachTheReaderUnchanged) {
    open_element(out.get(), "SECTION", "a\tb\nc\rd");
    write_element(out.get(), "X", "a\tb\nc\rd\x01");
    write_value_element(out.get(), "STR", "i\td", 3, "v\r\n");
    EXPECT_EQ(out.text(),
              "<SECTION ID=\"a&#9;b&#10;c&#13;d\">\n"
              "<X>a\tb\nc&#13;d?</X>\n"
              "<STR ID=\"i&#9;d\" W=\"3\">v&#13;\n</STR>\n");
}

TEST_F(XmlTest, ElementWriters) {
    write_xml_declaration(out.get());
    open_element(out.get(), "SECTION", "");
    open_element(out.get(), "ROW");
    write_element(out.get(), "CHK", "   1D0");
    write_value_element(out.get(), "STR", "Name", 16, "a<b");
    write_value_element(out.get(), "STR", "Name", 0, "x");
    close_element(out.get(), "ROW");
    EXPECT_EQ(out.text(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
              "<SECTION ID=\"\">\n"
              "<ROW>\n"
              "<CHK>   1D0</CHK>\n"
              "<STR ID=\"Name\" W=\"16\">a&lt;b</STR>\n"
              "<STR ID=\"Name\">x</STR>\n"
              "</ROW>\n");
}

TEST_F(XmlTest, EmbeddedFileMapsBytesAndSumsThem) {
    temp_dir dir;
    write_file(dir.file("f"), std::string("A\x00\xFF\x01\tz\n", 7));
    uint32_t sum = embed_file_xml(out.get(), dir.file("f").c_str());
    EXPECT_EQ(sum, 65u + 63 + 63 + 63 + 9 + 122 + 10);
    EXPECT_EQ(out.text(), "<FILE ID=\"" + dir.file("f") + "\">\n<![CDATA[A???\tz\n]]>\n<CHK>     18B</CHK>\n</FILE>\n");
}

TEST_F(XmlTest, MissingFileGivesEmptyElementWithZeroChecksum) {
    EXPECT_EQ(embed_file_xml(out.get(), "/nonexistent/file"), 0u);
    EXPECT_EQ(out.text(), "<FILE ID=\"/nonexistent/file\">\n<CHK>       0</CHK>\n</FILE>\n");
}

TEST_F(XmlTest, CdataTerminatorInFileIsSplitAndNotCounted) {
    temp_dir dir;
    write_file(dir.file("f"), "a]]>b]]");
    uint32_t sum = embed_file_xml(out.get(), dir.file("f").c_str());
    EXPECT_EQ(sum, static_cast<uint32_t>('a' + ']' + ']' + '>' + 'b' + ']' + ']'));
    std::string text = out.text();
    EXPECT_NE(text.find("<![CDATA[a]]]]><![CDATA[>b]]]]>\n"), std::string::npos) << text;
}

TEST_F(XmlTest, PrefixedFileElementHasNoChecksum) {
    set_output_mode(1);
    temp_dir dir;
    write_file(dir.file("f"), "x");
    embed_file_xml(out.get(), dir.file("f").c_str());
    EXPECT_EQ(out.text(), "<KD_FILE name=\"" + dir.file("f") + "\">\n<![CDATA[x]]>\n</KD_FILE>\n");
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <tuple>

#include "report/report.h"
#include "report/report_table.h"
#include "support/temp_dir.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class TableTest : public ::testing::Test {
protected:
    void SetUp() override { reset_report_state(); }
    void TearDown() override { reset_report_state(); }

    // The Disks table: Name (STRING, width 6) and Size (INTEGER), one row.
    std::string disks(int mode) {
        set_output_mode(mode);
        {
            report_table table(out.get(), "Disks");
            table.start_heading();
            table.add_column("Name", STRING);
            table.add_column("Size", INTEGER);
            table.set_column_width(0, 6);
            table.end_heading();
            table.start_row("Disk 1");
            table.log_data("sda");
            table.log_data(512);
            table.end_row();
        }
        return out.text();
    }

    // A mode-4 table with one text column and one row holding value.
    std::string single_cell(ColumnType type, const char* row, const char* value) {
        set_output_mode(4);
        {
            report_table table(out.get(), "T");
            table.start_heading();
            table.add_column("C", type);
            table.end_heading();
            table.start_row(row);
            table.log_data(value);
            table.end_row();
        }
        return out.text();
    }

    captured_stream out;
};

TEST_F(TableTest, DisksAsABox) {
    EXPECT_EQ(disks(0),
              "\nTable: Disks\n"
              "+--------+------+\n"
              "| Name   | Size |\n"
              "+--------+------+\n"
              "| sda    |  512 |\n"
              "+--------+------+\n");
}

TEST_F(TableTest, DisksAsAList) {
    EXPECT_EQ(disks(3), "-----\nDisks\n-----\n  Name: sda\n  Size: 512\n\n");
}

TEST_F(TableTest, DisksAsStructuredXmlWithChecksums) {
    EXPECT_EQ(disks(4),
              "<TABLE ID=\"Disks\">\n"
              "<COLS>2</COLS>\n"
              "<ROW ID=\"Disk 1\">\n"
              "<STR ID=\"Name\" W=\"6\">sda</STR>\n"
              "<DEC ID=\"Size\" W=\"4\">512</DEC>\n"
              "<CHK> 1D0</CHK>\n"
              "</ROW>\n"
              "<ROWS>1</ROWS>\n"
              "<CHK> 1D0</CHK>\n"
              "</TABLE>\n");
    EXPECT_EQ(section_checksum(), 0x1D0u);
}

TEST_F(TableTest, DisksInNamedXml) {
    EXPECT_EQ(disks(1), "<KD_DISKS>\n<KD_NAME>sda</KD_NAME>\n<KD_SIZE>512</KD_SIZE>\n</KD_DISKS>\n");
}

TEST_F(TableTest, ModeOneRowElements) {
    set_output_mode(1);
    {
        report_table table(out.get(), "Ports", "Port");
        table.start_heading();
        table.add_column("Addr", HEX);
        table.add_column("On", BOOL);
        table.end_heading();
        table.start_row("p<1>");
        table.log_data(0x3F8);
        table.log_data(1);
        table.end_row();
    }
    EXPECT_EQ(out.text(),
              "<KD_PORTS>\n<KD_PORT ID=\"p&lt;1&gt;\">\n<KD_ADDR>0x3F8</KD_ADDR>\n</KD_PORT>\n</KD_PORTS>\n");
}

TEST_F(TableTest, HexBoolAndFloatCells) {
    set_output_mode(4);
    {
        report_table table(out.get(), "T");
        table.start_heading();
        table.add_column("H", HEX);
        table.add_column("B", BOOL);
        table.add_column("F", FLOAT);
        table.add_column("S", STRING);
        table.end_heading();
        table.start_row("r");
        EXPECT_TRUE(table.log_data(255));
        EXPECT_TRUE(table.log_data(0));
        EXPECT_TRUE(table.log_data(7));  // FLOAT: nothing written, column advances
        EXPECT_TRUE(table.log_data("s"));
        table.end_row();
    }
    std::string text = out.text();
    EXPECT_NE(text.find("<HEX ID=\"H\" W=\"1\">0xFF</HEX>\n<BOOL ID=\"B\" W=\"1\">false</BOOL>\n<STR ID=\"S\""),
              std::string::npos)
        << text;
}

TEST_F(TableTest, BoxHexCell) {
    set_output_mode(0);
    {
        report_table table(out.get(), "T");
        table.start_heading();
        table.add_column("Port", HEX);
        table.end_heading();
        table.start_row("");
        table.log_data(0x3F8);
        table.end_row();
    }
    EXPECT_NE(out.text().find("|  3F8h|\n"), std::string::npos) << out.text();
}

// Counters past 2^31 are shown as the unsigned numbers they are; the same
// bits given as a signed value stay negative.
TEST_F(TableTest, UnsignedCountsInEveryMode) {
    struct {
        int mode;
        const char* expected;
    } cases[] = {
        {0, "| 3000000000 |     -5 | 18446744073709551615 |\n"},
        {3, "  Bytes : 3000000000\n  Signed: -5\n  Large : 18446744073709551615\n"},
        {1, "<KD_BYTES>3000000000</KD_BYTES>\n<KD_SIGNED>-5</KD_SIGNED>\n<KD_LARGE>18446744073709551615</KD_LARGE>\n"},
        {4, "<DEC ID=\"Bytes\" W=\"5\">3000000000</DEC>\n<DEC ID=\"Signed\" W=\"6\">-5</DEC>\n"
            "<DEC ID=\"Large\" W=\"5\">18446744073709551615</DEC>\n"},
    };
    for (const auto& c : cases) {
        captured_stream text;
        set_output_mode(c.mode);
        {
            report_table table(text.get(), "T");
            table.start_heading();
            table.add_column("Bytes", INTEGER);
            table.add_column("Signed", INTEGER);
            table.add_column("Large", INTEGER);
            table.end_heading();
            table.start_row("r");
            EXPECT_TRUE(table.log_unsigned(3000000000u));
            EXPECT_TRUE(table.log_data(-5));
            EXPECT_TRUE(table.log_unsigned64(UINT64_MAX));
            table.end_row();
        }
        EXPECT_NE(text.text().find(c.expected), std::string::npos) << c.mode << "\n" << text.text();
    }
}

TEST_F(TableTest, RefusalsNameTheOperation) {
    set_output_mode(4);
    CaptureStdout();
    {
        report_table table(out.get(), "T");
        EXPECT_FALSE(table.add_column("A", STRING));
        EXPECT_FALSE(table.end_heading());
        EXPECT_TRUE(table.start_heading());
        EXPECT_FALSE(table.start_heading());
        EXPECT_FALSE(table.start_row("r1"));
        for (int i = 0; i < 20; ++i) table.add_column(i == 0 ? "Text" : "N", i == 0 ? STRING : INTEGER);
        EXPECT_FALSE(table.add_column("Extra", STRING));
        table.end_heading();
        EXPECT_FALSE(table.end_row());
        EXPECT_FALSE(table.log_data(5));
        EXPECT_FALSE(table.log_data("x"));
        table.start_row("r");
        EXPECT_FALSE(table.log_data(5));      // column 0 is STRING
        EXPECT_TRUE(table.log_data("ok"));
        EXPECT_FALSE(table.log_data("bad"));  // column 1 is INTEGER
        for (int i = 1; i < 20; ++i) table.log_data(i);
        EXPECT_FALSE(table.log_data(99));
        EXPECT_FALSE(table.log_data("late"));
        table.end_row();
    }
    EXPECT_EQ(GetCapturedStdout(),
              "add_column(A) - Heading not open\n"
              "end_heading() - Heading Not Open\n"
              "start_heading() - Heading Already Open\n"
              "start_row(r1) - Heading is still open\n"
              "Cannot add column for Extra - too many columns.  Max is 20\n"
              "end_row() - Row Not Open\n"
              "log_data(5) - Row not open\n"
              "log_data(x) - Row not open\n"
              "log_data(5) - Column 0 (Text) is NOT type INTEGER, HEX, FLOAT or BOOL\n"
              "log_data(bad) - Column 1 (N) is NOT type STRING or ASCII STRING\n"
              "log_data(99) - Column 20 is beyond defined columns of 19\n"
              "log_data(late) - Column 20 is beyond defined columns of 19\n");
}

TEST_F(TableTest, AsciiCellsAreReducedAndCountedAsReduced) {
    std::string text = single_cell(ASCII_STRING, "r", "x\t\xE9");
    EXPECT_NE(text.find(">x?" "?</ASC>"), std::string::npos);
    char expected[64];
    std::snprintf(expected, sizeof expected, "<CHK>%4X</CHK>", 'x' + 63 + 63);
    EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST_F(TableTest, StringCellsAreMadeValidXml) {
    std::string kept = single_cell(STRING, "r", "a\tb\nc");
    EXPECT_NE(kept.find(">a\tb\nc</STR>"), std::string::npos) << kept;
    std::string text = single_cell(STRING, "r\x01", "a\x02<b");
    EXPECT_NE(text.find("<ROW ID=\"r?\">"), std::string::npos);
    EXPECT_NE(text.find(">a?" "&lt;b</STR>"), std::string::npos);
    char expected[64];
    std::snprintf(expected, sizeof expected, "<CHK>%4X</CHK>", 'a' + '?' + '<' + 'b');
    EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST_F(TableTest, LongValuesAreCutInTheBoxAndWholeInXml) {
    set_output_mode(0);
    {
        report_table table(out.get(), "T");
        table.start_heading();
        table.add_column("Ab", STRING);
        table.set_column_width(0, 1);  // never lowers the width
        table.end_heading();
        table.start_row("");
        table.log_data("abcdef");
        table.end_row();
    }
    EXPECT_NE(out.text().find("| ab |\n"), std::string::npos);
}

TEST_F(TableTest, RowChecksumWrapsAtSixteenBits) {
    set_output_mode(4);
    std::string big(300, '\xFF');  // becomes 300 '?' in the document
    char expected[64];
    std::snprintf(expected, sizeof expected, "<CHK>%4X</CHK>", (300 * 63) & 0xFFFF);
    EXPECT_NE(single_cell(STRING, "r", big.c_str()).find(expected), std::string::npos);

    captured_stream wide;
    {
        report_table table(wide.get(), "T");
        table.start_heading();
        table.add_column("S", STRING);
        table.end_heading();
        for (int i = 0; i < 300; ++i) {
            table.start_row("r");
            table.log_data("~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~");
            table.end_row();
        }
    }
    std::snprintf(expected, sizeof expected, "<ROWS>300</ROWS>\n<CHK>%4X</CHK>", (300 * 80 * 126) & 0xFFFF);
    EXPECT_NE(wide.text().find(expected), std::string::npos);
}

TEST_F(TableTest, EmptyTableInStructuredMode) {
    set_output_mode(4);
    { report_table table(out.get(), "Empty"); }
    EXPECT_EQ(out.text(), "<TABLE ID=\"Empty\">\n<ROWS>0</ROWS>\n<CHK>   0</CHK>\n</TABLE>\n");
}

}  // namespace

namespace {

// A table widened for appended columns takes up to 32; others stay at 20.
TEST(WideTable, ColumnLimits) {
    const std::tuple<bool, int, int, const char*> cases[] = {
        {false, 21, 20, "Cannot add column for C20 - too many columns.  Max is 20\n"},
        {true, 22, 22, ""},
        {true, 33, 32, "Cannot add column for C32 - too many columns.  Max is 32\n"},
    };
    for (auto [wide, asked, kept, message] : cases) {
        reset_report_state();
        set_output_mode(4);
        captured_stream out;
        testing::internal::CaptureStdout();
        {
            report_table table(out.get(), "Wide", "ROW");
            if (wide) table.allow_wide_columns();
            table.start_heading();
            for (int i = 0; i < asked; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "C%d", i);
                table.add_column(name, INTEGER);
            }
            table.end_heading();
            EXPECT_EQ(kept, table.column_count());
            table.start_row("r");
            for (int i = 0; i < kept; ++i) EXPECT_TRUE(table.log_data(i));
            EXPECT_TRUE(table.end_row());
        }
        EXPECT_EQ(message, testing::internal::GetCapturedStdout()) << asked;
        char cols[32];
        std::snprintf(cols, sizeof cols, "<COLS>%d</COLS>", kept);
        EXPECT_NE(std::string::npos, out.text().find(cols));
        reset_report_state();
    }
}

}  // namespace

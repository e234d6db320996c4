#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>

#include "probe_fixture.h"
#include "probes/tagged_text_probe.h"
#include "report/report_check.h"
#include "report/xml.h"

namespace {

// The items, each followed by a BEL, as the scripts print them.
std::string tagged(std::initializer_list<const char*> items) {
    std::string stream;
    for (const char* item : items) stream += std::string(item) + '\a';
    return stream;
}

// Item addresses differ from run to run; the tests compare "@" instead.
std::string without_addresses(const std::string& text) {
    std::string plain;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, 5, "(nil)") == 0) {
            plain += '@';
            at += 5;
        } else if (text.compare(at, 2, "0x") == 0) {
            plain += '@';
            for (at += 2; at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at]));)
                ++at;
        } else {
            plain += text[at++];
        }
    }
    return plain;
}

class TaggedTextTest : public ProbeTest {
protected:
    void parse(const std::string& stream) {
        FILE* input = stream.empty()
                          ? std::fopen("/dev/null", "r")
                          : fmemopen(const_cast<char*>(stream.data()), stream.size(), "r");
        ASSERT_NE(input, nullptr);
        tagged_item_list items;
        read_items(input, items);
        std::fclose(input);
        process_items(items);
    }
    std::string log() { return without_addresses(debug()); }
};

TEST_F(TaggedTextTest, TwoTablesInStreamOrderWithTheirWidestValues) {
    parse(tagged({"@TABLE", "net", "ROW", "r1", "FIELD", "Name", "alpha", "FIELD", "Size", "1",
                  "ROW", "r2", "FIELD", "Name", "a-much-longer-value", "FIELD", "Size", "22",
                  "@TABLE", "scsi", "ROW", "x", "FIELD", "K", "V"}));

    EXPECT_EQ(report(),
              "\nTable: net\n"
              "+---------------------+------+\n"
              "| Name                | Size |\n"
              "+---------------------+------+\n"
              "| alpha               | 1    |\n"
              "| a-much-longer-value | 22   |\n"
              "+---------------------+------+\n"
              "\nTable: scsi\n"
              "+---+\n"
              "| K |\n"
              "+---+\n"
              "| V |\n"
              "+---+\n");
    EXPECT_EQ(log(),
              "processing item at @\n"
              "Table net at @\n"
              "column: Name\nwidth 19\ncolumn: Size\nwidth 4\n"
              "creating headers\n2 columns\n"
              "logging data\n"
              "row: r1\nfield: alpha\nfield: 1\n"
              "row: r2\nfield: a-much-longer-value\nfield: 22\n"
              "done logging data\nclosing last row\n"
              "next item at @\n"
              "processing item at @\n"
              "Table scsi at @\n"
              "column: K\nwidth 1\n"
              "creating headers\n1 columns\n"
              "logging data\nrow: x\nfield: V\n"
              "done logging data\nclosing last row\n"
              "next item at @\n");
}

TEST_F(TaggedTextTest, RowsWithMoreOrFewerFieldsThanTheFirst) {
    parse(tagged({"@TABLE", "t", "ROW", "r1", "FIELD", "A", "a1", "FIELD", "B", "b1",
                  "ROW", "r2", "FIELD", "A", "a2", "FIELD", "B", "b2", "FIELD", "C", "extra",
                  "ROW", "r3", "FIELD", "A", "a3"}));

    EXPECT_NE(report().find("| a1 | b1 |\n| a2 | b2 |\n| a3 |\n"), std::string::npos)
        << report();
    EXPECT_NE(log().find("field: extra\nno column for extra: 3\n"), std::string::npos);
    // The extra field's values still widen the columns, by name, not by place.
    EXPECT_NE(log().find("column: C\nwidth 5\n"), std::string::npos);
}

TEST_F(TaggedTextTest, ItemsBeforeTheFirstTableAndOtherDirectivesAreSkipped) {
    parse(tagged({"junk", "more", "@OTHER", "X", "ROW", "@TABLE", "t", "ROW", "r", "FIELD",
                  "F", "v"}));

    EXPECT_EQ(count_of(report(), "Table: "), 1);
    EXPECT_NE(report().find("| v |"), std::string::npos);
    EXPECT_EQ(log().substr(0, log().find("Table t")),
              "processing item at @\n@: unknown item junk\n"
              "processing item at @\n@: unknown item @OTHER\n"
              "processing item at @\n");
}

TEST_F(TaggedTextTest, IrregularRowsAndFieldsAreTracedAndWrittenAsNull) {
    set_output_mode(4);
    parse(tagged({"@TABLE", "t", "ROW", "r1", "FIELD", "A", "a1", "FIELD", "B", "b1",
                  "ROW", "FIELD", "A", "a2",
                  "ROW", "r3", "FIELD", "FIELD", "A", "a3",
                  "ROW", "r4", "FIELD", "A", "ROW", "r5", "stray", "FIELD", "A", "a5"}));

    const std::string text = report();
    EXPECT_NE(text.find("<ROW ID=\"\">\n<ASC ID=\"A\" W=\"2\">a2</ASC>"), std::string::npos)
        << text;
    EXPECT_NE(text.find("<ROW ID=\"r3\">\n<ASC ID=\"A\" W=\"2\">(null)</ASC>\n"
                        "<ASC ID=\"B\" W=\"2\">a3</ASC>"),
              std::string::npos);
    EXPECT_NE(text.find("<ROW ID=\"r4\">\n<ASC ID=\"A\" W=\"2\">(null)</ASC>\n<CHK>"),
              std::string::npos);
    EXPECT_NE(text.find("<ROW ID=\"r5\">\n<ASC ID=\"A\" W=\"2\">a5</ASC>\n<CHK>"),
              std::string::npos);
    const std::string trace = log();
    EXPECT_NE(trace.find("no row label at @: @\nfield: a2\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("row: r3\nno field label at @: @\nfield: a3\n"), std::string::npos);
    EXPECT_NE(trace.find("row: r4\nno field value at @: @\n"
                         "node at @ is not ROW or FIELD: A (ignored)\nrow: r5\n"
                         "node at @ is not ROW or FIELD: stray (ignored)\nfield: a5\n"),
              std::string::npos);
}

TEST_F(TaggedTextTest, TableWithoutANameEndsTheStream) {
    parse(tagged({"@TABLE", "ROW", "r", "@TABLE", "later", "ROW", "x"}));
    EXPECT_EQ(report(), "");
    EXPECT_EQ(log(), "processing item at @\nTable at @ has no label @\n");

    parse(tagged({"@TABLE"}));
    EXPECT_EQ(report(), "");
}

// The column scan starts two items after the table's first item and looks
// at that item even when it is a directive.
TEST_F(TaggedTextTest, HeaderScanExaminesItsStartingItem) {
    parse(tagged({"@TABLE", "t", "X", "Y", "@TABLE", "FIELD", "c", "1"}));
    EXPECT_NE(log().find("creating headers\n1 columns\n"), std::string::npos) << log();
    EXPECT_NE(report().find("| c |"), std::string::npos) << report();
}

// More fields than a table can hold: the refusal goes to the debug log and
// the console stays silent, the first 20 fields become the columns.
TEST_F(TaggedTextTest, FieldsBeyondTwentyAreRefusedInTheDebugLog) {
    std::string stream = tagged({"@TABLE", "wide", "ROW", "r"});
    for (int i = 0; i < 22; ++i) {
        char field[32];
        std::snprintf(field, sizeof field, "FIELD\aF%d\av\a", i);
        stream += field;
    }
    testing::internal::CaptureStdout();
    parse(stream);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(log().find("Cannot add column for F20 - too many columns.  Max is 20\n"
                         "Cannot add column for F21 - too many columns.  Max is 20\n20 columns\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(count_of(report(), "| v "), 20);
}

TEST_F(TaggedTextTest, EmptyNamesAndValuesGiveWidthMinusOne) {
    parse(tagged({"@TABLE", "t", "ROW", "r", "FIELD", "", ""}));
    EXPECT_NE(log().find("column: \nwidth -1\n"), std::string::npos) << log();
    EXPECT_NE(report().find("|  |\n"), std::string::npos) << report();
}

TEST_F(TaggedTextTest, LastItemWithoutItsSeparatorKeepsAllItsCharacters) {
    parse(tagged({"@TABLE", "t", "ROW", "r", "FIELD", "Name"}) + "value");
    EXPECT_NE(report().find("| value |"), std::string::npos) << report();
}

TEST_F(TaggedTextTest, ItemsAreSplitAtEverySeparator) {
    const std::string stream = std::string("@TABLE\a\a") + std::string("a\0b\a", 4) + "@x";
    FILE* input = fmemopen(const_cast<char*>(stream.data()), stream.size(), "r");
    ASSERT_NE(input, nullptr);
    tagged_item_list items;
    read_items(input, items);
    std::fclose(input);
    ASSERT_EQ(items.size(), 4u);
    const tagged_item* item = items.first();
    EXPECT_STREQ(item->text, "@TABLE");
    EXPECT_TRUE(item->directive);
    item = item->next;
    EXPECT_STREQ(item->text, "");
    EXPECT_FALSE(item->directive);
    EXPECT_STREQ(item->next->text, "a");
    EXPECT_STREQ(item->next->next->text, "@x");
    EXPECT_EQ(next_directive(items.first()), item->next->next);
    EXPECT_EQ(item->next->next->next, nullptr);

    parse("");
    EXPECT_EQ(report(), "");
    EXPECT_EQ(debug(), "");
}

// Random streams: mostly keywords and short words, some raw bytes. Whatever
// they hold, parsing ends, stays in bounds (checked under AddressSanitizer)
// and the structured report stays well formed with matching checksums.
std::string random_stream(std::mt19937& random) {
    static const char* const words[] = {"@TABLE", "ROW", "FIELD", "@X", "", "name", "v",
                                        "a longer value", "@", "<&>\""};
    std::string stream;
    const int items = static_cast<int>(random() % 80);
    for (int i = 0; i < items; ++i) {
        if (random() % 8 == 0) {
            for (int n = static_cast<int>(random() % 6); n > 0; --n)
                stream += static_cast<char>(random() % 256);
        } else {
            stream += words[random() % (sizeof words / sizeof *words)];
        }
        if (random() % 16 != 0) stream += '\a';
    }
    return stream;
}

TEST_F(TaggedTextTest, RandomStreamsNeverBreakTheReport) {
    std::mt19937 random(20021204);
    for (int round = 0; round < 1500; ++round) {
        const std::string stream = random_stream(random);
        reset_report_state();
        set_output_mode(4);
        captured_stream document;
        run_context.report = document.get();
        open_element(document.get(), "GATHERED_DATA");
        begin_section(document.get(), "Package Information");
        parse(stream);
        end_section(document.get());
        char sum[16];
        std::snprintf(sum, sizeof sum, "%8X", document_checksum());
        write_element(document.get(), "CHK", sum);
        close_element(document.get(), "GATHERED_DATA");
        report_check_result check = check_report(document.text());
        ASSERT_TRUE(check.ok) << check.error << "\nround " << round;
    }
}

}  // namespace

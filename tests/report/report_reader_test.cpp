#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "report/report_check.h"
#include "report/report_reader.h"

namespace {

struct read_result {
    std::string events;  // one letter per event kind of interest
    std::string error;
    std::string last_cell;
    bool cut = false;
};

read_result read_all(const std::string& document, const report_limits& limits = {}) {
    read_result r;
    FILE* in = fmemopen(const_cast<char*>(document.data()), document.size(), "rb");
    report_reader reader(in, limits);
    for (;;) {
        report_event_kind kind = reader.next();
        if (kind == report_event_kind::done) break;
        if (kind == report_event_kind::error) {
            r.error = reader.error();
            break;
        }
        switch (kind) {
        case report_event_kind::section_start: r.events += 'S'; break;
        case report_event_kind::table_start: r.events += 'T'; break;
        case report_event_kind::row_start: r.events += 'R'; break;
        case report_event_kind::cell:
            r.events += 'c';
            r.last_cell = reader.event().text;
            r.cut = reader.event().text_cut;
            break;
        case report_event_kind::file_data: r.events += 'd'; break;
        case report_event_kind::tree_node_start: r.events += 'N'; break;
        case report_event_kind::tree_leaf: r.events += 'l'; break;
        case report_event_kind::tree_node_end: r.events += 'n'; break;
        case report_event_kind::other_start: r.events += 'o'; break;
        default: break;
        }
    }
    std::fclose(in);
    return r;
}

std::string nested(int depth) {
    std::string doc;
    for (int i = 0; i < depth; i++) doc += "<A>";
    for (int i = 0; i < depth; i++) doc += "</A>";
    return doc;
}

}  // namespace

// Hostile documents end in a message with a position, never in a crash or
// in memory that grows with the input.
TEST(ReportReader, HostileInputIsRefusedWithAPosition) {
    struct {
        std::string document;
        const char* message;
    } cases[] = {
        {nested(201), ""},
        {nested(202), "elements nested too deeply at byte "},
        {"<" + std::string(2000, 'A') + "/>", "name longer than 1024 bytes"},
        {"<A ID=\"" + std::string(2u << 20, 'x') + "\"/>", "attribute value longer than"},
        {"<A" + [] { std::string a; for (int i = 0; i < 100; i++) a += " a" + std::to_string(i) + "=\"\""; return a; }() + "/>",
         "too many attributes in <A>"},
        {"<A>\xC3(</A>", "a character XML does not allow at byte 3"},
        {"<A>]]></A>", "']]>' in character data"},
        {"<A><![CDATA[x", "unterminated CDATA section"},
        {"<A>&#0;</A>", "unsupported character reference"},
        {"<A B='1'/>", "attribute value not quoted"},
        {"<A></B>", "end tag </B> does not close <A>"},
        {"<A/><B/>", "content after the root element at byte 4"},
        {"", "expected an element at byte 0"},
    };
    for (const auto& c : cases) {
        read_result r = read_all(c.document);
        if (*c.message == '\0')
            EXPECT_EQ(r.error, "") << c.document.size();
        else
            EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    }
}

// Values and files larger than the reader's buffer and limits: text comes in
// pieces, multi-byte characters survive the buffer's edges, an oversized
// cell arrives cut while its checksum still covers all of it.
TEST(ReportReader, LargeValuesAcrossBufferEdges) {
    std::string cell;
    while (cell.size() < 200000) cell += "x\xC3\xA9y";  // é straddles every buffer edge somewhere
    uint32_t sum = 0;
    for (unsigned char c : cell) sum += static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(c)));
    char chk[16];
    std::snprintf(chk, sizeof chk, "%4X", sum & 0xFFFFu);
    std::string file(300000, 'f');
    std::string doc = "<GATHERED_DATA><SECTION ID=\"s\"><TABLE ID=\"t\"><ROW ID=\"r\"><STR ID=\"c\">" + cell +
                      "</STR><CHK>" + chk + "</CHK></ROW><ROWS>1</ROWS><CHK>" + chk +
                      "</CHK></TABLE><FILE ID=\"f\"><![CDATA[" + file + "]]><CHK>" + [&] {
                          char t[16];
                          std::snprintf(t, sizeof t, "%X", 300000u * 'f');
                          return std::string(t);
                      }() + "</CHK></FILE><CHK>0</CHK></SECTION><CHK>0</CHK></GATHERED_DATA>";
    report_limits small;
    small.max_value = 1000;
    read_result r = read_all(doc, small);
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.cut);
    EXPECT_EQ(r.last_cell, cell.substr(0, 1000));
    EXPECT_GE(std::count(r.events.begin(), r.events.end(), 'd'), 5);
    EXPECT_EQ(read_all(doc).last_cell, cell);

    report_check_result check = check_report(doc);
    EXPECT_NE(check.error.find("section \"s\": CHK 0, computed"), std::string::npos) << check.error;
}

// Tree elements become nodes once they have children and leaves otherwise;
// unknown elements pass through as such.
TEST(ReportReader, TreesAndUnknownElements) {
    std::string doc =
        "<GATHERED_DATA><X/><SECTION ID=\"s\"><TREE ID=\"t\"><BUS ID=\"0\"><DEV>a</DEV><CHK>61</CHK></BUS>"
        "<K>v</K><CHK>d7</CHK></TREE><CHK>d7</CHK></SECTION><CHK>d7</CHK></GATHERED_DATA>";
    read_result r = read_all(doc);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.events, "oSNlnl");
    EXPECT_TRUE(check_report(doc).ok) << check_report(doc).error;
}

// The checker's messages name the element as verify has always printed it.
TEST(ReportReader, CheckMessagesNameTheElement) {
    const std::string head = "<GATHERED_DATA><SECTION ID=\"S\">";
    const std::string tail = "</SECTION><CHK>0</CHK></GATHERED_DATA>";
    struct {
        std::string body;
        const char* message;
    } cases[] = {
        {"<TABLE ID=\"T\"><ROW ID=\"\"><STR ID=\"c\">a</STR><CHK>62</CHK></ROW><ROWS>1</ROWS><CHK>61</CHK></TABLE>",
         "section \"S\" table \"T\" row 1: CHK 62, computed 61"},
        {"<TABLE ID=\"T\"><ROW ID=\"\"><STR ID=\"c\">a</STR><CHK>61</CHK></ROW><ROWS>2</ROWS><CHK>61</CHK></TABLE>",
         "section \"S\" table \"T\": ROWS does not match"},
        {"<TABLE ID=\"T\"><ROWS>0</ROWS><CHK>zz</CHK></TABLE>", "section \"S\" table \"T\": missing or unreadable CHK"},
        {"<FILE ID=\"/f\"><![CDATA[a]]><CHK>1</CHK></FILE>", "section \"S\" file \"/f\": CHK 1, computed 61"},
        {"<TREE ID=\"t\"><BUS ID=\"0\"><K>a</K><CHK>1</CHK></BUS><CHK>1</CHK></TREE>",
         "section \"S\" tree \"t\"/BUS: CHK 1, computed 61"},
        {"<CHK>5</CHK>", "section \"S\": CHK 5, computed 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(check_report(head + c.body + tail).error, c.message) << c.body;
    EXPECT_EQ(check_report("<OTHER><CHK>0</CHK></OTHER>").error, "root element is <OTHER>");
}

TEST(ReportReader, SummaryIsTheFirstRowOfTheFirstTable) {
    std::string doc =
        "<GATHERED_DATA><SIFTERRA_VERSION>2.00</SIFTERRA_VERSION><SECTION ID=\"SYSTEM SUMMARY\"><TABLE ID=\"t\">"
        "<ROW ID=\"\"><STR ID=\"Computer Name\">h</STR><ASC ID=\"System Vendor\">v &amp; w</ASC></ROW>"
        "<ROW ID=\"\"><STR ID=\"Computer Name\">second</STR></ROW></TABLE><TABLE ID=\"u\"><ROW ID=\"\">"
        "<STR ID=\"x\">y</STR></ROW></TABLE></SECTION></GATHERED_DATA>";
    FILE* in = fmemopen(const_cast<char*>(doc.data()), doc.size(), "rb");
    report_reader reader(in);
    std::string version;
    report_event_kind kind;
    while ((kind = reader.next()) != report_event_kind::done && kind != report_event_kind::error)
        if (kind == report_event_kind::version) version = reader.event().text;
    std::fclose(in);
    EXPECT_EQ(version, "2.00");
    using cells = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(reader.summary(), (cells{{"Computer Name", "h"}, {"System Vendor", "v & w"}}));
}

#include "driver/system_summary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/clock.h"
#include "host/host_identity.h"
#include "pci/physical_memory.h"
#include "report/report.h"
#include "smbios/memory_fixture.h"
#include "support/temp_dir.h"

namespace {

std::time_t summary_clock() { return 1721039400; }  // 2024-07-15 10:30:00 UTC

class NameTemplate : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) saved_tz = std::string(tz);
        setenv("TZ", "UTC0", 1);
        tzset();
        set_clock_source(summary_clock);
        std::strcpy(identity.computer_name, "web01");
        identity.system_vendor = "ACME";
        identity.system_model = "8670";
        identity.system_serial = "12345";
        identity.os_name = "Linux";
    }
    void TearDown() override {
        set_clock_source(nullptr);
        if (saved_tz)
            setenv("TZ", saved_tz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    std::string expand(const char* text, size_t output_size = 256) {
        std::strcpy(template_buffer, text);
        char output[512];
        std::memset(output, 'Z', sizeof output);
        expand_name_template(template_buffer, output, output_size, identity);
        return output;
    }

    host_identity identity;
    char template_buffer[256];
    std::optional<std::string> saved_tz;
};

TEST_F(NameTemplate, CodesAndPlainText) {
    EXPECT_EQ("ACME-8670-12345", expand("@V-@M-@S"));
    EXPECT_EQ("web01_Linux.x", expand("@H_@O.x"));
    EXPECT_EQ("20240715-103000", expand("@T"));
    EXPECT_EQ("x", expand("x@"));
    EXPECT_EQ("", expand("@v"));
    EXPECT_EQ("V", expand("@@V"));
    EXPECT_EQ("ab", expand("a@Zb"));
    EXPECT_EQ("%s%n-ACME", expand("%s%n-@V"));
}

TEST_F(NameTemplate, EmptyTemplateBecomesTheDefault) {
    EXPECT_EQ("ACME-8670-12345", expand(""));
    EXPECT_STREQ("@V-@M-@S", template_buffer);
    identity.system_vendor = identity.system_model = identity.system_serial = "Unknown";
    EXPECT_EQ("Unknown-Unknown-Unknown", expand(""));
}

TEST_F(NameTemplate, ValuesCannotLeaveTheDirectory) {
    identity.system_vendor = "A/B 50%";
    identity.system_model = "../..";
    identity.system_serial = "line\nbreak";
    EXPECT_EQ("A_B 50%-.._..-line_break", expand("@V-@M-@S"));
    EXPECT_EQ("out/A_B 50%", expand("out/@V"));  // the user's own text is kept
}

TEST_F(NameTemplate, ResultIsCut) {
    EXPECT_EQ("ACME-86", expand("@V-@M", 8));
    identity.system_vendor = std::string(300, 'v');
    EXPECT_EQ(std::string(255, 'v'), expand("@V", 512));
}

TEST(UserName, NameOrNumber) {
    char name[257];
    user_name_for(0, name, sizeof name);
    EXPECT_STREQ("root", name);
    user_name_for(3999999u, name, sizeof name);
    EXPECT_STREQ("3999999", name);
}

// The whole section with a memory fixture, a release-file folder and the
// report in a chosen mode.
class SystemSummary : public ::testing::Test {
protected:
    void SetUp() override {
        set_etc_root(dir.path().c_str());
        write_file(dir.file("debian_version"), "12.5\n");
        set_physical_memory_path(dir.file("mem").c_str());
        reset_report_state();
    }
    void TearDown() override {
        set_etc_root(nullptr);
        set_physical_memory_path(nullptr);
        reset_report_state();
    }

    std::string write(int32_t mode, const char* name_template) {
        set_output_mode(mode);
        std::strcpy(template_buffer, name_template);
        captured_stream out;
        write_system_summary(out.get(), base_name, sizeof base_name, template_buffer);
        return out.text();
    }

    temp_dir dir;
    char base_name[256] = "";
    char template_buffer[256];
};

TEST_F(SystemSummary, NamesTheResultAndWritesOneRow) {
    bytes table = joined({system_information(" ACME/Labs ", "Box -[8670ABC]-", "12345"), end_of_table()});
    write_memory(dir.file("mem"), {{0xF0000, window_with_table(table)}});
    std::string text = write(4, "");
    EXPECT_STREQ("ACME_Labs-8670ABC-12345", base_name);
    EXPECT_NE(std::string::npos, text.find("<SECTION ID=\"SYSTEM SUMMARY\">"));
    EXPECT_NE(std::string::npos, text.find("<TABLE ID=\"System Summary\">\n<COLS>13</COLS>\n<ROW ID=\"\">"));
    EXPECT_NE(std::string::npos, text.find("<ASC ID=\"System Vendor\" W=\"16\">ACME/Labs</ASC>"));
    EXPECT_NE(std::string::npos, text.find("<ASC ID=\"System Serial Number\" W=\"20\">12345</ASC>"));
    EXPECT_NE(std::string::npos, text.find("<ASC ID=\"BIOS Version\" W=\"20\">Unknown</ASC>"));
    EXPECT_NE(std::string::npos, text.find("<ASC ID=\"OS Type\" W=\"22\">Linux (Debian)</ASC>"));
    EXPECT_NE(std::string::npos, text.find("<ASC ID=\"OS Issue\" W=\"8\">12.5</ASC>"));
    EXPECT_NE(std::string::npos, text.find("<ROWS>1</ROWS>"));
    EXPECT_NE(std::string::npos, text.find("</SECTION>"));
    size_t cells = 0;
    for (size_t at = text.find("<ROW"); (at = text.find(" W=\"", at + 1)) != std::string::npos;) ++cells;
    EXPECT_EQ(13u, cells);
    EXPECT_NE(std::string::npos, text.find("<ASC ID=\"BIOS Date\" W=\"10\">Unknown</ASC>"));
}

// -case: the template code @C (file-name safe) and one column appended
// after the others; without a case id neither.
TEST_F(SystemSummary, CaseIdColumnAndTemplateCode) {
    struct {
        const char* case_id;
        const char* name_template;
        const char* base_name;
        const char* cell;  // null: no column
    } cases[] = {
        {"CS-42", "@C-@S", "CS-42-Unknown", "<STR ID=\"Case ID\" W=\"16\">CS-42</STR>"},
        {"a/b\tc", "x@C", "xa_b_c", "<STR ID=\"Case ID\" W=\"16\">a/b\tc</STR>"},
        {"", "@C@S", "Unknown", nullptr},
    };
    for (const auto& c : cases) {
        set_summary_case_id(c.case_id);
        std::string text = write(4, c.name_template);
        set_summary_case_id("");
        EXPECT_STREQ(c.base_name, base_name) << c.case_id;
        EXPECT_NE(std::string::npos, text.find(c.cell ? "<COLS>14</COLS>" : "<COLS>13</COLS>")) << text;
        if (c.cell) {
            size_t user = text.find("ID=\"Current User\"");
            size_t cell = text.find(c.cell);
            ASSERT_NE(std::string::npos, cell) << text;
            EXPECT_LT(user, cell);
        } else {
            EXPECT_EQ(std::string::npos, text.find("Case ID"));
        }
    }
}

TEST_F(SystemSummary, PlainTextModeUsesListFormAndIsRestored) {
    std::string text = write(0, "@S");
    EXPECT_STREQ("Unknown", base_name);
    EXPECT_EQ(0, output_mode());
    EXPECT_NE(std::string::npos, text.find("SYSTEM SUMMARY"));
    EXPECT_NE(std::string::npos, text.find("Computer OEM"));
    EXPECT_NE(std::string::npos, text.find("Computer S/N"));
    EXPECT_EQ(std::string::npos, text.find("System Vendor"));
    EXPECT_EQ(std::string::npos, text.find('+'));  // no boxes
}

}  // namespace

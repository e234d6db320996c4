#include "host/time_zone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "base/clock.h"
#include "report/report.h"
#include "support/temp_dir.h"

namespace {

std::time_t fixed_time = 0;
std::time_t fixed_clock() { return fixed_time; }

// Renders the table in mode 4 for instant `when` in time zone `zone`.
class TimeZoneTable : public ::testing::Test {
protected:
    void TearDown() override {
        set_clock_source(nullptr);
        if (saved_tz)
            setenv("TZ", saved_tz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        reset_report_state();
    }

    std::string render(const char* zone, std::time_t when) {
        if (const char* tz = std::getenv("TZ"); tz && !saved_tz) saved_tz = std::string(tz);
        setenv("TZ", zone, 1);
        tzset();
        fixed_time = when;
        set_clock_source(fixed_clock);
        reset_report_state();
        set_output_mode(4);
        captured_stream out;
        write_time_zone_section(out.get());
        return out.text();
    }

    // The row element with the given ID, from its start tag to its end tag.
    static std::string row(const std::string& text, const std::string& id) {
        size_t start = text.find("<ROW ID=\"" + id + "\">");
        size_t end = text.find("</ROW>", start);
        if (start == std::string::npos || end == std::string::npos) return "";
        return text.substr(start, end - start);
    }

    std::optional<std::string> saved_tz;
};

const std::time_t july_15_2024_1030_utc = 1721039400;
const std::time_t jan_15_2024_0030_utc = 1705278600;

TEST_F(TimeZoneTable, UtcRowsShowTheSameInstant) {
    std::string text = render("UTC0", july_15_2024_1030_utc);
    EXPECT_NE(std::string::npos, text.find("<TABLE ID=\"Current Time\">"));
    EXPECT_NE(std::string::npos, text.find("<COLS>5</COLS>"));
    std::string local = row(text, "Local"), gmt = row(text, "GMT");
    for (const std::string& r : {local, gmt}) {
        EXPECT_NE(std::string::npos, r.find(">2024/07/15</ASC>")) << r;
        EXPECT_NE(std::string::npos, r.find(">10:30:00</ASC>")) << r;
        EXPECT_NE(std::string::npos, r.find("<STR ID=\"Daylight Saving\" W=\"15\">No</STR>")) << r;
    }
    EXPECT_NE(std::string::npos, local.find("<STR ID=\"Location\" W=\"8\">Local</STR>"));
    EXPECT_NE(std::string::npos, local.find("<STR ID=\"Time Zone\" W=\"40\">UTC</STR>"));
    EXPECT_NE(std::string::npos, gmt.find("<STR ID=\"Time Zone\" W=\"40\">GMT</STR>"));
    EXPECT_NE(std::string::npos, text.find("<ROWS>2</ROWS>"));
}

TEST_F(TimeZoneTable, WestOfGreenwichJustAfterMidnightShowsTwoDates) {
    std::string text = render("EST5EDT,M3.2.0,M11.1.0", jan_15_2024_0030_utc);
    std::string local = row(text, "Local"), gmt = row(text, "GMT");
    EXPECT_NE(std::string::npos, local.find(">2024/01/14</ASC>")) << local;
    EXPECT_NE(std::string::npos, local.find(">19:30:00</ASC>")) << local;
    EXPECT_NE(std::string::npos, local.find(">EST</STR>")) << local;
    EXPECT_NE(std::string::npos, gmt.find(">2024/01/15</ASC>")) << gmt;
    EXPECT_NE(std::string::npos, gmt.find(">00:30:00</ASC>")) << gmt;
}

TEST_F(TimeZoneTable, SummerTimeShowsYesAndSummerName) {
    std::string text = render("CET-1CEST,M3.5.0,M10.5.0/3", july_15_2024_1030_utc);
    std::string local = row(text, "Local");
    EXPECT_NE(std::string::npos, local.find(">12:30:00</ASC>")) << local;
    EXPECT_NE(std::string::npos, local.find("<STR ID=\"Daylight Saving\" W=\"15\">Yes</STR>")) << local;
    EXPECT_NE(std::string::npos, local.find(">CEST</STR>")) << local;
    EXPECT_NE(std::string::npos, row(text, "GMT").find(">No</STR>"));
}

}  // namespace

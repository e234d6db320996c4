#include "host/time_zone.h"

#include <ctime>

#include "base/clock.h"
#include "report/report_table.h"

namespace {

// Date "YYYY/MM/DD" and time "HH:MM:SS" of a broken-down time.
void format_date_time(const std::tm& when, char* date, size_t date_size, char* time, size_t time_size) {
    std::snprintf(date, date_size, "%04u/%02u/%02u", static_cast<unsigned>(when.tm_year + 1900),
                  static_cast<unsigned>(when.tm_mon + 1), static_cast<unsigned>(when.tm_mday));
    std::snprintf(time, time_size, "%02u:%02u:%02u", static_cast<unsigned>(when.tm_hour),
                  static_cast<unsigned>(when.tm_min), static_cast<unsigned>(when.tm_sec));
}

void write_time_row(report_table& table, const char* location, const std::tm& when,
                    const char* daylight, const char* zone) {
    char date[32], time[32];
    format_date_time(when, date, sizeof date, time, sizeof time);
    table.start_row(location);
    table.log_data(location);
    table.log_data(date);
    table.log_data(time);
    table.log_data(daylight);
    table.log_data(zone);
    table.end_row();
}

}  // namespace

void write_time_zone_section(FILE* report) {
    report_table table(report, "Current Time", "TIME");
    table.start_heading();
    table.add_column("Location", STRING);
    table.add_column("YYYY/MM/DD", ASCII_STRING);
    table.add_column("HH:MM:SS", ASCII_STRING);
    table.add_column("Daylight Saving", STRING);
    table.add_column("Time Zone", STRING);
    table.set_column_width(0, 5);
    table.set_column_width(4, 40);
    table.end_heading();

    std::time_t now = clock_now();
    std::tm local{}, gmt{};
    localtime_r(&now, &local);
    gmtime_r(&now, &gmt);
    char zone[128] = "";
    std::strftime(zone, sizeof zone, "%Z", &local);
    write_time_row(table, "Local", local, local.tm_isdst != 0 ? "Yes" : "No", zone);
    write_time_row(table, "GMT", gmt, "No", "GMT");
}

#include "driver/system_summary.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "base/accounts.h"
#include "base/clock.h"
#include "host/host_identity.h"
#include "report/report.h"
#include "report/report_table.h"

namespace {

constexpr size_t max_base_name = 255;
const char* const default_template = "@V-@M-@S";

// The case id of -case; empty when none was given (the summary then keeps
// its twelve columns).
std::string summary_case_id;

// An identity value as it goes into the file name: '/' would make the result
// land in another directory and control characters break the name's use on
// a console, so both become '_'.
std::string file_name_safe(const char* value) {
    std::string safe = value;
    for (char& c : safe) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
    }
    return safe;
}

std::string timestamp_text() {
    std::time_t now = clock_now();
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04u%02u%02u-%02u%02u%02u", static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                  static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                  static_cast<unsigned>(local.tm_sec));
    return text;
}

// Expansion of the code letter after an '@'; empty for any other character.
std::string code_expansion(char code, const host_identity& identity) {
    switch (code) {
    case 'H': return file_name_safe(identity.computer_name);
    case 'V': return file_name_safe(identity.system_vendor.c_str());
    case 'M': return file_name_safe(identity.system_model.c_str());
    case 'S': return file_name_safe(identity.system_serial.c_str());
    case 'O': return file_name_safe(identity.os_name.c_str());
    case 'C': return file_name_safe(summary_case_id.c_str());
    case 'T': return timestamp_text();
    default: return "";
    }
}

struct summary_column {
    const char* name;
    const char* list_name;  // name in the plain-text list mode (3)
    ColumnType type;
    int width;
};

const summary_column summary_columns[] = {
    {"Computer Name", nullptr, STRING, 16},
    {"System Vendor", "Computer OEM", ASCII_STRING, 16},
    {"System Model", "Computer Model", ASCII_STRING, 16},
    {"System Serial Number", "Computer S/N", ASCII_STRING, 16},
    {"BIOS Version", nullptr, ASCII_STRING, 20},
    {"OS Vendor", nullptr, ASCII_STRING, 16},
    {"OS Name", nullptr, ASCII_STRING, 30},
    {"OS Type", nullptr, ASCII_STRING, 22},
    {"OS Version", nullptr, ASCII_STRING, 10},
    {"OS Issue", nullptr, ASCII_STRING, 5},
    {"OS Release", nullptr, ASCII_STRING, 20},
    {"Current User", nullptr, STRING, 16},
    {"BIOS Date", nullptr, ASCII_STRING, 10},
};

void write_summary_table(FILE* report, const host_identity& identity) {
    bool list_mode = output_mode() == 3;
    report_table table(report, "System Summary");
    table.start_heading();
    int index = 0;
    for (const summary_column& column : summary_columns) {
        bool renamed = list_mode && column.list_name;
        table.add_column(renamed ? column.list_name : column.name, column.type);
        if (!renamed) table.set_column_width(index, column.width);
        ++index;
    }
    if (!summary_case_id.empty()) {
        table.add_column("Case ID", STRING);
        table.set_column_width(index, 16);
    }
    table.end_heading();
    table.start_row("");
    const char* cells[] = {
        identity.computer_name, identity.system_vendor.c_str(), identity.system_model.c_str(),
        identity.system_serial.c_str(), identity.bios_version.c_str(), identity.os_vendor, identity.os_name.c_str(),
        identity.os_type, identity.os_version, identity.os_issue.c_str(), identity.os_release.c_str(),
        identity.current_user, identity.bios_date.c_str(),
    };
    for (const char* cell : cells) table.log_data(cell);
    if (!summary_case_id.empty()) table.log_data(summary_case_id.c_str());
    table.end_row();
}

}  // namespace

void set_summary_case_id(const std::string& case_id) { summary_case_id = case_id; }

void user_name_for(unsigned uid, char* out, size_t out_size) {
    std::string name = account_user_name(uid);
    if (name.empty())
        std::snprintf(out, out_size, "%u", uid);
    else
        std::snprintf(out, out_size, "%s", name.c_str());
}

void expand_name_template(char* name_template, char* output, size_t output_size, const host_identity& identity) {
    if (output_size == 0) return;
    if (name_template[0] == 0) std::strcpy(name_template, default_template);
    std::string name;
    for (const char* at = name_template; *at; ++at) {
        if (*at != '@') {
            name += *at;
            continue;
        }
        name += code_expansion(at[1], identity);
        if (at[1] == 0) break;
        ++at;
    }
    size_t limit = output_size - 1 < max_base_name ? output_size - 1 : max_base_name;
    if (name.size() > limit) name.resize(limit);
    std::memcpy(output, name.c_str(), name.size() + 1);
}

void write_system_summary(FILE* report, char* base_name, size_t base_name_size, char* name_template) {
    host_identity identity;
    identify_host(identity);
    user_name_for(static_cast<unsigned>(getuid()), identity.current_user, sizeof identity.current_user);
    expand_name_template(name_template, base_name, base_name_size, identity);

    int32_t mode = output_mode();
    if (mode == 0) set_output_mode(3);
    begin_section(report, "SYSTEM SUMMARY");
    write_summary_table(report, identity);
    end_section(report);
    set_output_mode(mode);
    release_host_identity(identity);
}

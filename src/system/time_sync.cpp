#include "system/time_sync.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "base/run_context.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

const char* const clock_source_folder = "/sys/devices/system/clocksource/clocksource0";

struct named_bit {
    int bit;
    const char* name;
};

const named_bit status_bits[] = {
    {STA_PLL, "PLL"},           {STA_PPSFREQ, "PPSFREQ"},     {STA_PPSTIME, "PPSTIME"},
    {STA_FLL, "FLL"},           {STA_INS, "INS"},             {STA_DEL, "DEL"},
    {STA_UNSYNC, "UNSYNC"},     {STA_FREQHOLD, "FREQHOLD"},   {STA_PPSSIGNAL, "PPSSIGNAL"},
    {STA_PPSJITTER, "PPSJITTER"}, {STA_PPSWANDER, "PPSWANDER"}, {STA_PPSERROR, "PPSERROR"},
    {STA_CLOCKERR, "CLOCKERR"}, {STA_NANO, "NANO"},           {STA_MODE, "MODE"},
    {STA_CLK, "CLK"},
};

const char* const state_names[] = {"OK", "INS", "DEL", "OOP", "WAIT", "ERROR"};

int read_adjtimex(struct timex* state) { return adjtimex(state); }
adjtimex_fn adjtimex_call = read_adjtimex;

int32_t clamped(long long value) {
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
}

bool systemd_running() { return system_file_exists("/run/systemd/system"); }
bool chronyd_running() { return process_running("chronyd"); }
bool ntpd_running() { return process_running("ntpd"); }

const char* const timedatectl_argv[] = {"timedatectl", "show", nullptr};
const char* const chrony_tracking_argv[] = {"chronyc", "-n", "tracking", nullptr};
const char* const chrony_sources_argv[] = {"chronyc", "-n", "sources", nullptr};
const char* const ntpq_argv[] = {"ntpq", "-pn", nullptr};

}  // namespace

const tool_command timedatectl_command{timedatectl_argv, systemd_running};
const tool_command chrony_tracking_command{chrony_tracking_argv, chronyd_running};
const tool_command chrony_sources_command{chrony_sources_argv, chronyd_running};
const tool_command ntpq_command{ntpq_argv, ntpd_running};

std::string clock_status_text(int status) {
    std::string text;
    for (const named_bit& bit : status_bits)
        if (status & bit.bit) {
            if (!text.empty()) text += ' ';
            text += bit.name;
        }
    return text;
}

std::string clock_state_name(int state) {
    if (state >= 0 && state < static_cast<int>(sizeof state_names / sizeof state_names[0])) return state_names[state];
    return std::to_string(state);
}

void set_adjtimex_call(adjtimex_fn call) { adjtimex_call = call ? call : read_adjtimex; }

bool clock_source_available() {
    return system_file_exists(std::string(clock_source_folder) + "/current_clocksource");
}

bool write_clock_source(FILE* report) {
    const std::string folder = clock_source_folder;
    const std::string current = read_attribute(folder + "/current_clocksource");
    const std::string available = read_attribute(folder + "/available_clocksource");
    write_table(report, "Clock Source", {{"Current", STRING}, {"Available", STRING}}, {{current, {current, available}}});
    return !current.empty();
}

bool write_clock_discipline(FILE* report) {
    struct timex state {};
    state.modes = 0;  // read only
    int clock_state = adjtimex_call(&state);
    if (clock_state < 0) {
        debug_printf("adjtimex: %s\n", std::strerror(errno));
        return false;
    }
    const long long offset_ns = state.status & STA_NANO ? state.offset : state.offset * 1000LL;
    char frequency[32];
    std::snprintf(frequency, sizeof frequency, "%.3f", static_cast<double>(state.freq) / 65536.0);
    write_table(report, "Kernel Clock",
                {{"Synchronised", BOOL},
                 {"State", STRING},
                 {"Offset (ns)", INTEGER},
                 {"Frequency (ppm)", STRING},
                 {"Maximum Error (us)", INTEGER},
                 {"Estimated Error (us)", INTEGER},
                 {"Status", STRING}},
                {{"adjtimex",
                  {table_cell::of_flag(clock_state != TIME_ERROR), clock_state_name(clock_state),
                   table_cell::of_value(clamped(offset_ns)), frequency, table_cell::of_value(clamped(state.maxerror)),
                   table_cell::of_value(clamped(state.esterror)), clock_status_text(state.status)}}});
    return true;
}

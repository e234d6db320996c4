// Time synchronisation: the kernel's clock source, its clock discipline
// state (adjtimex, read only), and the state of systemd's, chrony's or
// ntpd's synchronisation where they run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/timex.h>

#include "report/table_rows.h"
#include "system/bounded_command.h"

// The names of the set adjtimex status bits ("PLL NANO").
std::string clock_status_text(int status);
// The clock state adjtimex returned: TIME_OK as "OK" and so on.
std::string clock_state_name(int state);

// Reads the clock discipline without changing it (modes 0); the state, or
// -1 on failure. Replaceable: null restores adjtimex. Tests only.
using adjtimex_fn = int (*)(struct timex* state);
void set_adjtimex_call(adjtimex_fn call);

bool clock_source_available();
bool write_clock_source(FILE* report);
bool write_clock_discipline(FILE* report);

extern const tool_command timedatectl_command;
extern const tool_command chrony_tracking_command;
extern const tool_command chrony_sources_command;
extern const tool_command ntpq_command;

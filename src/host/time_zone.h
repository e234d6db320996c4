// The time zone table of the TIME ZONE section.
#pragma once

#include <cstdio>

// Writes the "Current Time" table: one row with the current time as local
// time and one with the same instant as GMT. The caller opens and closes the
// section around it.
void write_time_zone_section(FILE* report);

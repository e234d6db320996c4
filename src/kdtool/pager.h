// Output through a pager when standard output is a terminal.
#pragma once

#include "kdtool/kdtool_io.h"

using kdtool_command = int (*)(const kdtool_args&, const kdtool_io&);

// Runs command with its output piped through $PAGER (else "less -RS": wide tables scroll
// sideways rather than wrap) when
// standard output is a terminal, else straight to standard output. kdtool
// reads this one environment variable; the collector reads none.
int run_paged(kdtool_command command, const kdtool_args& args);

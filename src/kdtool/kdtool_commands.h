// The kdtool commands. Each takes the arguments after its own name and
// gives the program's exit code.
#pragma once

#include "kdtool/kdtool_io.h"

int kdtool_list(const kdtool_args& args, const kdtool_io& io);
int kdtool_extract(const kdtool_args& args, const kdtool_io& io);
int kdtool_verify(const kdtool_args& args, const kdtool_io& io);
int kdtool_pack(const kdtool_args& args, const kdtool_io& io);
int kdtool_show(const kdtool_args& args, const kdtool_io& io);
int kdtool_html(const kdtool_args& args, const kdtool_io& io);
// Exit 0 when the reports are equal, 1 when they differ, 2 on any error.
int kdtool_diff(const kdtool_args& args, const kdtool_io& io);
int kdtool_json(const kdtool_args& args, const kdtool_io& io);
int kdtool_clean(const kdtool_args& args, const kdtool_io& io);
// The problems the report shows (finding rules), as text or with --json.
int kdtool_findings(const kdtool_args& args, const kdtool_io& io);
// One row per container of the files and folders named; exit 1 when any was damaged.
int kdtool_summary(const kdtool_args& args, const kdtool_io& io);

#include "kdtool/kdtool_commands.h"
int kdtool_json(const kdtool_args&, const kdtool_io& io) { return kdtool_usage(io); }

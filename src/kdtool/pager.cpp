#include "kdtool/pager.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

int run_paged(kdtool_command command, const kdtool_args& args) {
    kdtool_io io;
    if (!isatty(STDOUT_FILENO)) return command(args, io);
    const char* pager = std::getenv("PAGER");
    if (!pager || !*pager) pager = "less -RS";
    std::fflush(stdout);
    FILE* pipe = popen(pager, "w");
    if (!pipe) return command(args, io);
    // A pager that is left early closes the pipe: the writes then fail
    // instead of ending the program.
    signal(SIGPIPE, SIG_IGN);
    io.out = pipe;
    int rc = command(args, io);
    pclose(pipe);
    return rc;
}

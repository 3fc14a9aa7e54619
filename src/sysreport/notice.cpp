#include <cstdio>
#include <unistd.h>

#include "sysreport/report.h"

namespace {

const char* const NOTICE[] = {
    "\nThis test should be run on a completely idle system.",
    "Make sure the load average near 0, and I/O activity",
    "is nonexistant.  Single user mode is the best option.",
};
const char* const PROMPT = "\nPress return to begin...";

} // namespace

void print_notice(bool wait)
{
    for (const char* line : NOTICE)
        puts(line);
    if (wait)
        puts(PROMPT);
    // Standard output may be a pipe (ovrel-bench | tee): the prompt must be
    // out before the program waits for the key.
    fflush(stdout);
    if (!wait)
        return;
    // With the report going to a file, the operator at the terminal would
    // otherwise wait for nothing visible.
    if (!isatty(STDOUT_FILENO) && isatty(STDIN_FILENO)) {
        for (const char* line : NOTICE)
            fprintf(stderr, "%s\n", line);
        fprintf(stderr, "%s\n", PROMPT);
    }
    getc(stdin);
}

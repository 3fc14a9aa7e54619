#include <cstdio>

#include "sysreport/report.h"

void print_notice()
{
    puts("\nThis test should be run on a completely idle system.");
    puts("Make sure the load average near 0, and I/O activity");
    puts("is nonexistant.  Single user mode is the best option.");
    puts("\nPress return to begin...");
    // Standard output may be a pipe (ovrel-bench | tee): the prompt must be
    // out before the program waits for the key.
    fflush(stdout);
    getc(stdin);
}

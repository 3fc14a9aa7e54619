#include "measure/progress.h"

#include <cstdio>

int32_t progress_count = 0;

void progress_begin(int32_t cells)
{
    putchar('[');
    for (int32_t i = 0; i < cells; ++i)
        putchar(' ');
    putchar(']');
    if (cells >= 0)
        for (int32_t i = 0; i <= cells; ++i)
            putchar('\b');
}

void progress_tick(uint64_t index, uint64_t total, uint64_t cells)
{
    if (index == 0)
        progress_count = 0;
    if (cells == 0)
        return;
    // A pass of fewer blocks than cells marks every block rather than
    // dividing by a step of zero.
    uint64_t step = total / cells;
    if (step == 0)
        step = 1;
    if (index % step != 0)
        return;
    // Once the bar is full the count stops, so a pass of billions of blocks
    // cannot overflow it; nothing more would be drawn anyway.
    if (static_cast<uint64_t>(progress_count) >= cells)
        return;
    ++progress_count;
    putchar('*');
    fflush(stdout);
}

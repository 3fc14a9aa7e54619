#include "memtest/array_fill.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "measure/result.h"
#include "measure/timing.h"
#include "measure/witness.h"
#include "memtest/sweep.h"
#include "platform/platform.h"

Measured array_fill(uint64_t size, int32_t sweeps, int32_t wsize)
{
    // Fresh pages from the system on every system, so that the first
    // sweep's cost means the same everywhere.
    void* array = platform_map_memory(size);
    if (array == nullptr) {
        fprintf(stderr, "Could not allocate %" PRIu64 " bytes.\n", size);
        exit(1);
    }

    char size_label[SIZE_LABEL_LEN];
    printf("Filling a %s array %u times %d bytes at a time...\n", format_size(size, size_label),
           static_cast<unsigned>(sweeps), wsize);

    const Interval interval = interval_begin();
    if (!valid_word_size(wsize)) {
        fprintf(stderr, "Invalid wsize: %d\n", wsize);
        exit(1);
    }
    // The array is not touched before the first reading: the first sweep
    // pays for bringing the fresh pages in, as a real program would.
    sweep_array(array, size, sweeps, wsize);
    Measured measured = interval_end(interval);

    platform_unmap_memory(array, size);
    print_result(static_cast<uint64_t>(measured.ms), "array", size, sweeps, static_cast<uint64_t>(wsize));
    witness_judge(&measured, WitnessKind::Memory, 0);
    putchar('\n');
    return measured;
}

int64_t array_test(uint64_t size, int32_t sweeps, int32_t wsize)
{
    return array_fill(size, sweeps, wsize).ms;
}

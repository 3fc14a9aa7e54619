#include "memtest/array_fill.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "measure/interrupt.h"
#include "measure/progress.h"
#include "measure/result.h"
#include "measure/status.h"
#include "measure/timing.h"
#include "measure/witness.h"
#include "memtest/sweep.h"
#include "platform/platform.h"
#include "run/measurements.h"

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

    // The sweeps go in at most PROGRESS_MARKS steps (each sweep of the
    // large array is one): between two steps the run can show progress and
    // stop for an interrupt, never inside the stores.
    const int32_t per_step = sweeps / PROGRESS_MARKS > 1 ? sweeps / PROGRESS_MARKS : 1;
    status_show_bar(false);
    const Interval interval = interval_begin();
    if (!valid_word_size(wsize)) {
        fprintf(stderr, "Invalid wsize: %d\n", wsize);
        exit(1);
    }
    // The array is not touched before the first reading: the first sweep
    // pays for bringing the fresh pages in, as a real program would.
    // Where each step is one sweep (the large array), one clock reading
    // between two sweeps times each: the first pays for the fresh pages.
    const bool timed = per_step == 1 && sweeps <= SWEEP_TIMES_MAX;
    int64_t sweep_us[SWEEP_TIMES_MAX] = {};
    TimeReading last = interval.start;
    bool stopped = false;
    for (int32_t done = 0; done < sweeps && !stopped;) {
        const int32_t step = sweeps - done < per_step ? sweeps - done : per_step;
        sweep_array(array, size, step, wsize);
        if (timed) {
            const TimeReading now = time_reading();
            sweep_us[done] = elapsed_us(now, last);
            last = now;
        }
        done += step;
        status_units_done(static_cast<uint64_t>(done));
        stopped = interrupt_signal() != 0;
    }
    Measured measured = interval_end(interval);
    if (timed) {
        measured.sweeps_timed = sweeps;
        for (int32_t i = 0; i < sweeps; ++i)
            measured.sweep_us[i] = sweep_us[i];
    }
    terminal_bar_end();

    platform_unmap_memory(array, size);
    // An interrupted measurement is not one: the trial it belongs to is
    // dropped, and nothing of it is printed.
    if (stopped)
        return measured;
    print_result(static_cast<uint64_t>(measured.ms), "array", size, sweeps, static_cast<uint64_t>(wsize));
    witness_judge(&measured, WitnessKind::Memory, 0);
    const std::string first_touch = first_touch_note(measured, size);
    if (!first_touch.empty())
        printf("  note: %s\n", first_touch.c_str());
    putchar('\n');
    return measured;
}

std::string first_touch_note(const Measured& measured, uint64_t size)
{
    if (measured.sweeps_timed < 2 || measured.us <= 0)
        return "";
    const int64_t first = measured.sweep_us[0];
    int64_t later = 0;
    for (int32_t i = 1; i < measured.sweeps_timed; ++i)
        later += measured.sweep_us[i];
    const double share = static_cast<double>(first) / static_cast<double>(measured.us);
    if (share <= FIRST_TOUCH_SHARE)
        return "";
    char size_label[SIZE_LABEL_LEN];
    char text[200];
    snprintf(text, sizeof text, "the first sweep, bringing %s of fresh pages in, took %.0f%% of the time",
             format_size(size, size_label), 100.0 * share);
    std::string note = text;
    if (later > 0) {
        snprintf(text, sizeof text, "; the later sweeps stored at %.2f MiB/s",
                 rate_mib_per_s_us(static_cast<uint64_t>(later), size, measured.sweeps_timed - 1));
        note += text;
    }
    return note;
}

int64_t array_test(uint64_t size, int32_t sweeps, int32_t wsize)
{
    return array_fill(size, sweeps, wsize).ms;
}

#include "memtest/array_fill.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <vector>

#include "measure/interrupt.h"
#include "measure/progress.h"
#include "measure/result.h"
#include "measure/status.h"
#include "measure/timing.h"
#include "measure/witness.h"
#include "measure/workers.h"
#include "memtest/sweep.h"
#include "platform/platform.h"
#include "run/measurements.h"

namespace {

// The sweeps of several workers, each over a part of its own.
struct MemoryTeam {
    std::vector<void*> parts;
    uint64_t part_size;
    int32_t sweeps;
    int32_t per_step;
    int32_t wsize;
    bool timed;
    std::vector<TimeReading> sweep_end;  // worker w's sweep i ends at [w * SWEEP_TIMES_MAX + i]
    std::vector<TimeReading> end;
    pthread_barrier_t sweep_done;        // timed sweeps: all end one before any begins the next
    bool stopped;                        // timed sweeps: an interrupt came, read once for all
};

void sweep_part(int32_t worker, void* context)
{
    MemoryTeam& team = *static_cast<MemoryTeam*>(context);
    const size_t w = static_cast<size_t>(worker);
    for (int32_t done = 0; done < team.sweeps;) {
        const int32_t step = team.sweeps - done < team.per_step ? team.sweeps - done : team.per_step;
        sweep_array(team.parts[w], team.part_size, step, team.wsize);
        bool stop = false;
        if (team.timed) {
            team.sweep_end[w * SWEEP_TIMES_MAX + static_cast<size_t>(done)] = time_reading();
            // In step, so that each sweep's time is that of all the workers
            // storing at once: none runs ahead while another still brings
            // its fresh pages in. One of them reads the interrupt for all,
            // between two barriers, so that none waits for one that left.
            if (pthread_barrier_wait(&team.sweep_done) == PTHREAD_BARRIER_SERIAL_THREAD)
                team.stopped = interrupt_signal() != 0;
            pthread_barrier_wait(&team.sweep_done);
            stop = team.stopped;
        } else {
            stop = interrupt_signal() != 0;
        }
        done += step;
        // One worker draws the bar for all.
        if (worker == 0)
            status_units_done(static_cast<uint64_t>(done));
        if (stop)
            break;
    }
    team.end[w] = time_reading();
}

// The latest of the workers' readings at `at` (stride SWEEP_TIMES_MAX or 1).
TimeReading latest(const std::vector<TimeReading>& readings, size_t at, size_t stride, size_t workers)
{
    TimeReading last = readings[at];
    for (size_t w = 1; w < workers; ++w)
        if (elapsed_us(readings[w * stride + at], last) > 0)
            last = readings[w * stride + at];
    return last;
}

// The sweeps on `cores` pinned workers at once, each over its own part of
// `size` (fresh pages, first touched by the worker that sweeps them, so
// that they lie near its CPU). The measurement runs from the common start
// to the last worker's end. Sweeps timed one by one go in step: each sweep's
// time is from the moment every worker had ended the one before to the
// moment every worker has ended it.
Measured fill_on_workers(uint64_t size, int32_t sweeps, int32_t wsize, int32_t cores, const int32_t* cpus, bool* stopped)
{
    const size_t workers = static_cast<size_t>(cores);
    MemoryTeam team{{}, size / workers, sweeps, sweeps / PROGRESS_MARKS > 1 ? sweeps / PROGRESS_MARKS : 1, wsize,
                    false, {}, std::vector<TimeReading>(workers), {}, false};
    team.timed = team.per_step == 1 && sweeps <= SWEEP_TIMES_MAX;
    team.sweep_end.resize(workers * SWEEP_TIMES_MAX);
    pthread_barrier_init(&team.sweep_done, nullptr, static_cast<unsigned>(cores));
    for (size_t w = 0; w < workers; ++w) {
        team.parts.push_back(platform_map_memory(team.part_size));
        if (team.parts.back() == nullptr) {
            fprintf(stderr, "Could not allocate %" PRIu64 " bytes.\n", team.part_size);
            exit(1);
        }
    }
    Interval interval{};
    int32_t failed = 0;
    const int error = workers_run(WorkerTeam{cores, cpus, sweep_part, &team}, &interval, &failed);
    if (error != 0) {
        terminal_bar_end();
        fprintf(stderr, "Cannot run a memory worker on CPU %" PRId32 ": %s\n", cpus != nullptr ? cpus[failed] : -1,
                strerror(error));
        exit(1);
    }
    Measured measured = interval_end(interval);
    const TimeReading last = latest(team.end, 0, 1, workers);
    measured.us = elapsed_us(last, interval.start);
    measured.ms = measured.us / 1000;
    for (size_t w = 0; w < workers; ++w)
        measured.worker_us.push_back(elapsed_us(team.end[w], interval.start));
    *stopped = interrupt_signal() != 0;
    if (team.timed && !*stopped) {
        measured.sweeps_timed = sweeps;
        TimeReading before = interval.start;
        for (int32_t i = 0; i < sweeps; ++i) {
            const TimeReading now = latest(team.sweep_end, static_cast<size_t>(i), SWEEP_TIMES_MAX, workers);
            measured.sweep_us[i] = elapsed_us(now, before);
            before = now;
        }
    }
    pthread_barrier_destroy(&team.sweep_done);
    for (void* part : team.parts)
        platform_unmap_memory(part, team.part_size);
    return measured;
}

} // namespace

Measured array_fill(uint64_t size, int32_t sweeps, int32_t wsize, int32_t cores, const int32_t* cpus)
{
    if (cpus != nullptr) {
        if (!valid_word_size(wsize)) {
            fprintf(stderr, "Invalid wsize: %d\n", wsize);
            exit(1);
        }
        char size_label[SIZE_LABEL_LEN];
        printf("Filling a %s array %u times %d bytes at a time...\n", format_size(size, size_label),
               static_cast<unsigned>(sweeps), wsize);
        status_show_bar(false);
        bool stopped = false;
        Measured measured = fill_on_workers(size, sweeps, wsize, cores, cpus, &stopped);
        terminal_bar_end();
        if (stopped)
            return measured;
        print_result(static_cast<uint64_t>(measured.ms), "array", size, sweeps, static_cast<uint64_t>(wsize));
        witness_set_threads(cores);
        witness_judge(&measured, WitnessKind::Memory, 0);
        witness_set_threads(1);
        const std::string first_touch = first_touch_note(measured, size);
        if (!first_touch.empty())
            printf("  note: %s\n", first_touch.c_str());
        putchar('\n');
        return measured;
    }

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

// Workers that measure together: threads started and pinned before the
// clock, released at once by one barrier, and waited for to the last.
#pragma once

#include <cstdint>

#include "measure/witness.h"

struct WorkerTeam {
    int32_t count;                                 // at least 1
    const int32_t* cpus;                           // worker i runs on cpus[i]; null: wherever the system puts it
    void (*body)(int32_t worker, void* context);   // the measured work of one worker
    void* context;
};

// Starts the workers with every signal blocked (the handlers run on the
// calling thread, which waits), pins each to its CPU, and once all are
// ready takes the interval's first reading and lets them go together; then
// waits for every one. Returns 0, or the errno value of a thread that could
// not be started or pinned (`*failed` is its index) and nothing was measured.
int workers_run(const WorkerTeam& team, Interval* interval, int32_t* failed);

// The trial loop and the averages.
#pragma once

#include <cstdint>
#include <vector>

#include "measure/witness.h"
#include "run/measurements.h"
#include "run/run_parameters.h"

// The elapsed times of one trial and their witnesses, indexed like the
// table of measurements; measurements outside the run's phases stay 0.
struct TrialTimes {
    int64_t ms[MEASUREMENT_COUNT];
    int64_t us[MEASUREMENT_COUNT];
    Witness witness[MEASUREMENT_COUNT];
};

// Whether the run measures `m` at all.
bool measurement_runs(const Measurement& m, const RunParameters& parameters);

// Runs the trials with the generator already seeded and appends every
// complete trial's times to `times`. Stops early, dropping the trial in
// progress, when an interrupt was recorded. With `keep_finished`, the
// signals are only recorded once a trial is complete, so that it can be saved.
void run_trials(const RunParameters& parameters, bool keep_finished, std::vector<TrialTimes>* times);

// The sum of measurement `index`'s whole milliseconds over the trials.
uint64_t total_ms(const std::vector<TrialTimes>& times, int index);
// That sum divided by the trial count, truncated.
uint64_t average_ms(const std::vector<TrialTimes>& times, int index, int32_t trials);
// "Averages of N trials:" and the average line of every measurement run.
void print_averages(const RunParameters& parameters, const std::vector<TrialTimes>& times);

// The trial loop and the averages.
#pragma once

#include <cstdint>
#include <string>
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
    // The large array's sweeps, timed one by one (0 sweeps elsewhere).
    int32_t sweeps_timed[MEASUREMENT_COUNT];
    int64_t sweep_us[MEASUREMENT_COUNT][SWEEP_TIMES_MAX];
    // Several workers or jobs: each one's time from the common start to its end.
    std::vector<int64_t> worker_us[MEASUREMENT_COUNT];
};

// The time a run has left, as the estimate of the measurement about to run
// and of all those after it, in µs; -1 where nothing is known yet.
// `lower_bound` when some measurement to come has no rate of its kind to go
// by, so that the time of the rest is at least `after_us`.
struct RunEstimate {
    int64_t current_us;
    int64_t after_us;
    bool lower_bound;
};
// The estimate before measurement `index` of trial `trial` (from 1), from
// `latest_us`, each measurement's latest time (-1 until it has one): a
// measurement takes what it took last, or the bytes it moves at the rate of
// the nearest measured one of its kind (the small array, the large array,
// the disk passes).
RunEstimate estimate_rest(const RunParameters& parameters, const int64_t latest_us[MEASUREMENT_COUNT], int64_t trial,
                          int index);

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
// The measurements whose first trial stands out from the later ones, as
// hyperfine judges a slow first run: with at least two later trials, the
// first took longer than their mean by more than twice their standard
// deviation and by more than a tenth. One warning each, for standard error.
std::vector<std::string> first_trial_warnings(const RunParameters& parameters, const std::vector<TrialTimes>& times);
// "Averages of N trials:" and the average line of every measurement run.
void print_averages(const RunParameters& parameters, const std::vector<TrialTimes>& times);

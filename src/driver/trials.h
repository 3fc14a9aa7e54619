// The trial loop and the averages.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/run_parameters.h"

constexpr uint64_t SMALL_ARRAY_SIZE = 262144;
constexpr int32_t SMALL_ARRAY_PASSES = 65536;
constexpr int32_t LARGE_ARRAY_PASSES = 8;
constexpr int MEASUREMENT_COUNT = 12;

// Sums of elapsed milliseconds over all trials; index k of the arrays is the
// word size 2^k.
struct TrialTotals {
    uint64_t small[4];
    uint64_t large[4];
    uint64_t write;
    uint64_t read;
    uint64_t rewrite;
    uint64_t seek;
};

// The twelve elapsed times of one trial, in the order of the trial.
struct TrialTimes {
    int64_t ms[MEASUREMENT_COUNT];
};

// What one of the twelve measurements moves, in the order of the trial:
// small array 1/2/4/8, large array 1/2/4/8, write, read, rewrite, seek.
struct Measurement {
    const char* id;     // stable name for machine-read results
    const char* label;  // label of its average line
    uint64_t size;
    int32_t sweeps;
    uint64_t block;
};

Measurement measurement(int index, const RunParameters& parameters);
uint64_t measurement_total(const TrialTotals& totals, int index);

// Seeds random() once, runs the trials, adds every result to `totals` and,
// when `times` is not null, appends each trial's times to it.
void run_trials(const RunParameters& parameters, TrialTotals& totals, std::vector<TrialTimes>* times);
// The sum of measurement `index` divided by the trial count, truncated.
uint64_t average_ms(const TrialTotals& totals, int index, int32_t trials);
void print_averages(const RunParameters& parameters, const TrialTotals& totals);

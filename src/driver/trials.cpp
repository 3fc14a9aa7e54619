#include "driver/trials.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/result.h"
#include "memtest/array_test.h"

namespace {

const char* const TRIAL_RULE = "===========================================================";

constexpr const char* MEASUREMENT_IDS[MEASUREMENT_COUNT] = {
    "small-1", "small-2", "small-4", "small-8", "large-1", "large-2",
    "large-4", "large-8", "write",   "read",    "rewrite", "seek",
};

constexpr const char* DISK_LABELS[] = {"write", "read", "rewrite", "seek"};

} // namespace

Measurement measurement(int index, const RunParameters& parameters)
{
    const char* id = MEASUREMENT_IDS[index];
    if (index < 4)
        return Measurement{id, "array", SMALL_ARRAY_SIZE, SMALL_ARRAY_PASSES, uint64_t{1} << index};
    if (index < 8)
        return Measurement{id, "array", parameters.large_array_size, LARGE_ARRAY_PASSES,
                           uint64_t{1} << (index - 4)};
    return Measurement{id, DISK_LABELS[index - 8], parameters.file_size, 1, BLOCK_SIZE};
}

uint64_t measurement_total(const TrialTotals& totals, int index)
{
    if (index < 4)
        return totals.small[index];
    if (index < 8)
        return totals.large[index - 4];
    const uint64_t disk[] = {totals.write, totals.read, totals.rewrite, totals.seek};
    return disk[index - 8];
}

void run_trials(const RunParameters& parameters, TrialTotals& totals, std::vector<TrialTimes>* times)
{
    // One seed for the run: the write passes' random bytes and the shuffles
    // draw on from it.
    srandom(static_cast<unsigned>(time(nullptr)));

    for (int32_t t = 1; t <= parameters.trials; ++t) {
        TrialTimes trial{};
        puts(TRIAL_RULE);
        printf("Trial %d...\n", t);
        puts(TRIAL_RULE);

        puts("Testing small array, high cache hit-ratio...");
        for (int k = 0; k < 4; ++k) {
            trial.ms[k] = array_test(SMALL_ARRAY_SIZE, SMALL_ARRAY_PASSES, 1 << k);
            totals.small[k] += static_cast<uint64_t>(trial.ms[k]);
        }
        puts("Testing large array, low cache hit-ratio...");
        for (int k = 0; k < 4; ++k) {
            trial.ms[4 + k] = array_test(parameters.large_array_size, LARGE_ARRAY_PASSES, 1 << k);
            totals.large[k] += static_cast<uint64_t>(trial.ms[4 + k]);
        }

        trial.ms[8] = write_pass(parameters.file_size);
        totals.write += static_cast<uint64_t>(trial.ms[8]);
        trial.ms[9] = read_pass(parameters.file_size);
        totals.read += static_cast<uint64_t>(trial.ms[9]);
        // The same routine over the file the first pass left: its blocks are
        // overwritten where they lie.
        trial.ms[10] = write_pass(parameters.file_size);
        totals.rewrite += static_cast<uint64_t>(trial.ms[10]);
        trial.ms[11] = seek_pass(parameters.file_size);
        totals.seek += static_cast<uint64_t>(trial.ms[11]);

        unlink(SCRATCH_FILE);
        scratch_file_live = 0;
        if (times != nullptr)
            times->push_back(trial);
    }
}

uint64_t average_ms(const TrialTotals& totals, int index, int32_t trials)
{
    return measurement_total(totals, index) / static_cast<uint64_t>(static_cast<int64_t>(trials));
}

void print_averages(const RunParameters& parameters, const TrialTotals& totals)
{
    printf("Averages of %d trials:\n", parameters.trials);
    // The rate of the average time, not the average of the rates.
    for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
        const Measurement m = measurement(index, parameters);
        print_result(average_ms(totals, index, parameters.trials), m.label, m.size, m.sweeps, m.block);
    }
}

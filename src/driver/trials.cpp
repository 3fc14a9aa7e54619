#include "driver/trials.h"

#include <cinttypes>
#include <cstdio>

#include "disktest/scratch.h"
#include "driver/signals.h"
#include "measure/interrupt.h"
#include "measure/result.h"
#include "memtest/array_fill.h"

namespace {

const char* const TRIAL_RULE = "===========================================================";

int64_t run_measurement(const Measurement& m, const RunParameters& parameters)
{
    const MeasuredObject object = measured_object(m, parameters);
    switch (m.pass) {
    case DiskPassKind::None:
        return array_test(object.size, object.sweeps, m.wsize);
    case DiskPassKind::Write:
    case DiskPassKind::Rewrite:
        // The rewrite is the same routine over the file the first pass
        // left: its blocks are overwritten where they lie.
        return write_pass(object.size);
    case DiskPassKind::Read:
        return read_pass(object.size);
    case DiskPassKind::Seek:
        return seek_pass(object.size);
    }
    return 0;
}

} // namespace

bool measurement_runs(const Measurement& m, const RunParameters& parameters)
{
    return (measurement_phase(m) & parameters.phases) != 0;
}

void run_trials(const RunParameters& parameters, bool keep_finished, std::vector<TrialTimes>* times)
{
    // 64 bits, so that the last of 2147483647 trials does not wrap the count.
    for (int64_t t = 1; t <= parameters.trials; ++t) {
        TrialTimes trial{};
        puts(TRIAL_RULE);
        printf("Trial %" PRId64 "...\n", t);
        puts(TRIAL_RULE);
        for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
            const Measurement& m = MEASUREMENTS[index];
            if (!measurement_runs(m, parameters))
                continue;
            if (m.group_header != nullptr)
                puts(m.group_header);
            trial.ms[index] = run_measurement(m, parameters);
            if (interrupt_signal() != 0)
                return;
        }
        scratch_remove();
        times->push_back(trial);
        if (keep_finished)
            signals_keep_for_record();
    }
}

uint64_t total_ms(const std::vector<TrialTimes>& times, int index)
{
    uint64_t total = 0;
    for (const TrialTimes& trial : times)
        total += static_cast<uint64_t>(trial.ms[index]);
    return total;
}

uint64_t average_ms(const std::vector<TrialTimes>& times, int index, int32_t trials)
{
    return total_ms(times, index) / static_cast<uint64_t>(static_cast<int64_t>(trials));
}

void print_averages(const RunParameters& parameters, const std::vector<TrialTimes>& times)
{
    printf("Averages of %d trials:\n", parameters.trials);
    // The rate of the average time, not the average of the rates.
    for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
        const Measurement& m = MEASUREMENTS[index];
        if (!measurement_runs(m, parameters))
            continue;
        const MeasuredObject object = measured_object(m, parameters);
        print_result(average_ms(times, index, parameters.trials), m.label, object.size, object.sweeps, object.block);
    }
}

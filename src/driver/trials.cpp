#include "driver/trials.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "disktest/scratch.h"
#include "driver/signals.h"
#include "measure/interrupt.h"
#include "measure/result.h"
#include "measure/status.h"
#include "measure/timing.h"
#include "measure/visible.h"
#include "memtest/array_fill.h"
#include "sysreport/report.h"

namespace {

const char* const TRIAL_RULE = "===========================================================";

Measured run_measurement(const Measurement& m, const RunParameters& parameters)
{
    const MeasuredObject object = measured_object(m, parameters);
    if (m.pass == DiskPassKind::None)
        return array_fill(object.size, object.sweeps, m.wsize);
    return run_pass(m.pass, object.size);
}

// "1 h 05 min", "4 min 10 s" or "37 s".
std::string duration_text(int64_t seconds)
{
    char text[48];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "%" PRId64 " h %02" PRId64 " min", seconds / 3600, seconds % 3600 / 60);
    else if (seconds >= 60)
        snprintf(text, sizeof text, "%" PRId64 " min %" PRId64 " s", seconds / 60, seconds % 60);
    else
        snprintf(text, sizeof text, "%" PRId64 " s", seconds);
    return text;
}

// For the operator at a terminal: a default run takes minutes to hours.
// The report on standard output is left as it is.
void print_time_left(int64_t done, int32_t trials, const TimeReading& start)
{
    if (!isatty(STDERR_FILENO))
        return;
    const int64_t taken = elapsed_ms(time_reading(), start) / 1000;
    const int64_t left = taken * (trials - done) / done;
    fprintf(stderr, "Trial %" PRId64 " of %" PRId32 " done after %s", done, trials, duration_text(taken).c_str());
    if (done < trials)
        fprintf(stderr, "; about %s left", duration_text(left).c_str());
    fputs(".\n", stderr);
}

} // namespace

bool measurement_runs(const Measurement& m, const RunParameters& parameters)
{
    return (measurement_phase(m) & parameters.phases) != 0;
}

void run_trials(const RunParameters& parameters, bool keep_finished, std::vector<TrialTimes>* times)
{
    const TimeReading start = time_reading();
    // 64 bits, so that the last of 2147483647 trials does not wrap the count.
    for (int64_t t = 1; t <= parameters.trials; ++t) {
        TrialTimes trial{};
        status_trial(t, parameters.trials);
        puts(TRIAL_RULE);
        printf("Trial %" PRId64 "...\n", t);
        puts(TRIAL_RULE);
        for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
            const Measurement& m = MEASUREMENTS[index];
            if (!measurement_runs(m, parameters))
                continue;
            if (m.group_header != nullptr)
                puts(m.group_header);
            status_begin(m.id, m.pass == DiskPassKind::None ? 0 : parameters.file_size / BLOCK_SIZE);
            const Measured measured = run_measurement(m, parameters);
            status_end();
            trial.ms[index] = measured.ms;
            trial.us[index] = measured.us;
            trial.witness[index] = measured.witness;
            if (interrupt_signal() != 0)
                return;
        }
        // A file of twice the memory must never stay behind unnoticed.
        const int error = scratch_remove();
        if (error != 0) {
            fprintf(stderr, "Cannot remove %s/%s: %s\n", visible(working_directory()).c_str(), SCRATCH_FILE,
                    strerror(error));
            exit(1);
        }
        times->push_back(trial);
        if (keep_finished)
            signals_keep_for_record();
        print_time_left(t, parameters.trials, start);
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

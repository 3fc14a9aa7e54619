#include "driver/trials.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "disktest/scratch.h"
#include "driver/signals.h"
#include "measure/interrupt.h"
#include "measure/plain_text.h"
#include "measure/progress.h"
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
        return array_fill(object.size, object.sweeps, m.wsize, parameters.cores, parameters.cpus);
    return run_pass(m.pass, object.size);
}

std::string duration_text(int64_t seconds)
{
    char text[48];
    TextBuffer buffer{text, text + sizeof text - 1};
    text_put_duration(&buffer, seconds);
    *buffer.at = '\0';
    return text;
}

// The bytes a measurement moves.
double bytes_of(const Measurement& m, const RunParameters& parameters)
{
    const MeasuredObject object = measured_object(m, parameters);
    return static_cast<double>(object.size) * object.sweeps;
}

// What measurement `index` will take: its latest time, or its bytes at the
// rate of the nearest measured one of its kind; -1 when none has a time.
double estimate_of(const RunParameters& parameters, const int64_t latest_us[MEASUREMENT_COUNT], int index)
{
    if (latest_us[index] >= 0)
        return static_cast<double>(latest_us[index]);
    const Measurement& m = MEASUREMENTS[index];
    int nearest = -1;
    for (int j = 0; j < MEASUREMENT_COUNT; ++j)
        if (j != index && MEASUREMENTS[j].kind == m.kind && latest_us[j] > 0 &&
            (nearest < 0 || abs(j - index) < abs(nearest - index)))
            nearest = j;
    if (nearest < 0)
        return -1;
    const double nearest_bytes = bytes_of(MEASUREMENTS[nearest], parameters);
    if (nearest_bytes <= 0)
        return static_cast<double>(latest_us[nearest]);
    return bytes_of(m, parameters) * static_cast<double>(latest_us[nearest]) / nearest_bytes;
}

// Microseconds of a sum that may pass what 64 bits hold (2147483647 trials).
int64_t clamped_us(double us)
{
    constexpr double LONGEST = 4e18;
    return us >= LONGEST ? static_cast<int64_t>(LONGEST) : static_cast<int64_t>(us);
}

// "Trial 1 of 3 done after 4 min 10 s; about 8 min 20 s left." and the run's
// first estimate, for the operator at a terminal: a default run takes
// minutes to hours. The report on standard output is left as it is.
void print_time_left(int64_t done, int32_t trials, const TimeReading& start)
{
    if (!progress_on_terminal())
        return;
    const int64_t taken = elapsed_ms(time_reading(), start) / 1000;
    const int64_t left = taken * (trials - done) / done;
    fprintf(stderr, "Trial %" PRId64 " of %" PRId32 " done after %s", done, trials, duration_text(taken).c_str());
    if (done < trials)
        fprintf(stderr, "; about %s left", duration_text(left).c_str());
    fputs(".\n", stderr);
}

void print_first_estimate(const RunParameters& parameters, const int64_t latest_us[MEASUREMENT_COUNT], int measured)
{
    if (!progress_on_terminal())
        return;
    const RunEstimate estimate = estimate_rest(parameters, latest_us, 1, measured);
    char text[96];
    TextBuffer line{text, text + sizeof text - 1};
    text_put(&line, "First estimate:");
    const char* const before = line.at;
    text_put_time_left(&line, " ", estimate.after_us < 0 ? -1 : (estimate.after_us + 500000) / 1000000,
                       estimate.lower_bound);
    if (line.at == before)
        return;
    *line.at = '\0';
    fprintf(stderr, "%s.\n", text);
}

// The scratch file that could not be removed ends the run, said so.
void exit_if_not_removed(int error, int32_t job)
{
    if (error == 0)
        return;
    fprintf(stderr, "Cannot remove %s/%s: %s\n", visible(working_directory()).c_str(), scratch_name(job),
            strerror(error));
    exit(1);
}

} // namespace

RunEstimate estimate_rest(const RunParameters& parameters, const int64_t latest_us[MEASUREMENT_COUNT], int64_t trial,
                          int index)
{
    RunEstimate estimate{-1, -1, false};
    double one_trial = 0;
    double rest_of_trial = 0;
    bool any = false;
    for (int j = 0; j < MEASUREMENT_COUNT; ++j) {
        if (!measurement_runs(MEASUREMENTS[j], parameters))
            continue;
        any = any || latest_us[j] >= 0;
        const double us = estimate_of(parameters, latest_us, j);
        if (us < 0) {
            if (j != index)
                estimate.lower_bound = true;
            continue;
        }
        one_trial += us;
        if (j > index)
            rest_of_trial += us;
        else if (j == index)
            estimate.current_us = clamped_us(us);
    }
    if (!any)
        return RunEstimate{-1, -1, false};
    const double trials_after = trial < parameters.trials ? static_cast<double>(parameters.trials - trial) : 0;
    estimate.after_us = clamped_us(rest_of_trial + trials_after * one_trial);
    return estimate;
}

bool measurement_runs(const Measurement& m, const RunParameters& parameters)
{
    return (measurement_phase(m) & parameters.phases) != 0;
}

void run_trials(const RunParameters& parameters, bool keep_finished, std::vector<TrialTimes>* times)
{
    // The process's first transfers, untimed, so that trial 1 does not pay
    // for them.
    if ((parameters.phases & PHASE_DISK) != 0)
        exit_if_not_removed(warm_up_transfers(parameters.file_size), 0);
    if (interrupt_signal() != 0)
        return;
    const TimeReading start = time_reading();
    int64_t latest_us[MEASUREMENT_COUNT];
    for (int64_t& us : latest_us)
        us = -1;
    int32_t count = 0;
    for (const Measurement& m : MEASUREMENTS)
        count += measurement_runs(m, parameters) ? 1 : 0;
    // 64 bits, so that the last of 2147483647 trials does not wrap the count.
    for (int64_t t = 1; t <= parameters.trials; ++t) {
        TrialTimes trial{};
        status_trial(t, parameters.trials);
        puts(TRIAL_RULE);
        printf("Trial %" PRId64 "...\n", t);
        puts(TRIAL_RULE);
        int32_t place = 0;
        for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
            const Measurement& m = MEASUREMENTS[index];
            if (!measurement_runs(m, parameters))
                continue;
            if (m.group_header != nullptr)
                puts(m.group_header);
            const RunEstimate estimate = estimate_rest(parameters, latest_us, t, index);
            status_estimate(estimate.current_us, estimate.after_us, estimate.lower_bound);
            const MeasuredObject object = measured_object(m, parameters);
            const bool disk = m.pass != DiskPassKind::None;
            status_width(disk ? parameters.jobs : parameters.cores, disk ? "jobs" : "cores");
            status_begin(m.id, ++place, count, disk ? "blocks" : "sweeps",
                         disk ? object.size / object.block : static_cast<uint64_t>(object.sweeps));
            const Measured measured = run_measurement(m, parameters);
            status_end();
            if (interrupt_signal() != 0)
                return;
            trial.ms[index] = measured.ms;
            trial.us[index] = measured.us;
            trial.witness[index] = measured.witness;
            trial.sweeps_timed[index] = measured.sweeps_timed;
            for (int32_t i = 0; i < measured.sweeps_timed; ++i)
                trial.sweep_us[index][i] = measured.sweep_us[i];
            trial.worker_us[index] = measured.worker_us;
            latest_us[index] = measured.us;
            if (t == 1 && place == 1 && place < count)
                print_first_estimate(parameters, latest_us, index);
        }
        // A file of twice the memory must never stay behind unnoticed.
        int32_t failed = 0;
        const int removed = scratch_remove(&failed);
        exit_if_not_removed(removed, failed);
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

std::vector<std::string> first_trial_warnings(const RunParameters& parameters, const std::vector<TrialTimes>& times)
{
    std::vector<std::string> warnings;
    if (times.size() < 3)
        return warnings;
    for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
        const Measurement& m = MEASUREMENTS[index];
        if (!measurement_runs(m, parameters))
            continue;
        double sum = 0;
        for (size_t t = 1; t < times.size(); ++t)
            sum += static_cast<double>(times[t].us[index]);
        const double later = static_cast<double>(times.size() - 1);
        const double mean = sum / later;
        double squares = 0;
        for (size_t t = 1; t < times.size(); ++t)
            squares += (static_cast<double>(times[t].us[index]) - mean) * (static_cast<double>(times[t].us[index]) - mean);
        const double deviation = std::sqrt(squares / (later - 1));
        const double first = static_cast<double>(times[0].us[index]);
        if (first > mean + 2 * deviation && first > 1.1 * mean) {
            char text[256];
            snprintf(text, sizeof text,
                     "Warning: trial 1 of %s took %.1f ms, the later trials %.1f ms on average: the first trial paid "
                     "for something the later ones did not (caches filling); compare runs by their later trials.",
                     m.id, first / 1000.0, mean / 1000.0);
            warnings.push_back(text);
        }
    }
    return warnings;
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

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/trials.h"
#include "measure/result.h"
#include "run/measurements.h"
#include "support.h"

namespace {

// The run's time left: a measurement takes what it took last, or its bytes at
// the rate of the nearest measured one of its kind; what has no rate of its
// kind yet makes the rest a lower bound.
TEST(Estimate, FromTheTimesAndRatesMeasuredSoFar)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.file_size = uint64_t{1} << 30;
    parameters.trials = 3;
    constexpr int64_t S = 1000000;
    struct Row {
        const char* name;
        std::vector<int64_t> latest_us;  // by measurement index, -1: not yet
        int64_t trial;
        int index;
        RunEstimate expected;
    };
    const std::vector<int64_t> none(MEASUREMENT_COUNT, -1);
    std::vector<int64_t> small_1 = none;
    small_1[0] = 2 * S;
    std::vector<int64_t> through_write = small_1;
    for (int i = 1; i < 4; ++i)
        through_write[i] = 1 * S;
    for (int i = 4; i < 8; ++i)
        through_write[i] = 3 * S;
    through_write[8] = 4 * S;
    std::vector<int64_t> all = through_write;
    all[9] = 2 * S;
    all[10] = 4 * S;
    all[11] = 1 * S;
    const Row rows[] = {
        {"nothing measured", none, 1, 0, {-1, -1, false}},
        // small-2..8 at small-1's rate; the large array and disk unknown.
        {"after small-1", small_1, 1, 1, {2 * S, 2 * 2 * S + 2 * 4 * 2 * S, true}},
        // read, rewrite and seek move the write's bytes at its rate.
        {"after the write", through_write, 1, 9, {4 * S, 2 * 4 * S + 2 * 33 * S, false}},
        {"last of the first trial", all, 1, 11, {1 * S, 2 * 28 * S, false}},
        {"first of the last trial", all, 3, 0, {2 * S, 26 * S, false}},
        {"last of the last trial", all, 3, 11, {1 * S, 0, false}},
    };
    for (const Row& row : rows) {
        const RunEstimate estimate = estimate_rest(parameters, row.latest_us.data(), row.trial, row.index);
        EXPECT_EQ(estimate.current_us, row.expected.current_us) << row.name;
        EXPECT_EQ(estimate.after_us, row.expected.after_us) << row.name;
        EXPECT_EQ(estimate.lower_bound, row.expected.lower_bound) << row.name;
    }
    // A disk-only run knows nothing of the arrays, and needs to.
    parameters.phases = PHASE_DISK;
    const RunEstimate disk = estimate_rest(parameters, through_write.data(), 1, 9);
    EXPECT_EQ(disk.after_us, 2 * 4 * S + 2 * 16 * S);
    EXPECT_FALSE(disk.lower_bound);
    // Two billion trials of hours each do not wrap.
    parameters.trials = 2147483647;
    EXPECT_GT(estimate_rest(parameters, all.data(), 1, 0).after_us, 0);
}

// A first trial that stands out from the later ones is warned of, as
// hyperfine warns of a slow first run; two trials cannot tell.
TEST(FirstTrial, SlowFirstTrialIsWarnedOf)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.file_size = uint64_t{1} << 30;
    const std::vector<int64_t> steady(MEASUREMENT_COUNT, 100);
    std::vector<int64_t> slow_read = steady;
    slow_read[9] = 250;  // read
    std::vector<int64_t> near = steady;
    near[9] = 108;       // within a tenth
    std::vector<int64_t> later_a = steady;
    std::vector<int64_t> later_b = steady;
    later_b[9] = 104;
    const std::vector<std::string> warned = first_trial_warnings(parameters, times_of({slow_read, later_a, later_b}));
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0], "Warning: trial 1 of read took 250.0 ms, the later trials 102.0 ms on average: the first "
                         "trial paid for something the later ones did not (caches filling); compare runs by their "
                         "later trials.");
    EXPECT_TRUE(first_trial_warnings(parameters, times_of({near, later_a, later_b})).empty());
    EXPECT_TRUE(first_trial_warnings(parameters, times_of({slow_read, later_a})).empty());
    parameters.phases = PHASE_MEMORY;
    EXPECT_TRUE(first_trial_warnings(parameters, times_of({slow_read, later_a, later_b})).empty());
}

TEST(Averages, AreTruncatedMeansRatedByTheAverageTime)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.file_size = uint64_t{1} << 30;
    parameters.trials = 3;
    // 10, 10 and 11 ms average to 10 ms.
    const std::vector<TrialTimes> times = times_of({
        {10, 1000, 1000, 1000, 0, 1, 0, 99, 1000, 500, 1000, 1},
        {10, 1000, 1000, 1001, 1, 2, 4, 100, 1000, 500, 1000, 1},
        {11, 1000, 1001, 1001, 1, 2, 4, 100, 1000, 500, 999, 2},
    });

    testing::internal::CaptureStdout();
    print_averages(parameters, times);
    const std::string output = testing::internal::GetCapturedStdout();

    const uint64_t large = uint64_t{2} << 30;
    const std::string expected =
        "Averages of 3 trials:\n" + result_line(10, "array", 262144, 65536, 1) +
        result_line(1000, "array", 262144, 65536, 2) + result_line(1000, "array", 262144, 65536, 4) +
        result_line(1000, "array", 262144, 65536, 8) + result_line(0, "array", large, 8, 1) +
        result_line(1, "array", large, 8, 2) + result_line(2, "array", large, 8, 4) +
        result_line(99, "array", large, 8, 8) + result_line(1000, "write", uint64_t{1} << 30, 1, BLOCK_SIZE) +
        result_line(500, "read", uint64_t{1} << 30, 1, BLOCK_SIZE) +
        result_line(999, "rewrite", uint64_t{1} << 30, 1, BLOCK_SIZE) +
        result_line(1, "seek", uint64_t{1} << 30, 1, BLOCK_SIZE);
    EXPECT_EQ(output, expected);
    EXPECT_NE(output.find("    2.00 GiB array         1.00 B blocks         0.00 ms          inf MiB/s\n"),
              std::string::npos);
    EXPECT_EQ(total_ms(times, 0), 31u);
}

TEST(Averages, OneTrialRepeatsTheTrialsLines)
{
    RunParameters parameters = parameters_for_memory(uint64_t{2} << 30);
    parameters.trials = 1;
    const std::vector<TrialTimes> times = times_of({{2614, 1259, 646, 321, 8417, 2011, 1571, 2099, 210, 90, 90, 68}});
    testing::internal::CaptureStdout();
    print_averages(parameters, times);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find(result_line(2614, "array", 262144, 65536, 1)), std::string::npos);
    EXPECT_NE(output.find("    1.50 GiB array         8.00 B blocks      2099.00 ms "), std::string::npos);
    EXPECT_NE(output.find("    4.00 GiB rewrite     4.00 MiB blocks        90.00 ms "), std::string::npos);
}

TEST(Averages, OnlyThePhasesThatRan)
{
    RunParameters parameters = parameters_for_memory(uint64_t{2} << 30);
    parameters.trials = 1;
    const std::vector<TrialTimes> times = times_of({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}});
    for (unsigned phases : {PHASE_MEMORY, PHASE_DISK}) {
        parameters.phases = phases;
        testing::internal::CaptureStdout();
        print_averages(parameters, times);
        const std::vector<std::string> lines = split_lines(testing::internal::GetCapturedStdout());
        ASSERT_EQ(lines.size(), phases == PHASE_MEMORY ? 9u : 5u);
        EXPECT_NE(lines[1].find(phases == PHASE_MEMORY ? " array " : " write "), std::string::npos) << lines[1];
    }
}

TEST(Measurements, TableFollowsTheTrialOrder)
{
    const RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    const char* const ids[] = {"small-1", "small-2", "small-4", "small-8", "large-1", "large-2",
                               "large-4", "large-8", "write",   "read",    "rewrite", "seek"};
    std::set<std::string> seen;
    for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
        const Measurement& m = MEASUREMENTS[index];
        const MeasuredObject object = measured_object(m, parameters);
        EXPECT_STREQ(m.id, ids[index]);
        EXPECT_EQ(measurement_index(m.id), index);
        EXPECT_TRUE(seen.insert(m.id).second) << "ids are unique";
        if (index < 8) {
            EXPECT_STREQ(m.label, "array");
            EXPECT_EQ(measurement_phase(m), PHASE_MEMORY);
            EXPECT_EQ(object.block, uint64_t{1} << (index % 4));
            EXPECT_EQ(object.size, index < 4 ? SMALL_ARRAY_SIZE : parameters.large_array_size);
            EXPECT_EQ(object.sweeps, index < 4 ? SMALL_ARRAY_PASSES : LARGE_ARRAY_PASSES);
        } else {
            EXPECT_STREQ(m.label, ids[index]);
            EXPECT_EQ(measurement_phase(m), PHASE_DISK);
            EXPECT_EQ(object.size, parameters.file_size);
            EXPECT_EQ(object.block, BLOCK_SIZE);
            EXPECT_EQ(object.sweeps, 1);
        }
        // Each group's header stands before its first member only.
        EXPECT_EQ(m.group_header != nullptr, index == 0 || index == 4) << m.id;
    }
    EXPECT_EQ(measurement_index("small-16"), -1);
}

} // namespace

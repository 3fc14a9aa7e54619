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

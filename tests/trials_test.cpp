#include <string>

#include <gtest/gtest.h>

#include "disktest/scratch.h"
#include "driver/trials.h"
#include "measure/result.h"
#include "support.h"

namespace {

TEST(Averages, AreTruncatedMeansRatedByTheAverageTime)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.file_size = uint64_t{1} << 30;
    parameters.trials = 3;
    // 10, 10 and 11 ms average to 10 ms.
    const TrialTotals totals{{31, 3000, 3001, 3002}, {2, 5, 8, 299}, 3000, 1500, 2999, 4};

    testing::internal::CaptureStdout();
    print_averages(parameters, totals);
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
}

TEST(Averages, OneTrialRepeatsTheTrialsLines)
{
    RunParameters parameters = parameters_for_memory(uint64_t{2} << 30);
    parameters.trials = 1;
    const TrialTotals totals{{2614, 1259, 646, 321}, {8417, 2011, 1571, 2099}, 210, 90, 90, 68};
    testing::internal::CaptureStdout();
    print_averages(parameters, totals);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find(result_line(2614, "array", 262144, 65536, 1)), std::string::npos);
    EXPECT_NE(output.find("    1.50 GiB array         8.00 B blocks      2099.00 ms "), std::string::npos);
    EXPECT_NE(output.find("    4.00 GiB rewrite     4.00 MiB blocks        90.00 ms "), std::string::npos);
}

TEST(Measurements, TableFollowsTheTrialOrder)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    const char* const ids[] = {"small-1", "small-2", "small-4", "small-8", "large-1", "large-2",
                               "large-4", "large-8", "write",   "read",    "rewrite", "seek"};
    const TrialTotals totals{{1, 2, 3, 4}, {5, 6, 7, 8}, 9, 10, 11, 12};
    for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
        const Measurement m = measurement(index, parameters);
        EXPECT_STREQ(m.id, ids[index]);
        EXPECT_EQ(measurement_total(totals, index), static_cast<uint64_t>(index + 1));
        if (index < 8) {
            EXPECT_STREQ(m.label, "array");
            EXPECT_EQ(m.block, uint64_t{1} << (index % 4));
            EXPECT_EQ(m.size, index < 4 ? SMALL_ARRAY_SIZE : parameters.large_array_size);
        } else {
            EXPECT_EQ(m.size, parameters.file_size);
            EXPECT_EQ(m.block, BLOCK_SIZE);
            EXPECT_EQ(m.sweeps, 1);
        }
    }
}

} // namespace

#include <cmath>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "measure/result.h"
#include "measure/statistics.h"
#include "measure/timing.h"
#include "support.h"

namespace {

TEST(FormatSize, UnitChangesOnlyAtTheThreshold)
{
    struct Row {
        uint64_t bytes;
        const char* text;
    };
    const Row rows[] = {
        {0, "0.00 B"},
        {1, "1.00 B"},
        {1023, "1023.00 B"},
        {1024, "1.00 KiB"},
        {262144, "256.00 KiB"},
        {1048575, "1024.00 KiB"},
        {1048576, "1.00 MiB"},
        {4194304, "4.00 MiB"},
        {1073741823, "1024.00 MiB"},
        {1073741824, "1.00 GiB"},
        {2147483648, "2.00 GiB"},
        {UINT64_MAX, "17179869184.00 GiB"},
    };
    for (const Row& row : rows) {
        char buffer[SIZE_LABEL_LEN];
        EXPECT_STREQ(format_size(row.bytes, buffer), row.text) << row.bytes;
    }
}

TEST(ResultLine, ExamplesComeOutByteForByte)
{
    EXPECT_EQ(result_line(6000, "array", 262144, 65536, 1),
              "  256.00 KiB array         1.00 B blocks      6000.00 ms      2730.67 MiB/s\n");
    EXPECT_EQ(result_line(81920, "write", uint64_t{32} << 30, 1, 4194304),
              "   32.00 GiB write       4.00 MiB blocks     81920.00 ms       400.00 MiB/s\n");
}

TEST(ResultLine, ZeroTimeGivesInfOrPlainNan)
{
    EXPECT_EQ(result_line(0, "read", 4194304, 1, 4194304),
              "    4.00 MiB read        4.00 MiB blocks         0.00 ms          inf MiB/s\n");
    EXPECT_EQ(result_line(0, "array", 262144, 0, 1),
              "  256.00 KiB array         1.00 B blocks         0.00 ms          nan MiB/s\n");
    EXPECT_EQ(result_line(5, "array", 262144, 0, 1),
              "  256.00 KiB array         1.00 B blocks         5.00 ms         0.00 MiB/s\n");
}

TEST(ResultLine, LongLabelWidensTheLine)
{
    EXPECT_EQ(result_line(1000, "rewrite!", 1048576, 1, 4194304),
              "    1.00 MiB rewrite!     4.00 MiB blocks      1000.00 ms         1.00 MiB/s\n");
}

TEST(ResultLine, PrintResultWritesTheSameLine)
{
    testing::internal::CaptureStdout();
    print_result(6000, "array", 262144, 65536, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), result_line(6000, "array", 262144, 65536, 1));
}

TEST(Timing, ElapsedTruncatesTowardZero)
{
    struct Row {
        TimeReading later, earlier;
        int64_t us, ms;
    };
    const Row rows[] = {
        {{10, 999}, {10, 0}, 999, 0},
        {{10, 0}, {10, 999}, -999, 0},
        {{11, 0}, {10, 999000}, 1000, 1},
        {{12, 500}, {10, 700}, 1999800, 1999},
        {{10, 0}, {11, 500}, -1000500, -1000},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(elapsed_us(row.later, row.earlier), row.us);
        EXPECT_EQ(elapsed_ms(row.later, row.earlier), row.ms);
    }
}

TEST(Timing, ReadingsNeverGoBack)
{
    TimeReading previous = time_reading();
    for (int i = 0; i < 1000; ++i) {
        const TimeReading now = time_reading();
        ASSERT_GE(elapsed_us(now, previous), 0);
        ASSERT_GE(now.microseconds, 0);
        ASSERT_LT(now.microseconds, 1000000);
        previous = now;
    }
}

TEST(RateStatistics, KnownInputs)
{
    const double nan = std::nan("");
    struct Row {
        std::vector<double> rates;
        double min, median, max, stddev;
    };
    const Row rows[] = {
        {{5.0}, 5.0, 5.0, 5.0, nan},
        {{4.0, 2.0}, 2.0, 3.0, 4.0, std::sqrt(2.0)},
        {{2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}, 2.0, 4.5, 9.0, std::sqrt(32.0 / 7.0)},
        {{3.0, 1.0, 2.0}, 1.0, 2.0, 3.0, 1.0},
        {{}, nan, nan, nan, nan},
    };
    for (const Row& row : rows) {
        const RateStatistics s = rate_statistics(row.rates.data(), row.rates.size());
        const double expected[] = {row.min, row.median, row.max, row.stddev};
        const double actual[] = {s.min, s.median, s.max, s.stddev};
        for (int i = 0; i < 4; ++i) {
            if (std::isnan(expected[i]))
                EXPECT_TRUE(std::isnan(actual[i])) << row.rates.size() << " rates, figure " << i;
            else
                EXPECT_DOUBLE_EQ(actual[i], expected[i]) << row.rates.size() << " rates, figure " << i;
        }
    }
}

} // namespace

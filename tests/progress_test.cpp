#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "measure/progress.h"
#include "measure/status.h"
#include "measure/timing.h"

namespace {

// Runs a pass's ticks and returns the block indices that drew a mark.
std::vector<uint64_t> marks_of_pass(uint64_t blocks, std::string* drawn)
{
    std::vector<uint64_t> marks;
    testing::internal::CaptureStdout();
    for (uint64_t i = 0; i < blocks; ++i) {
        const int32_t before = progress_count;
        progress_tick(i, blocks, PROGRESS_MARKS);
        if (progress_count > before || (i == 0 && progress_count == 1))
            marks.push_back(i);
    }
    *drawn = testing::internal::GetCapturedStdout();
    return marks;
}

TEST(ProgressBar, MarksAsTheBlocksGoBy)
{
    struct Row {
        uint64_t blocks;
        size_t marks;
        uint64_t second_mark;
        uint64_t last_mark;
    };
    const Row rows[] = {
        {4096, 64, 64, 4032},  // 16 GiB: a multiple of 64 blocks
        {6000, 64, 93, 5859},  // the bar is full before the pass ends
        {64, 64, 1, 63},
        {10, 10, 1, 9},        // fewer blocks than cells: every block marks
        {1, 1, 0, 0},
    };
    for (const Row& row : rows) {
        std::string drawn;
        const std::vector<uint64_t> marks = marks_of_pass(row.blocks, &drawn);
        EXPECT_EQ(drawn, std::string(row.marks, '*')) << row.blocks;
        ASSERT_EQ(marks.size(), row.marks) << row.blocks;
        if (row.marks > 1) {
            EXPECT_EQ(marks[1], row.second_mark) << row.blocks;
        }
        EXPECT_EQ(marks.back(), row.last_mark) << row.blocks;
    }
    std::string drawn;
    EXPECT_TRUE(marks_of_pass(0, &drawn).empty());
    EXPECT_EQ(drawn, "");
}

TEST(ProgressBar, EachPassStartsAfresh)
{
    std::string drawn;
    marks_of_pass(6000, &drawn);
    EXPECT_EQ(marks_of_pass(128, &drawn).size(), 64u);
    EXPECT_EQ(drawn, std::string(64, '*'));
}

TEST(ProgressBar, Frames)
{
    struct Row {
        int32_t cells;
        std::string frame;
    };
    const Row rows[] = {
        {64, "[" + std::string(64, ' ') + "]" + std::string(65, '\b')},
        {3, "[   ]\b\b\b\b"},
        {0, "[]\b"},
        {-1, "[]"},
    };
    for (const Row& row : rows) {
        testing::internal::CaptureStdout();
        progress_begin(row.cells);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.frame) << row.cells;
    }
}

// The status line answers "how far is it?" at every point of a run, and a
// buffer too small for it gets a cut line that still ends the line.
TEST(StatusLine, SaysWhereTheRunIs)
{
    const auto line = [](int64_t later_us) {
        char buffer[160];
        const TimeReading now = time_reading();
        const size_t length = status_line(buffer, sizeof buffer, now.seconds * 1000000 + now.microseconds + later_us);
        return std::string(buffer, length);
    };
    EXPECT_EQ(line(0), "ovrel-bench: not measuring yet\n");
    status_trial(2, 3);
    EXPECT_EQ(line(0), "ovrel-bench: trial 2 of 3, between measurements\n");
    status_begin("small-4", 0);
    EXPECT_TRUE(std::regex_match(line(5000), std::regex("ovrel-bench: trial 2 of 3, small-4: 0\\.00[56] s\n")))
        << line(5000);
    status_end();
    status_begin("write", 12288);
    status_blocks_done(812);
    EXPECT_TRUE(std::regex_match(line(3412000),
                                 std::regex("ovrel-bench: trial 2 of 3, write: 3\\.41[23] s, 812 of 12288 blocks\n")))
        << line(3412000);

    char small[10];
    ASSERT_EQ(status_line(small, sizeof small, 0), sizeof small);
    EXPECT_EQ(std::string(small, sizeof small), "ovrel-ben\n");
    status_end();
}

} // namespace

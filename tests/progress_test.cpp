#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "measure/progress.h"

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

} // namespace

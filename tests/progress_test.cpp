#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "measure/progress.h"
#include "measure/status.h"

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

// The status line answers "how far is it?" at every point of a run: where
// the run is, the measurement's place in its trial, its units and the time
// the run has left; a buffer too small for it gets a cut line that still
// ends the line.
TEST(StatusLine, SaysWhereTheRunIsAndWhatIsLeft)
{
    constexpr int64_t START = 1000000;
    const auto line = [](int64_t now_us) {
        char buffer[160];
        return std::string(buffer, status_line(buffer, sizeof buffer, now_us));
    };
    status_estimate(-1, -1, false);
    EXPECT_EQ(line(0), "ovrel-bench: not measuring yet\n");
    status_trial(2, 3);
    EXPECT_EQ(line(0), "ovrel-bench: trial 2 of 3, between measurements\n");
    status_begin_at("small-4", 3, 12, "sweeps", 65536, START);
    status_units_done(1024);
    EXPECT_EQ(line(START + 5000), "ovrel-bench: trial 2 of 3, small-4, measurement 3 of 12: 0.005 s, 1024 of 65536 sweeps\n");
    status_end();
    // 20 s for this one, 7 min after it: 3.4 s into it, 7 min 17 s are left;
    // past its estimate, only what comes after.
    status_estimate(20000000, 420000000, false);
    status_begin_at("write", 9, 12, "blocks", 12288, START);
    status_units_done(812);
    EXPECT_EQ(line(START + 3412999),
              "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 3.412 s, 812 of 12288 blocks; about 7 min 17 s left\n");
    EXPECT_EQ(line(START + 25000000),
              "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 25.000 s, 812 of 12288 blocks; about 7 min 0 s left\n");
    // A clock reading before the start (it cannot go back, but the line
    // must not print garbage if it did) shows 0.
    EXPECT_EQ(line(START - 1),
              "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 0.000 s, 812 of 12288 blocks; about 7 min 20 s left\n");
    // Some measurement to come has no rate yet: a lower bound; so is the
    // rest when the current one has no estimate.
    status_estimate(20000000, 3 * 3600000000LL, true);
    EXPECT_EQ(line(START), "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 0.000 s, 812 of 12288 blocks; "
                           "more than 3 h 00 min left\n");
    status_estimate(-1, 50000000, false);
    EXPECT_EQ(line(START), "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 0.000 s, 812 of 12288 blocks; "
                           "more than 50 s left\n");
    // "More than 0 s" is no estimate.
    status_estimate(-1, 0, true);
    EXPECT_EQ(line(START), "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 0.000 s, 812 of 12288 blocks\n");
    // A pass of several jobs says how many.
    status_width(8, "jobs");
    EXPECT_EQ(line(START), "ovrel-bench: trial 2 of 3, write, measurement 9 of 12: 0.000 s, 812 of 12288 blocks, "
                           "8 jobs\n");
    status_width(1, "jobs");
    status_estimate(-1, 50000000, false);
    status_end();
    EXPECT_EQ(line(START), "ovrel-bench: trial 2 of 3, between measurements; about 50 s left\n");

    char small[10];
    ASSERT_EQ(status_line(small, sizeof small, 0), sizeof small);
    EXPECT_EQ(std::string(small, sizeof small), "ovrel-ben\n");
    status_estimate(-1, -1, false);
    status_trial(0, 0);
}

} // namespace

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <numeric>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "measure/interrupt.h"
#include "measure/status.h"
#include "memtest/array_fill.h"
#include "memtest/sweep.h"
#include "measure/workers.h"
#include "platform/platform.h"
#include "support.h"

namespace {

// Each word holds its own address cut to the word's width; a tail shorter
// than a word and the guard bytes after the array stay untouched.
template <typename Word>
void expect_address_words(const unsigned char* array, uint64_t size)
{
    const uint64_t whole = size / sizeof(Word) * sizeof(Word);
    for (uint64_t offset = 0; offset < whole; offset += sizeof(Word)) {
        Word stored;
        memcpy(&stored, array + offset, sizeof(Word));
        ASSERT_EQ(stored, static_cast<Word>(reinterpret_cast<uintptr_t>(array + offset)))
            << sizeof(Word) << "-byte word at offset " << offset;
    }
    for (uint64_t offset = whole; offset < size + 16; ++offset)
        ASSERT_EQ(array[offset], 0xA5) << "byte " << offset << " past the last whole word";
}

TEST(Sweep, EveryWordHoldsItsAddress)
{
    const uint64_t sizes[] = {8, 64, 72, 4096, 4099, 262144 + 5};
    for (uint64_t size : sizes) {
        for (int32_t wsize : {1, 2, 4, 8}) {
            unsigned char* array = static_cast<unsigned char*>(aligned_alloc(64, 262144 + 64));
            memset(array, 0xA5, 262144 + 64);
            ASSERT_TRUE(sweep_array(array, size, 2, wsize));
            switch (wsize) {
            case 1: expect_address_words<uint8_t>(array, size); break;
            case 2: expect_address_words<uint16_t>(array, size); break;
            case 4: expect_address_words<uint32_t>(array, size); break;
            default: expect_address_words<uint64_t>(array, size); break;
            }
            free(array);
        }
    }
}

TEST(Sweep, TwoByteWordAtOffsetSix)
{
    alignas(8) unsigned char array[16] = {};
    ASSERT_TRUE(sweep_array(array, sizeof array, 1, 2));
    uint16_t word;
    memcpy(&word, array + 6, 2);
    EXPECT_EQ(word, static_cast<uint16_t>(reinterpret_cast<uintptr_t>(array) + 6));
}

TEST(Sweep, NothingIsStoredWithoutSweepsOrWords)
{
    unsigned char array[16];
    memset(array, 0xA5, sizeof array);
    EXPECT_TRUE(sweep_array(array, sizeof array, 0, 8));
    EXPECT_TRUE(sweep_array(array, 7, 3, 8));
    EXPECT_TRUE(sweep_array(array, UINT64_MAX, 3, 8));  // reads as negative: no array
    EXPECT_FALSE(sweep_array(array, sizeof array, 1, 3));
    for (unsigned char byte : array)
        EXPECT_EQ(byte, 0xA5);
}

TEST(ArrayTest, HeaderResultAndBlankLine)
{
    testing::internal::CaptureStdout();
    const int64_t ms = array_test(262144, 64, 1);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_GE(ms, 0);
    EXPECT_TRUE(std::regex_match(output,
                                 std::regex("Filling a 256.00 KiB array 64 times 1 bytes at a time\\.\\.\\.\n"
                                            "  256.00 KiB array         1.00 B blocks +[0-9]+\\.00 ms +"
                                            "([0-9]+\\.[0-9]{2}|inf) MiB/s\n"
                                            // A busy machine may add the witness's note.
                                            "(  note: [^\n]+\n)?\n")))
        << output;
}

TEST(ArrayTest, NoSweepsPrintsZeroCount)
{
    testing::internal::CaptureStdout();
    array_test(4096, 0, 8);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("Filling a 4.00 KiB array 0 times 8 bytes at a time...\n", 0), 0u) << output;
    EXPECT_NE(output.find(" nan MiB/s\n"), std::string::npos) << output;
}

TEST(ArrayTest, FatalErrors)
{
    EXPECT_EXIT(array_test(4096, 1, 3), testing::ExitedWithCode(1), "^Invalid wsize: 3\n$");
    // Under AddressSanitizer its allocator's warning comes first.
    EXPECT_EXIT(array_test(UINT64_MAX / 2, 1, 8), testing::ExitedWithCode(1),
                "Could not allocate 9223372036854775807 bytes\\.\n$");
}

TEST(ArrayTest, InvalidWordSizeStillPrintsTheHeader)
{
    // The header goes to standard output before the check; the child's
    // ordinary exit must still write it out.
    const ChildRun run = run_in_child([] { array_test(4096, 1, 3); });
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1);
    EXPECT_EQ(run.out, "Filling a 4.00 KiB array 1 times 3 bytes at a time...\n");
}

// An interrupt stops the sweeps at the end of the step under way, not of the
// whole measurement, and an unfinished measurement prints no result.
TEST(ArrayTest, InterruptStopsAtTheEndOfTheStep)
{
    struct Row {
        uint64_t size;
        int32_t sweeps;
        int32_t cores;     // workers pinned to the first CPUs; 0: the unpinned sweep
        const char* done;  // what the status answer says was done
    };
    const Row rows[] = {
        {uint64_t{64} << 20, 8, 0, "1 of 8 sweeps"},          // the large array: a sweep a step
        {262144, 65536, 0, "1024 of 65536 sweeps"},            // the small array: a 64th a step
        // Workers in step stop together after the sweep under way.
        {uint64_t{64} << 20, 8, 2, "1 of 8 sweeps"},
        {2 * 262144, 65536, 2, "1024 of 65536 sweeps"},
    };
    int32_t cpus[CPUS_MAX];
    const int32_t usable = platform_usable_cpus(cpus, CPUS_MAX);
    for (const Row& row : rows) {
        if (row.cores > usable)
            continue;
        const ChildRun run = run_in_child([&] {
            status_trial(1, 1);
            status_begin("large-8", 8, 12, "sweeps", static_cast<uint64_t>(row.sweeps));
            interrupt_record(SIGINT);
            array_fill(row.size, row.sweeps, 8, row.cores > 0 ? row.cores : 1, row.cores > 0 ? cpus : nullptr);
            char line[160];
            fwrite(line, 1, status_line(line, sizeof line, status_clock_us()), stdout);
            fflush(stdout);
            _exit(0);
        });
        ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
        EXPECT_NE(run.out.find(std::string(", ") + row.done), std::string::npos) << row.cores << run.out;
        EXPECT_EQ(run.out.find(" MiB/s"), std::string::npos) << row.cores << run.out;
    }
}

// The large array's sweeps are timed one by one, within the interval; a
// first sweep that took most of the time is noted with the later sweeps' rate.
TEST(ArrayTest, FirstSweepTimedAndNoted)
{
    testing::internal::CaptureStdout();
    const Measured fill = array_fill(uint64_t{64} << 20, 8, 8);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(fill.sweeps_timed, 8);
    int64_t sum = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_GE(fill.sweep_us[i], 0) << i;
        sum += fill.sweep_us[i];
    }
    EXPECT_LE(sum, fill.us);
    testing::internal::CaptureStdout();
    EXPECT_EQ(array_fill(262144, 65536, 8).sweeps_timed, 0) << "the small array is swept in steps";
    testing::internal::GetCapturedStdout();

    struct Row {
        int64_t first_us;
        int64_t later_us;  // each of the seven later sweeps
        const char* note;
    };
    const Row rows[] = {
        {7800000, 300000, "the first sweep, bringing 2.00 GiB of fresh pages in, took 79% of the time; "
                          "the later sweeps stored at 6826.67 MiB/s"},
        {1000000, 1000000, ""},
        {4000000, 0, "the first sweep, bringing 2.00 GiB of fresh pages in, took 100% of the time"},
    };
    for (const Row& row : rows) {
        Measured m{};
        m.sweeps_timed = 8;
        m.sweep_us[0] = row.first_us;
        for (int i = 1; i < 8; ++i)
            m.sweep_us[i] = row.later_us;
        m.us = row.first_us + 7 * row.later_us;
        EXPECT_EQ(first_touch_note(m, uint64_t{2} << 30), row.note) << row.first_us;
    }
    Measured untimed{};
    untimed.us = 1000;
    EXPECT_EQ(first_touch_note(untimed, uint64_t{2} << 30), "");
}

// The CPUs of two workers, or none where this process may use only one.
bool two_cpus(int32_t cpus[CPUS_MAX])
{
    return platform_usable_cpus(cpus, CPUS_MAX) >= 2;
}

// Each worker runs on the CPU it was given, from its first step to its
// last, however often it gives the CPU up.
TEST(Workers, EachRunsOnItsOwnCpu)
{
    int32_t cpus[CPUS_MAX];
    if (!two_cpus(cpus))
        GTEST_SKIP() << "this process may use only one CPU";
    static int32_t seen[2][64];
    const WorkerTeam team{2, cpus,
                          [](int32_t worker, void*) {
                              for (int32_t& cpu : seen[worker]) {
                                  cpu = platform_current_cpu();
                                  sched_yield();
                              }
                          },
                          nullptr};
    Interval interval{};
    int32_t failed = -1;
    ASSERT_EQ(workers_run(team, &interval, &failed), 0);
    for (int worker = 0; worker < 2; ++worker)
        for (int32_t cpu : seen[worker])
            ASSERT_EQ(cpu, cpus[worker]) << "worker " << worker;
}

// A CPU the process may not use stops the start: no worker runs.
TEST(Workers, ACpuThatCannotBeUsedRunsNothing)
{
    int32_t cpus[CPUS_MAX];
    const int32_t usable = platform_usable_cpus(cpus, CPUS_MAX);
    ASSERT_GE(usable, 1);
    const int32_t team_cpus[] = {cpus[0], CPUS_MAX - 1 > cpus[usable - 1] ? CPUS_MAX - 1 : -1};
    static int ran = 0;
    const WorkerTeam team{2, team_cpus, [](int32_t, void*) { ++ran; }, nullptr};
    Interval interval{};
    int32_t failed = -1;
    EXPECT_NE(workers_run(team, &interval, &failed), 0);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(ran, 0);
}

// Two workers sweep their parts together: the measurement ends with the
// last of them, and its sweeps, in step, add up to no more than it.
TEST(ArrayTest, WorkersSweepTheirPartsTogether)
{
    int32_t cpus[CPUS_MAX];
    if (!two_cpus(cpus))
        GTEST_SKIP() << "this process may use only one CPU";
    testing::internal::CaptureStdout();
    const Measured measured = array_fill(uint64_t{4} << 20, 8, 8, 2, cpus);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.substr(0, output.find('\n')), "Filling a 4.00 MiB array 8 times 8 bytes at a time...");
    EXPECT_NE(output.find("    4.00 MiB array         8.00 B blocks "), std::string::npos) << output;
    ASSERT_EQ(measured.worker_us.size(), 2u);
    EXPECT_EQ(*std::max_element(measured.worker_us.begin(), measured.worker_us.end()), measured.us);
    EXPECT_EQ(measured.ms, measured.us / 1000);
    ASSERT_EQ(measured.sweeps_timed, 8);
    EXPECT_LE(std::accumulate(measured.sweep_us, measured.sweep_us + 8, int64_t{0}), measured.us);
}

} // namespace

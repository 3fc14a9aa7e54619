// The witness on real work: a competitor for the core, another writer on
// the disk, a read served by the page cache.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "disktest/scratch.h"
#include "memtest/array_fill.h"
#include "measure/witness.h"
#include "platform/platform.h"
#include "support.h"

// The build names the source tree; a compilation without it (a syntax check)
// reads the page from the working directory, and the test says if it is not there.
#ifndef OVREL_SOURCE_DIR
#define OVREL_SOURCE_DIR "."
#endif

namespace {

using Witnessed = TempDirTest;

// Watches the disk of the working directory; false where none can be.
bool watch_here()
{
    witness_watch(".");
    uint64_t read_bytes = 0;
    uint64_t written_bytes = 0;
    return platform_device_bytes(&read_bytes, &written_bytes);
}

// Nearest rank, against a computation of its own: the smallest time that at
// least p% of the blocks did not exceed.
TEST(BlockLatency, PercentilesByNearestRank)
{
    const auto nearest_rank = [](std::vector<int64_t> times, double p) {
        std::sort(times.begin(), times.end());
        for (size_t i = 0; i < times.size(); ++i)
            if (100.0 * static_cast<double>(i + 1) >= p * static_cast<double>(times.size()))
                return times[i];
        return times.back();
    };
    for (size_t count : {1u, 2u, 3u, 99u, 100u, 101u, 199u, 200u, 1000u, 4096u}) {
        std::vector<int64_t> times;
        for (size_t i = 0; i < count; ++i)
            times.push_back(static_cast<int64_t>((i * 7919) % count) + 1);  // 1..count, shuffled
        std::vector<int64_t> work = times;
        const BlockLatency latency = block_latency(work.data(), work.size());
        EXPECT_EQ(latency.p50_us, nearest_rank(times, 50)) << count;
        EXPECT_EQ(latency.p99_us, nearest_rank(times, 99)) << count;
        EXPECT_EQ(latency.max_us, static_cast<int64_t>(count)) << count;
    }
    std::vector<int64_t> hundred;
    for (int64_t i = 100; i >= 1; --i)
        hundred.push_back(i);
    const BlockLatency one_to_hundred = block_latency(hundred.data(), hundred.size());
    EXPECT_EQ(one_to_hundred.p50_us, 50);
    EXPECT_EQ(one_to_hundred.p99_us, 99);
    EXPECT_EQ(block_latency(nullptr, 0).max_us, 0);
}

// Each rule of the witness on a witness made for it: the reason it marks and
// the words of the note, and the near misses that mark nothing.
TEST(WitnessRules, EachReasonItsRuleAndWords)
{
    constexpr uint64_t GiB = uint64_t{1} << 30;
    constexpr uint64_t MiB = uint64_t{1} << 20;
    const int64_t cpus = std::max<long>(sysconf(_SC_NPROCESSORS_ONLN), 1);
    const int64_t tick = platform_steal_tick_us();
    struct Row {
        const char* name;
        WitnessKind kind;
        int64_t us;
        uint64_t bytes;
        std::function<void(Witness*)> make;
        unsigned disturbed;
        const char* words;
    };
    const Row rows[] = {
        {"an idle write", WitnessKind::Write, 1000000, GiB, [](Witness* w) { w->device_known = true; w->device_write_bytes = GiB; }, 0, ""},
        {"a sweep with 85% of the core", WitnessKind::Memory, 1000000, 0, [](Witness* w) { w->cpu_us = 850000; },
         DISTURBED_CPU_TAKEN, "the core ran 85% of the time"},
        {"a sweep with 95% of the core", WitnessKind::Memory, 1000000, 0, [](Witness* w) { w->cpu_us = 950000; }, 0, ""},
        {"switches forced beside a ready thread", WitnessKind::Write, 1000000, GiB,
         [](Witness* w) { w->others_runnable[0] = 2; w->involuntary_switches = 60; },
         DISTURBED_CPU_TAKEN, "2 other threads ready to run, 60 switches forced"},
        {"switches without a ready thread", WitnessKind::Write, 1000000, GiB,
         [](Witness* w) { w->involuntary_switches = 600; }, 0, ""},
        {"steal of two ticks in 100 ms", WitnessKind::Memory, 100000, 0,
         [&](Witness* w) { w->cpu_us = 100000; w->steal_known = true; w->steal_us = 2 * tick; }, 0, ""},
        {"steal of 10% of every core for a second", WitnessKind::Memory, 1000000, 0,
         [&](Witness* w) { w->cpu_us = 1000000; w->steal_known = true; w->steal_us = cpus * 100000; },
         tick > 0 && cpus * 100000 >= STEAL_TICKS_MIN * tick ? DISTURBED_STEAL : 0u, "10% taken by the hypervisor"},
        {"64 MiB written beside a write of 1 GiB", WitnessKind::Write, 1000000, GiB,
         [](Witness* w) { w->device_known = true; w->device_write_bytes = GiB + 64 * MiB; },
         DISTURBED_OTHER_IO, "64.00 MiB of other I/O on "},
        {"32 MiB written beside it", WitnessKind::Write, 1000000, GiB,
         [](Witness* w) { w->device_known = true; w->device_write_bytes = GiB + 32 * MiB; }, 0, ""},
        {"a read served by the cache", WitnessKind::Read, 1000000, GiB,
         [](Witness* w) { w->device_known = true; w->device_read_bytes = 0; },
         DISTURBED_PAGE_CACHE, "read from the page cache, not the disk (0.00 B of 1.00 GiB from "},
        {"a cold read whose drop failed", WitnessKind::Read, 1000000, GiB, [](Witness* w) { w->drop_error = EIO; },
         DISTURBED_PAGE_CACHE, "the cached pages could not be dropped (Input/output error): the figure may include the cache"},
        {"a cold read whose count failed", WitnessKind::Read, 1000000, GiB, [](Witness* w) { w->count_error = ENOMEM; },
         DISTURBED_PAGE_CACHE, "what stayed in the page cache could not be counted (Cannot allocate memory)"},
        {"a cold read that stayed cached", WitnessKind::Read, 1000000, GiB,
         [](Witness* w) { w->has_resident = true; w->resident_bytes = 512 * MiB; },
         DISTURBED_PAGE_CACHE, "512.00 MiB of 1.00 GiB stayed in the page cache after the drop"},
        {"a cold read from the device", WitnessKind::Read, 1000000, GiB,
         [](Witness* w) { w->has_resident = true; w->resident_bytes = 4 * MiB; w->device_known = true; w->device_read_bytes = GiB; },
         0, ""},
        {"2 MiB swapped", WitnessKind::Memory, 1000000, 0,
         [](Witness* w) { w->cpu_us = 1000000; w->swap_known = true; w->swap_bytes = 2 * MiB; },
         DISTURBED_SWAP, "2.00 MiB swapped in or out"},
        {"a block of 200 ms, median 1 ms", WitnessKind::Read, 1000000, GiB,
         [](Witness* w) { w->has_blocks = true; w->block_us = BlockLatency{1000, 2000, 200000}; },
         DISTURBED_STALL, "a block took 200.0 ms, the median 1.0 ms"},
        {"a block of 50 ms", WitnessKind::Read, 1000000, GiB,
         [](Witness* w) { w->has_blocks = true; w->block_us = BlockLatency{1000, 2000, 50000}; }, 0, ""},
    };
    for (const Row& row : rows) {
        Measured m{};
        m.us = row.us;
        m.ms = row.us / 1000;
        m.witness.others_runnable[0] = m.witness.others_runnable[1] = 0;
        m.witness.cpu_us = row.us;
        row.make(&m.witness);
        testing::internal::CaptureStdout();
        witness_judge(&m, row.kind, row.bytes);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(m.witness.disturbed, row.disturbed) << row.name;
        if (row.disturbed != 0) {
            EXPECT_EQ(printed.rfind("  note: ", 0), 0u) << row.name << ": " << printed;
            EXPECT_NE(printed.find(row.words), std::string::npos) << row.name << ": " << printed;
        } else {
            EXPECT_EQ(printed, "") << row.name;
        }
    }
}

// The witness does not charge its own reads of the system's files to the
// measurement: an empty interval's CPU time is no more than its elapsed time
// (getrusage sits next to the clock readings).
TEST(Witness, EmptyIntervalChargesNoCpuTimeOfItsOwn)
{
    witness_watch(".");
    std::vector<int64_t> excess;
    for (int i = 0; i < 101; ++i) {
        const Interval interval = interval_begin();
        const Measured empty = interval_end(interval);
        excess.push_back(empty.witness.cpu_us - empty.us);
    }
    std::nth_element(excess.begin(), excess.begin() + 50, excess.end());
    EXPECT_LE(excess[50], 5) << "median CPU time beyond the elapsed time, in us";
}

// The manual page states the thresholds the rules use.
TEST(WitnessRules, ManualPageGivesTheThresholds)
{
    const std::string page = read_file(OVREL_SOURCE_DIR "/docs/ovrel-bench.1");
    ASSERT_FALSE(page.empty());
    const auto percent = [](double share) { return std::to_string(static_cast<int>(share * 100 + 0.5)) + "%"; };
    const WitnessThresholds& t = WITNESS_THRESHOLDS;
    struct Row {
        const char* reason;
        std::vector<std::string> words;
    };
    const Row rows[] = {
        {"cpu-taken", {"below " + percent(t.cpu_share_min), "more than " + std::to_string(t.switches_per_s_max) + " switches"}},
        {"steal", {"more than " + percent(t.steal_share_max), "at least " + std::to_string(STEAL_TICKS_MIN) + " of the"}},
        {"other-io", {"at least " + std::to_string(t.other_io_min_bytes >> 20) + " MiB", "and " + percent(t.other_io_min_share)}},
        {"page-cache", {t.page_cache_device_share == 0.5 ? "less than half" : "?", "more than " + percent(t.page_cache_resident_share)}},
        {"swap", {"At least " + std::to_string(t.swap_min_bytes >> 20) + " MiB"}},
        {"stall", {"at least " + std::to_string(t.stall_min_us / 1000) + " ms", "more than " + std::to_string(t.stall_factor) + " times"}},
    };
    for (const Row& row : rows) {
        const size_t at = page.find(std::string(".It ") + row.reason + "\n");
        ASSERT_NE(at, std::string::npos) << row.reason;
        const size_t end = page.find(".It ", at + 4);
        std::string item = page.substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::replace(item.begin(), item.end(), '\n', ' ');
        for (const std::string& words : row.words)
            EXPECT_NE(item.find(words), std::string::npos) << row.reason << ": " << words << "\n" << item;
    }
}

// A busy loop pinned to the sweep's core takes half its time: the sweep's
// CPU time falls well below its elapsed time.
TEST_F(Witnessed, CompetitorOnTheCoreMakesASweepCpuTaken)
{
    EXPECT_EXIT(
        {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(0, &one);
            if (sched_setaffinity(0, sizeof one, &one) != 0)
                _exit(90);
            const pid_t hog = fork();
            if (hog == 0) {
                for (;;) {
                }
            }
            // About a fifth of a second of sweeping on an idle core.
            testing::internal::CaptureStdout();
            const Measured measured = array_fill(262144, 32768, 8);
            const std::string printed = testing::internal::GetCapturedStdout();
            kill(hog, SIGKILL);
            waitpid(hog, nullptr, 0);
            const bool marked = (measured.witness.disturbed & DISTURBED_CPU_TAKEN) != 0;
            const bool noted = printed.find("\n  note: the core ran ") != std::string::npos;
            _exit(marked && noted ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Another process writing to the same disk with direct I/O while a write
// pass runs: the device moves far more than the pass's own bytes.
TEST_F(Witnessed, OtherWriterOnTheDiskMakesAPassOtherIo)
{
    if (!watch_here())
        SKIP_OR_FAIL("no block device with counters holds " << dir_.path);
    const int direct = platform_direct_io_flag();
    const int probe = open("other", O_WRONLY | O_CREAT | direct, 0600);
    if (probe < 0)
        SKIP_OR_FAIL("no direct I/O here for the other writer");
    close(probe);
    const pid_t writer = fork();
    if (writer == 0) {
        // 4 MiB blocks over the same 256 MiB again and again, past the cache.
        const int fd = open("other", O_WRONLY | direct);
        for (uint64_t i = 0;; ++i)
            if (pwrite(fd, write_buffer, BLOCK_SIZE, static_cast<off_t>(i % 64 * BLOCK_SIZE)) < 0)
                _exit(1);
    }
    usleep(200000);
    testing::internal::CaptureStdout();
    const Measured measured = run_pass(DiskPassKind::Write, 1024 * 1024 * 1024);
    const std::string printed = testing::internal::GetCapturedStdout();
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    scratch_remove();
    EXPECT_NE(measured.witness.disturbed & DISTURBED_OTHER_IO, 0u) << measured.witness.device_write_bytes;
    EXPECT_NE(printed.find("\n  note: "), std::string::npos) << printed;
    EXPECT_NE(printed.find(" of other I/O on "), std::string::npos) << printed;
}

// A file just written is still in the page cache: its read pass gets its
// bytes without the device, and says so.
TEST_F(Witnessed, FreshSmallFileIsReadFromThePageCache)
{
    if (!watch_here())
        SKIP_OR_FAIL("no block device with counters holds " << dir_.path);
    testing::internal::CaptureStdout();
    run_pass(DiskPassKind::Write, 64 << 20);
    const Measured measured = run_pass(DiskPassKind::Read, 64 << 20);
    const std::string printed = testing::internal::GetCapturedStdout();
    scratch_remove();
    EXPECT_TRUE(measured.witness.device_known);
    EXPECT_LT(measured.witness.device_read_bytes, uint64_t{4} << 20);
    EXPECT_NE(measured.witness.disturbed & DISTURBED_PAGE_CACHE, 0u);
    const size_t note = printed.find("\n  note: ", printed.find("   64.00 MiB read "));
    EXPECT_NE(note, std::string::npos) << printed;
    EXPECT_NE(printed.find("read from the page cache, not the disk", note), std::string::npos) << printed;
    EXPECT_TRUE(measured.witness.has_blocks);
    EXPECT_GT(measured.witness.block_us.max_us, 0);
}

} // namespace

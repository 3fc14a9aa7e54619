// The witness on real work: a competitor for the core, another writer on
// the disk, a read served by the page cache.
#include <csignal>
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

TEST(BlockLatency, MedianHighPercentileAndMaximum)
{
    std::vector<int64_t> times;
    for (int64_t i = 100; i >= 1; --i)
        times.push_back(i);
    const BlockLatency all = block_latency(times.data(), times.size());
    EXPECT_EQ(all.p50_us, 51);
    EXPECT_EQ(all.p99_us, 100);
    EXPECT_EQ(all.max_us, 100);
    int64_t one = 7;
    const BlockLatency single = block_latency(&one, 1);
    EXPECT_EQ(single.p50_us, 7);
    EXPECT_EQ(single.p99_us, 7);
    EXPECT_EQ(single.max_us, 7);
    EXPECT_EQ(block_latency(nullptr, 0).max_us, 0);
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

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <algorithm>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <vector>

#include <boost/math/distributions/chi_squared.hpp>
#include <gtest/gtest.h>

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "support.h"

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

class DiskPass : public TempDirTest {
protected:
    // Each test starts with no scratch file of this process's own.
    void SetUp() override
    {
        TempDirTest::SetUp();
        scratch_remove();
    }

    // Runs `pass` with standard output captured; returns what it printed.
    template <typename Pass>
    std::string captured(Pass pass, int64_t* ms = nullptr)
    {
        testing::internal::CaptureStdout();
        const int64_t result = pass();
        if (ms != nullptr)
            *ms = result;
        return testing::internal::GetCapturedStdout();
    }
};

std::string bar(size_t marks)
{
    return "[" + std::string(64, ' ') + "]" + std::string(65, '\b') + std::string(marks, '*') + "\n";
}

// Whether the file begins with `blocks` blocks of the pass's random bytes,
// each stamped with its own index.
bool content_is_stamped_blocks(const std::string& contents, size_t blocks)
{
    static unsigned char block[BLOCK_SIZE];
    memcpy(block, write_buffer, BLOCK_SIZE);
    for (size_t i = 0; i < blocks; ++i) {
        stamp_block(block, i);
        if (contents.compare(i * BLOCK_SIZE, BLOCK_SIZE, reinterpret_cast<const char*>(block), BLOCK_SIZE) != 0)
            return false;
    }
    return true;
}

TEST_F(DiskPass, WriteOfNoBlocksCreatesAnEmptyFile)
{
    const std::string output = captured([] { return write_pass(3 * MiB); });
    EXPECT_TRUE(std::regex_match(output,
                                 std::regex("Writing 0 blocks of size 4194304 in sequential order\\.\\.\\.\n"
                                            "Total size = 0 mebibytes\\.\n"
                                            "\\[ {64}\\]\b{65}\n"
                                            "    3\\.00 MiB write       4\\.00 MiB blocks +[0-9]+\\.00 ms +"
                                            "([0-9.]+|inf) MiB/s\n\n")))
        << output;
    EXPECT_EQ(file_length(SCRATCH_FILE), 0);
    struct stat status;
    ASSERT_EQ(stat(SCRATCH_FILE, &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(DiskPass, PartialBlockIsNotWrittenButIsRated)
{
    const uint64_t file_size = 2 * BLOCK_SIZE + 100;
    int64_t ms = 0;
    const std::string output = captured([&] { return write_pass(file_size); }, &ms);
    EXPECT_EQ(file_length(SCRATCH_FILE), static_cast<long long>(2 * BLOCK_SIZE));
    const std::vector<std::string> lines = split_lines(output);
    ASSERT_EQ(lines.size(), 5u) << output;
    EXPECT_EQ(lines[0], "Writing 2 blocks of size 4194304 in sequential order...");
    EXPECT_EQ(lines[1], "Total size = 8 mebibytes.");
    EXPECT_EQ(lines[2] + "\n", bar(2));
    char expected[160];
    const double rate = static_cast<double>(file_size) / 1048576.0 / (static_cast<double>(ms) / 1000.0);
    snprintf(expected, sizeof expected, "    8.00 MiB write       4.00 MiB blocks %12.2f ms %12.2f MiB/s",
             static_cast<double>(ms), rate);
    EXPECT_EQ(lines[3], expected);
    EXPECT_EQ(lines[4], "");
}

TEST_F(DiskPass, RewriteOverwritesInPlace)
{
    captured([] { return write_pass(3 * BLOCK_SIZE); });
    const std::string first = read_file(SCRATCH_FILE);
    ASSERT_TRUE(content_is_stamped_blocks(first, 3));
    const std::string output = captured([] { return write_pass(3 * BLOCK_SIZE); });
    const std::string second = read_file(SCRATCH_FILE);
    EXPECT_EQ(second.size(), first.size());
    EXPECT_TRUE(content_is_stamped_blocks(second, 3));
    EXPECT_NE(first, second) << "the rewrite must write fresh random bytes";
    EXPECT_NE(output.find("   12.00 MiB write "), std::string::npos) << output;
}

// Deduplicating storage keeps one copy of equal blocks (or 4 KiB records):
// every piece of the written file must differ from every other, and carry
// the run's seed.
TEST_F(DiskPass, NoTwoPiecesOfTheFileAreAlike)
{
    scratch_set_seed(0x5eed5eed5eedULL);
    captured([] { return write_pass(6 * BLOCK_SIZE); });
    scratch_set_seed(0);
    const std::string contents = read_file(SCRATCH_FILE);
    ASSERT_EQ(contents.size(), 6 * BLOCK_SIZE);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < contents.size(); at += STAMP_INTERVAL)
        pieces.push_back(contents.substr(at, STAMP_INTERVAL));
    std::vector<std::string> sorted = pieces;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "two 4 KiB pieces are equal";
    for (size_t i = 0; i < 6; ++i)
        for (size_t j = i + 1; j < 6; ++j)
            EXPECT_NE(contents.compare(i * BLOCK_SIZE, BLOCK_SIZE, contents, j * BLOCK_SIZE, BLOCK_SIZE), 0)
                << "blocks " << i << " and " << j;
    uint64_t seed = 0;
    memcpy(&seed, contents.data() + 5 * BLOCK_SIZE + STAMP_INTERVAL + sizeof(uint64_t), sizeof seed);
    EXPECT_EQ(seed, 0x5eed5eed5eedULL);
}

// A seed replays the bytes a run wrote (and, drawing on the same
// generator, its shuffled orders).
TEST_F(DiskPass, SameSeedWritesTheSameFile)
{
    std::string files[2];
    for (std::string& file : files) {
        srandom(1234);
        scratch_set_seed(1234);
        captured([] { return write_pass(2 * BLOCK_SIZE); });
        file = read_file(SCRATCH_FILE);
        scratch_remove();
    }
    scratch_set_seed(0);
    EXPECT_EQ(files[0].size(), 2 * BLOCK_SIZE);
    EXPECT_TRUE(files[0] == files[1]);
}

TEST_F(DiskPass, LeftoverFileIsOverwrittenNotTruncated)
{
    write_file(SCRATCH_FILE, std::string(5 * BLOCK_SIZE, 'x'));
    captured([] { return write_pass(2 * BLOCK_SIZE); });
    const std::string contents = read_file(SCRATCH_FILE);
    ASSERT_EQ(contents.size(), 5 * BLOCK_SIZE);
    EXPECT_TRUE(content_is_stamped_blocks(contents, 2));
    EXPECT_EQ(contents.substr(2 * BLOCK_SIZE), std::string(3 * BLOCK_SIZE, 'x'));
}

TEST_F(DiskPass, ReadPassesOverTheWrittenFile)
{
    captured([] { return write_pass(4 * BLOCK_SIZE); });
    const std::string read_output = captured([] { return read_pass(4 * BLOCK_SIZE); });
    EXPECT_EQ(read_output.rfind("Reading 4 blocks of size 4194304 in sequential order...\n"
                                "Total size = 16 mebibytes.\n" + bar(4) + "   16.00 MiB read  ", 0), 0u)
        << read_output;
    EXPECT_EQ(memcmp(read_buffer, write_buffer, BLOCK_SIZE), 0);
    const std::string seek_output = captured([] { return seek_pass(4 * BLOCK_SIZE); });
    EXPECT_EQ(seek_output.rfind("Reading 4 blocks of size 4194304 in random order...\n"
                                "Total size = 16 mebibytes.\n" + bar(4) + "   16.00 MiB seek  ", 0), 0u)
        << seek_output;
    // The block read last is some block of the file, whichever the order put last.
    uint64_t last = 0;
    memcpy(&last, seek_buffer, sizeof last);
    ASSERT_LT(last, 4u);
    static unsigned char expected[BLOCK_SIZE];
    memcpy(expected, write_buffer, BLOCK_SIZE);
    stamp_block(expected, last);
    EXPECT_EQ(memcmp(seek_buffer, expected, BLOCK_SIZE), 0);
}

// A file whose every block is different, so that the block a pass read last
// tells where it was.
std::string distinct_blocks(size_t blocks)
{
    std::string contents;
    for (size_t i = 0; i < blocks; ++i)
        contents += std::string(BLOCK_SIZE, static_cast<char>('a' + i));
    return contents;
}

TEST_F(DiskPass, SequentialReadEndsOnTheLastBlock)
{
    write_file(SCRATCH_FILE, distinct_blocks(5));
    captured([] { return read_pass(5 * BLOCK_SIZE); });
    EXPECT_EQ(read_buffer[0], 'e');
    EXPECT_EQ(read_buffer[BLOCK_SIZE - 1], 'e');
    // A file size of four blocks stops at the fourth, whatever follows.
    captured([] { return read_pass(4 * BLOCK_SIZE); });
    EXPECT_EQ(read_buffer[0], 'd');
}

TEST_F(DiskPass, ShuffledReadFollowsTheSeedsOrder)
{
    constexpr uint64_t blocks = 7;
    write_file(SCRATCH_FILE, distinct_blocks(blocks));
    for (unsigned seed : {1u, 2u, 3u, 42u, 1000u}) {
        std::vector<uint64_t> order(blocks);
        for (uint64_t i = 0; i < blocks; ++i)
            order[i] = i * BLOCK_SIZE;
        srandom(seed);
        shuffle_offsets(order.data(), blocks);
        srandom(seed);
        captured([] { return seek_pass(blocks * BLOCK_SIZE); });
        EXPECT_EQ(seek_buffer[0], 'a' + order.back() / BLOCK_SIZE) << "seed " << seed;
    }
}

// The hard link an attacker (or an accident) leaves under the name: the
// file it points to must come out byte for byte, with its owner and mode.
TEST_F(DiskPass, HardLinkedFileIsNeverWritten)
{
    write_file("victim.conf", "precious\n");
    ASSERT_EQ(chmod("victim.conf", 0644), 0);
    ASSERT_EQ(link("victim.conf", SCRATCH_FILE), 0);
    struct stat before;
    ASSERT_EQ(stat("victim.conf", &before), 0);
    EXPECT_EXIT(write_pass(2 * BLOCK_SIZE), testing::ExitedWithCode(1),
                "^Error creating file\\.\novrel-bench\\.tempfile: Has more than one link\n$");
    EXPECT_EXIT(read_pass(2 * BLOCK_SIZE), testing::ExitedWithCode(1), "Has more than one link\n$");
    EXPECT_EQ(read_file("victim.conf"), "precious\n");
    struct stat after;
    ASSERT_EQ(stat("victim.conf", &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
}

TEST_F(DiskPass, FileSwappedInBetweenPassesIsRefused)
{
    captured([] { return write_pass(BLOCK_SIZE); });
    // Kept under another name, so that the new file cannot reuse its inode.
    ASSERT_EQ(rename(SCRATCH_FILE, "ours"), 0);
    write_file(SCRATCH_FILE, std::string(BLOCK_SIZE, 'z'));
    const char* const swapped = "ovrel-bench\\.tempfile: Is no longer the file this run created\n$";
    EXPECT_EXIT(read_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Read error.*\n") + swapped);
    EXPECT_EXIT(write_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Error creating file\\.\n") + swapped);
    EXPECT_TRUE(read_file(SCRATCH_FILE) == std::string(BLOCK_SIZE, 'z')) << "the swapped-in file was written";
}

TEST_F(DiskPass, InterruptStopsAPassBetweenBlocks)
{
    EXPECT_EXIT(
        {
            testing::internal::CaptureStdout();
            if (write_pass(2 * BLOCK_SIZE) < 0)
                _exit(2);
            interrupt_record(SIGINT);
            const bool stopped = write_pass(2 * BLOCK_SIZE) == PASS_INTERRUPTED &&
                                 read_pass(2 * BLOCK_SIZE) == PASS_INTERRUPTED &&
                                 seek_pass(2 * BLOCK_SIZE) == PASS_INTERRUPTED;
            _exit(stopped ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// The shuffled order of a file larger than any memory cannot be held: the
// allocation message and exit 1, not a crash (under AddressSanitizer its
// allocator warns first).
TEST_F(DiskPass, ShuffledOrderThatCannotBeAllocatedIsAnError)
{
    EXPECT_EXIT(seek_pass(uint64_t{1} << 62), testing::ExitedWithCode(1), "Could not allocate 8796093022208 bytes\\.\n$");
}

TEST_F(DiskPass, SequentialReadOfATruncatedFileEndsTheRun)
{
    captured([] { return write_pass(3 * BLOCK_SIZE); });
    ASSERT_EQ(truncate(SCRATCH_FILE, BLOCK_SIZE + 10), 0);
    EXPECT_EXIT(read_pass(3 * BLOCK_SIZE), testing::ExitedWithCode(1), "^Read error\\.  Aborting\\.\\.\\.\n$");
    EXPECT_EQ(file_length(SCRATCH_FILE), static_cast<long long>(BLOCK_SIZE + 10)) << "the file stays";
}

TEST_F(DiskPass, ShuffledReadAcceptsAShortFile)
{
    captured([] { return write_pass(3 * BLOCK_SIZE); });
    ASSERT_EQ(truncate(SCRATCH_FILE, BLOCK_SIZE), 0);
    const std::string output = captured([] { return seek_pass(3 * BLOCK_SIZE); });
    EXPECT_NE(output.find("   12.00 MiB seek "), std::string::npos) << output;
}

TEST_F(DiskPass, MissingFileIsAReadErrorEvenWithoutBlocks)
{
    EXPECT_EXIT(read_pass(0), testing::ExitedWithCode(1),
                "^Read error\\.  Aborting\\.\\.\\.\novrel-bench\\.tempfile: No such file or directory\n$");
    EXPECT_EXIT(seek_pass(2 * BLOCK_SIZE), testing::ExitedWithCode(1),
                "^Read error\\.  Aborting\\.\\.\\.\novrel-bench\\.tempfile: No such file or directory\n$");
}

TEST_F(DiskPass, FatalErrorEndsTheBarLineFirst)
{
    const ChildRun run = run_in_child([] { read_pass(BLOCK_SIZE); });
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1);
    EXPECT_EQ(run.out, "Reading 1 blocks of size 4194304 in sequential order...\n"
                      "Total size = 4 mebibytes.\n" + bar(0));
}

TEST_F(DiskPass, SymlinkUnderTheNameIsRefusedAndItsTargetUntouched)
{
    const std::string target = dir_.path + "/precious";
    write_file(target, "keep me\n");
    ASSERT_EQ(symlink(target.c_str(), SCRATCH_FILE), 0);
    // O_NOFOLLOW fails with ELOOP on Linux and EMLINK on FreeBSD.
    const char* const refused = "ovrel-bench\\.tempfile: (Too many levels of symbolic links|Too many links)\n$";
    // The write pass looks before it opens anything that is already there.
    EXPECT_EXIT(write_pass(2 * BLOCK_SIZE), testing::ExitedWithCode(1),
                "^Error creating file\\.\novrel-bench\\.tempfile: Is a symbolic link\n$");
    EXPECT_EXIT(read_pass(2 * BLOCK_SIZE), testing::ExitedWithCode(1),
                std::string("^Read error\\.  Aborting\\.\\.\\.\n") + refused);
    EXPECT_EXIT(seek_pass(2 * BLOCK_SIZE), testing::ExitedWithCode(1),
                std::string("^Read error\\.  Aborting\\.\\.\\.\n") + refused);
    EXPECT_EQ(read_file(target), "keep me\n");
    // A dangling link must not be followed to create its target either.
    ASSERT_EQ(unlink(target.c_str()), 0);
    EXPECT_EXIT(write_pass(BLOCK_SIZE), testing::ExitedWithCode(1), "^Error creating file\\.\n.*symbolic link\n$");
    EXPECT_FALSE(file_exists(target));
}

TEST_F(DiskPass, OtherFileTypesAreRefusedWithoutBlocking)
{
    ASSERT_EQ(mkfifo(SCRATCH_FILE, 0600), 0);
    const char* const not_regular = "ovrel-bench\\.tempfile: Not a regular file\n$";
    EXPECT_EXIT(read_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Read error.*\n") + not_regular);
    EXPECT_EXIT(write_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Error creating file\\.\n") + not_regular);
    // With a reader waiting on the FIFO it is still never opened for writing.
    const int reader = open(SCRATCH_FILE, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EXIT(write_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Error creating file\\.\n") + not_regular);
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0) << "something was written into the FIFO";
    close(reader);
    ASSERT_EQ(unlink(SCRATCH_FILE), 0);
    ASSERT_EQ(mkdir(SCRATCH_FILE, 0700), 0);
    EXPECT_EXIT(write_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Error creating file\\.\n") + not_regular);
    EXPECT_EXIT(seek_pass(BLOCK_SIZE), testing::ExitedWithCode(1), std::string("^Read error.*\n") + not_regular);
}

TEST_F(DiskPass, UnwritableDirectoryIsAFatalCreationError)
{
    ASSERT_EQ(chmod(dir_.path.c_str(), 0555), 0);
    EXPECT_EXIT(
        {
            // Root writes anywhere: drop to an ordinary user in the child.
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(97);
            write_pass(BLOCK_SIZE);
        },
        testing::ExitedWithCode(1), "^Error creating file\\.\novrel-bench\\.tempfile: Permission denied\n$");
    EXPECT_FALSE(file_exists(SCRATCH_FILE));
}

// Files may grow to `bytes`; a write beyond fails instead of raising SIGXFSZ.
void limit_file_size(rlim_t bytes)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(DiskPass, FileSizeLimitIsAWriteErrorWithItsReason)
{
    EXPECT_EXIT(
        {
            limit_file_size(6 * MiB);
            write_pass(4 * BLOCK_SIZE);
        },
        testing::ExitedWithCode(1), "^Write error\\.  Aborting\\.\\.\\.\novrel-bench\\.tempfile: File too large\n$");
    EXPECT_EQ(file_length(SCRATCH_FILE), static_cast<long long>(6 * MiB)) << "the partial file stays";
}

TEST_F(DiskPass, FullFileSystemIsAWriteErrorWithItsReason)
{
    const std::string mount_point = dir_.path + "/small";
    if (!try_mount("tmpfs", mount_point, "size=10m"))
        SKIP_OR_FAIL("cannot mount a tmpfs here (needs root on Linux)");
    ASSERT_EQ(chdir(mount_point.c_str()), 0);
    EXPECT_EXIT(write_pass(4 * BLOCK_SIZE), testing::ExitedWithCode(1),
                "^Write error\\.  Aborting\\.\\.\\.\novrel-bench\\.tempfile: No space left on device\n$");
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    unmount(mount_point);
}

// Several jobs at once, in small blocks; the shape goes back to one job
// of 4 MiB blocks after each test.
class DiskJobs : public DiskPass {
protected:
    void TearDown() override
    {
        scratch_remove();
        scratch_set_shape(1, BLOCK_SIZE);
        DiskPass::TearDown();
    }
};

std::string job_file(int job)
{
    return std::string(SCRATCH_FILE) + "." + std::to_string(job);
}

TEST_F(DiskJobs, EachJobMovesAFileOfItsOwn)
{
    ASSERT_TRUE(scratch_set_shape(3, 4096));
    scratch_touch_buffers();
    const std::string written = captured([] { return write_pass(3 * 64 * 4096); });
    EXPECT_EQ(written.substr(0, written.find('[')),
              "Writing 192 blocks of size 4096 in sequential order...\nTotal size = 0.75 mebibytes.\n");
    EXPECT_NE(written.find(bar(64)), std::string::npos) << "one bar for all the jobs, every mark drawn once";
    EXPECT_NE(written.find("\n  768.00 KiB write       4.00 KiB blocks "), std::string::npos) << written;
    for (int job = 1; job <= 3; ++job)
        EXPECT_EQ(file_length(job_file(job)), 64 * 4096) << job;
    EXPECT_EQ(file_length(SCRATCH_FILE), -1) << "no file of one job's name";
    Measured measured{};
    captured([&] {
        measured = run_pass(DiskPassKind::Seek, 3 * 64 * 4096);
        return measured.ms;
    });
    ASSERT_EQ(measured.worker_us.size(), 3u);
    EXPECT_EQ(*std::max_element(measured.worker_us.begin(), measured.worker_us.end()), measured.us)
        << "the pass ends with its last job";
    EXPECT_EQ(scratch_remove(), 0);
    for (int job = 1; job <= 3; ++job)
        EXPECT_EQ(file_length(job_file(job)), -1) << job;
}

// A job that fails stops the others at their next block; every job's file
// goes, and the message names the one that failed.
TEST_F(DiskJobs, AFailedJobStopsTheOthersAndLeavesNoFile)
{
    EXPECT_EXIT(
        {
            if (!scratch_set_shape(2, 4096) || !freopen("bar.txt", "w", stdout))
                _exit(3);
            write_pass(2 * 4 * 4096);
            // Job 1's file as long as a read of a million blocks, with no
            // data on the disk; job 2's emptied, so that its first read
            // ends short.
            if (truncate(job_file(1).c_str(), int64_t{4} << 30) != 0 || truncate(job_file(2).c_str(), 0) != 0)
                _exit(4);
            read_pass(uint64_t{8} << 30);
        },
        testing::ExitedWithCode(1),
        "^Read error\\.  Aborting\\.\\.\\.\novrel-bench\\.tempfile\\.2: Cut short, without a reason from the system\n$");
    EXPECT_EQ(file_length(job_file(1)), -1);
    EXPECT_EQ(file_length(job_file(2)), -1);
    const std::string printed = read_file("bar.txt");
    const std::string reading = printed.substr(printed.find("Reading"));
    EXPECT_LT(std::count(reading.begin(), reading.end(), '*'), 64) << "job 1 stopped before its end";
}

// The shuffled read of several jobs takes each block of each job's file
// once: every job's offsets are its own blocks, each once.
TEST(Shuffle, EachJobReadsEachOfItsBlocksOnce)
{
    constexpr uint64_t JOB_BLOCKS = 1000;
    std::vector<uint64_t> offsets(3 * JOB_BLOCKS);
    srandom(7);
    shuffled_job_offsets(offsets.data(), 3, JOB_BLOCKS, 4096);
    for (int job = 0; job < 3; ++job) {
        std::vector<uint64_t> own(offsets.begin() + job * JOB_BLOCKS, offsets.begin() + (job + 1) * JOB_BLOCKS);
        EXPECT_FALSE(std::is_sorted(own.begin(), own.end())) << job;
        std::sort(own.begin(), own.end());
        for (uint64_t i = 0; i < JOB_BLOCKS; ++i)
            ASSERT_EQ(own[i], i * 4096) << job;
    }
}

TEST(Shuffle, IsAReproduciblePermutation)
{
    for (uint64_t n : {3u, 64u, 1000u}) {
        std::vector<uint64_t> first(n), second(n);
        for (uint64_t i = 0; i < n; ++i)
            first[i] = second[i] = i * BLOCK_SIZE;
        srandom(42);
        shuffle_offsets(first.data(), n);
        srandom(42);
        shuffle_offsets(second.data(), n);
        EXPECT_EQ(first, second) << n;
        std::vector<uint64_t> sorted = first;
        std::sort(sorted.begin(), sorted.end());
        for (uint64_t i = 0; i < n; ++i)
            ASSERT_EQ(sorted[i], i * BLOCK_SIZE) << n;
        if (n >= 64) {
            size_t in_place = 0;
            for (uint64_t i = 0; i < n; ++i)
                in_place += first[i] == i * BLOCK_SIZE;
            EXPECT_LT(in_place, n / 4) << "hardly shuffled";
        }
    }
}

TEST(Shuffle, DrawsOncePerPosition)
{
    // One value: no draw. Two values: exactly one draw, which decides the order.
    srandom(7);
    const long first_draw = random();
    const long second_draw = random();

    uint64_t one = 0;
    srandom(7);
    shuffle_offsets(&one, 1);
    EXPECT_EQ(random(), first_draw);

    uint64_t two[] = {0, BLOCK_SIZE};
    srandom(7);
    shuffle_offsets(two, 2);
    EXPECT_EQ(random(), second_draw);
    const bool swapped = static_cast<uint64_t>(first_draw) / (2147483647u / 2 + 1) == 1;
    EXPECT_EQ(two[0], swapped ? BLOCK_SIZE : 0);
    EXPECT_EQ(two[1], swapped ? 0 : BLOCK_SIZE);
}

// Every order of a few blocks is equally likely: the orders that many
// seeds give, counted and held against the chi-squared distribution. The
// seeds are fixed, so the verdict is the same on every run.
TEST(Shuffle, EveryOrderIsEquallyLikely)
{
    for (const uint64_t n : {3u, 4u}) {
        std::map<std::vector<uint64_t>, int> counts;
        uint64_t orders = 1;
        for (uint64_t k = 2; k <= n; ++k)
            orders *= k;
        const int per_order = 1000;
        const int draws = per_order * static_cast<int>(orders);
        for (int seed = 1; seed <= draws; ++seed) {
            std::vector<uint64_t> order(n);
            for (uint64_t i = 0; i < n; ++i)
                order[i] = i;
            srandom(static_cast<unsigned>(seed));
            shuffle_offsets(order.data(), n);
            ++counts[order];
        }
        ASSERT_EQ(counts.size(), orders) << "some order of " << n << " never came";
        double statistic = 0;
        for (const auto& count : counts)
            statistic += (count.second - per_order) * (count.second - per_order) / static_cast<double>(per_order);
        const double limit =
            boost::math::quantile(boost::math::chi_squared(static_cast<double>(orders - 1)), 0.999);
        EXPECT_LT(statistic, limit) << n << " blocks";
    }
}

// The untimed first transfers before trial 1 print nothing and leave no
// file behind, however small the file asked for.
TEST_F(DiskPass, WarmUpLeavesNothingBehind)
{
    for (uint64_t size : {uint64_t{0}, BLOCK_SIZE, uint64_t{256} << 20}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(warm_up_transfers(size), 0) << size;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << size;
        EXPECT_FALSE(file_exists(SCRATCH_FILE)) << size;
    }
}

} // namespace

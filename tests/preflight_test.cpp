#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "disktest/scratch.h"
#include "driver/preflight.h"
#include "driver/signals.h"
#include "support.h"

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

class Preflight : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        scratch_remove();
    }
};

RunParameters with_file_size(uint64_t file_size)
{
    RunParameters parameters = parameters_for_memory(uint64_t{1} << 30);
    parameters.file_size = file_size;
    return parameters;
}

TEST(FreeSpace, UsableBytesAndFit)
{
    struct Row {
        FreeSpace space;
        uint64_t usable;
    };
    const Row rows[] = {
        {{-5, 4096}, 0},                             // root ate into the reserve
        {{0, 4096}, 0},
        {{1000, 4096}, 4096000},
        {{INT64_MAX, 4096}, UINT64_MAX},             // the product does not fit
        {{int64_t{1} << 52, 4096}, UINT64_MAX},
        {{(int64_t{1} << 52) - 1, 4096}, UINT64_MAX - 4095},
    };
    for (const Row& row : rows)
        EXPECT_EQ(usable_bytes(row.space), row.usable) << row.space.available_blocks;

    struct Fit {
        uint64_t needed, usable, leftover;
        bool fits;
    };
    const Fit fits[] = {
        {12 * MiB, 12 * MiB, 0, true},               // exact fit
        {12 * MiB + 1, 12 * MiB, 0, false},
        {16 * MiB, 4 * MiB, 12 * MiB, true},         // a leftover of our own is space to reuse
        {16 * MiB, 4 * MiB, 0, false},               // a refused leftover earns no credit
        {UINT64_MAX, UINT64_MAX - 1, UINT64_MAX, true},
        {UINT64_MAX, 0, UINT64_MAX - 1, false},
    };
    for (const Fit& f : fits)
        EXPECT_EQ(scratch_fits(f.needed, f.usable, f.leftover), f.fits) << f.needed << " " << f.usable << " " << f.leftover;
}

// The plan warns of the page cache exactly when the read passes can be served
// from memory: never for the default file, whose rounding to whole blocks
// leaves it a little short of twice memories that are not a multiple of
// 2 MiB, nor for a cold or direct run, nor without data to read.
TEST(Plan, PageCacheClauseOnlyWhereTheCacheCanServeTheReads)
{
    constexpr uint64_t GiB = uint64_t{1} << 30;
    constexpr uint64_t ODD_MEMORY = 25276125184; // 24105.3 MiB, as on a virtual machine
    struct Row {
        const char* name;
        uint64_t phys_mem;
        int64_t file_size; // -1: the default
        bool cold;
        bool direct;
        unsigned phases;
        bool warned;
    };
    const Row rows[] = {
        {"default, memory a multiple of 2 MiB", 24 * GiB, -1, false, false, PHASE_ALL, false},
        {"default, memory not a multiple of 2 MiB", ODD_MEMORY, -1, false, false, PHASE_ALL, false},
        {"default, memory 1 MiB past a block", 8 * GiB + MiB, -1, false, false, PHASE_ALL, false},
        {"default, disk only", ODD_MEMORY + 4096, -1, false, false, PHASE_DISK, false},
        {"twice the memory asked, not a multiple of a block", ODD_MEMORY, 2 * ODD_MEMORY, false, false, PHASE_ALL, false},
        {"a block short of twice the memory", 8 * GiB, 16 * GiB - 4 * MiB, false, false, PHASE_ALL, false},
        {"two blocks short of twice the memory", 8 * GiB, 16 * GiB - 8 * MiB, false, false, PHASE_ALL, true},
        {"1 GiB on an odd memory", ODD_MEMORY, GiB, false, false, PHASE_ALL, true},
        {"1 GiB, cold", ODD_MEMORY, GiB, true, false, PHASE_DISK, false},
        {"1 GiB, direct", ODD_MEMORY, GiB, false, true, PHASE_ALL, false},
        {"an empty file", ODD_MEMORY, 0, false, false, PHASE_ALL, false},
        {"memory only", ODD_MEMORY, GiB, false, false, PHASE_MEMORY, false},
        {"larger than twice the memory", 8 * GiB, 64 * GiB, false, false, PHASE_ALL, false},
        {"the largest file", 8 * GiB, INT64_MAX, false, false, PHASE_ALL, false},
    };
    for (const Row& row : rows) {
        RunParameters parameters = parameters_for_memory(row.phys_mem);
        if (row.file_size >= 0)
            parameters.file_size = static_cast<uint64_t>(row.file_size);
        parameters.cold = row.cold;
        parameters.direct_io = row.direct;
        parameters.phases = row.phases;
        EXPECT_EQ(plan_measures_page_cache(parameters), row.warned) << row.name;
    }
}

TEST_F(Preflight, ScratchFileLargerThanTheDiskIsRefused)
{
    EXPECT_EXIT(check_free_space(with_file_size(uint64_t{100000} << 30), 0), testing::ExitedWithCode(1),
                "^Not enough free space: the scratch file needs 100000\\.00 GiB, [0-9.]+ [KMGT]?i?B is available\\.\n$");
}

TEST_F(Preflight, FreeSpaceCountsWholeBlocksAndTheLeftoverFile)
{
    const std::string mount_point = dir_.path + "/small";
    if (!try_mount("tmpfs", mount_point, "size=12m"))
        SKIP_OR_FAIL("cannot mount a tmpfs here (needs root on Linux)");
    ASSERT_EQ(chdir(mount_point.c_str()), 0);
    check_free_space(with_file_size(12 * MiB + 3), 0);  // three whole blocks fit exactly
    EXPECT_EXIT(check_free_space(with_file_size(16 * MiB), 0), testing::ExitedWithCode(1),
                "^Not enough free space: the scratch file needs 16\\.00 MiB, 12\\.00 MiB is available\\.\n$");
    write_file(SCRATCH_FILE, std::string(8 * MiB, 'x'));
    uint64_t leftover = check_scratch_name("here");
    EXPECT_EQ(leftover, 8 * MiB);
    check_free_space(with_file_size(12 * MiB), leftover);  // 4 MiB free and 8 MiB of our own
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    unmount(mount_point);
}

// What may lie under the scratch file's name before a run, and what the run says of it.
TEST_F(Preflight, OnlyAFileOfTheUsersOwnIsTakenOver)
{
    const std::string victim = dir_.path + "/victim";
    const std::string prefix = "^Cannot use the scratch file in /the/dir\\.\novrel-bench\\.tempfile: ";
    struct Case {
        const char* name;
        void (*plant)(const std::string& victim);
        const char* reason;
    };
    const Case cases[] = {
        {"hard link", [](const std::string& v) { ASSERT_EQ(link(v.c_str(), SCRATCH_FILE), 0); },
         "Has more than one link"},
        {"symbolic link", [](const std::string& v) { ASSERT_EQ(symlink(v.c_str(), SCRATCH_FILE), 0); },
         "Is a symbolic link"},
        {"FIFO", [](const std::string&) { ASSERT_EQ(mkfifo(SCRATCH_FILE, 0600), 0); }, "Not a regular file"},
        {"directory", [](const std::string&) { ASSERT_EQ(mkdir(SCRATCH_FILE, 0700), 0); }, "Not a regular file"},
    };
    for (const Case& c : cases) {
        write_file(victim, "keep me\n");
        c.plant(victim);
        EXPECT_EXIT(check_scratch_name("/the/dir"), testing::ExitedWithCode(1), prefix + c.reason + "\n$") << c.name;
        EXPECT_EQ(read_file(victim), "keep me\n") << c.name;
        ASSERT_EQ(remove(SCRATCH_FILE), 0);
    }

    // The file the report is being written to.
    EXPECT_EXIT(
        {
            if (freopen(SCRATCH_FILE, "w", stdout) == nullptr)
                _exit(98);
            check_scratch_name("/the/dir");
        },
        testing::ExitedWithCode(1), prefix + "Is where the report is being written\n$");
    ASSERT_EQ(unlink(SCRATCH_FILE), 0);

    write_file(SCRATCH_FILE, std::string(5000, 'x'));
    EXPECT_GE(check_scratch_name("/the/dir"), 5000u);
    ASSERT_EQ(unlink(SCRATCH_FILE), 0);
    EXPECT_EQ(check_scratch_name("/the/dir"), 0u);
}

TEST_F(Preflight, AnotherUsersFileIsRefused)
{
    if (geteuid() != 0)
        SKIP_OR_FAIL("giving a file to another user needs root");
    write_file(SCRATCH_FILE, "theirs\n");
    ASSERT_EQ(chown(SCRATCH_FILE, 65534, 65534), 0);
    EXPECT_EXIT(check_scratch_name("d"), testing::ExitedWithCode(1),
                "^Cannot use the scratch file in d\\.\novrel-bench\\.tempfile: Belongs to another user\n$");
    EXPECT_EQ(read_file(SCRATCH_FILE), "theirs\n");
}

TEST_F(Preflight, SecondRunInTheDirectoryIsRefused)
{
    lock_directory("here");
    // A child has its own open of the directory, as a second run would.
    EXPECT_EXIT(lock_directory("/the/dir"), testing::ExitedWithCode(1),
                "^Another ovrel-bench run is using /the/dir\\.\n$");
}

// A directory this user may write but not read cannot be locked: two such
// runs would share one scratch file, so the run is refused.
TEST_F(Preflight, DirectoryThatCannotBeLockedIsRefused)
{
    ASSERT_EQ(mkdir("write-only", 0300), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown("write-only", 65534, 65534), 0);
    }
    EXPECT_EXIT(
        {
            if (chdir("write-only") != 0)
                _exit(90);
            // Root reads any directory: the run is tried as another user.
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(91);
            lock_directory("w");
            _exit(0);
        },
        testing::ExitedWithCode(1), "^Cannot lock w: Permission denied\n$");
}

TEST_F(Preflight, ClosedStandardDescriptorsAreFilled)
{
    EXPECT_EXIT(
        {
            close(0);
            close(2);
            ensure_standard_descriptors();
            const int fd = open("later", O_WRONLY | O_CREAT, 0600);
            _exit(fd > 2 && fcntl(0, F_GETFD) != -1 && fcntl(2, F_GETFD) != -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    // Standard output is the report: without it the run is refused.
    EXPECT_EXIT(
        {
            close(1);
            ensure_standard_descriptors();
            _exit(0);
        },
        testing::ExitedWithCode(1), "^Standard output is closed: the report would be lost\\.\n$");
}

TEST_F(Preflight, SignalRemovesThisRunsScratchFileAndKills)
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) {
        EXPECT_EXIT(
            {
                install_signal_handlers();
                testing::internal::CaptureStdout();
                write_pass(BLOCK_SIZE);
                raise(signal_number);
                _exit(0);
            },
            testing::KilledBySignal(signal_number), "");
        EXPECT_FALSE(file_exists(SCRATCH_FILE)) << strsignal(signal_number);
    }

    // A file this run has not created or taken over is not its to remove.
    write_file(SCRATCH_FILE, "leftover");
    EXPECT_EXIT(
        {
            install_signal_handlers();
            raise(SIGTERM);
            _exit(0);
        },
        testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(read_file(SCRATCH_FILE), "leftover");
}

TEST_F(Preflight, IgnoredHangupStaysIgnored)
{
    EXPECT_EXIT(
        {
            signal(SIGHUP, SIG_IGN);
            install_signal_handlers();
            raise(SIGHUP);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Preflight, MissingDirectoryIsRefused)
{
    EXPECT_EXIT(enter_directory("/nonexistent/ovrel"), testing::ExitedWithCode(1),
                "^Cannot use directory /nonexistent/ovrel: No such file or directory\n$");
    write_file("plain", "");
    EXPECT_EXIT(enter_directory("plain"), testing::ExitedWithCode(1), "^Cannot use directory plain: Not a directory\n$");
}

TEST_F(Preflight, DirectIoProbeLeavesNothingBehind)
{
    const std::string mount_point = dir_.path + "/ram";
    if (!try_mount("ramfs", mount_point, nullptr))
        SKIP_OR_FAIL("cannot mount a ramfs here (needs root on Linux)");
    ASSERT_EQ(chdir(mount_point.c_str()), 0);
    EXPECT_EXIT(check_direct_io("/the/dir"), testing::ExitedWithCode(1),
                "^Direct I/O is not supported by the file system of /the/dir: Invalid argument\n$");
    EXPECT_EQ(rmdir(mount_point.c_str()), -1) << "still mounted";
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    unmount(mount_point);
    EXPECT_EQ(rmdir(mount_point.c_str()), 0) << "the probe file was left in the file system";
}

TEST_F(Preflight, DirectIoOnTmpfsIsTakenWithAWarning)
{
    const std::string mount_point = dir_.path + "/tmp";
    if (!try_mount("tmpfs", mount_point, "size=8m"))
        SKIP_OR_FAIL("cannot mount a tmpfs here (needs root on Linux)");
    ASSERT_EQ(chdir(mount_point.c_str()), 0);
    const int fd = open("probe", O_WRONLY | O_CREAT | O_DIRECT, 0600);
    unlink("probe");
    if (fd < 0) {
        ASSERT_EQ(chdir(dir_.path.c_str()), 0);
        unmount(mount_point);
        GTEST_SKIP() << "this kernel's tmpfs refuses O_DIRECT (before Linux 6.6)";
    }
    close(fd);
    EXPECT_EXIT(
        {
            check_direct_io("/the/dir");
            exit(0);
        },
        testing::ExitedWithCode(0), "^Warning: tmpfs may cache the file despite direct I/O");
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    unmount(mount_point);
}

} // namespace

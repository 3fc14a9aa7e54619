#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "disktest/scratch.h"
#include "driver/safety.h"
#include "support.h"

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

using Safety = TempDirTest;

RunParameters with_file_size(uint64_t file_size)
{
    RunParameters parameters = parameters_for_memory(uint64_t{1} << 30);
    parameters.file_size = file_size;
    return parameters;
}

TEST_F(Safety, ScratchFileLargerThanTheDiskIsRefused)
{
    EXPECT_EXIT(check_free_space(with_file_size(uint64_t{100000} << 30)), testing::ExitedWithCode(1),
                "^Not enough free space: the scratch file needs 100000\\.00 GiB, [0-9.]+ [KMGT]?i?B is available\\.\n$");
}

TEST_F(Safety, FreeSpaceCountsWholeBlocksAndTheLeftoverFile)
{
    const std::string mount_point = dir_.path + "/small";
    if (!try_mount("tmpfs", mount_point, "size=12m"))
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root on Linux)";
    ASSERT_EQ(chdir(mount_point.c_str()), 0);
    check_free_space(with_file_size(12 * MiB + 3));  // three whole blocks fit exactly
    EXPECT_EXIT(check_free_space(with_file_size(16 * MiB)), testing::ExitedWithCode(1),
                "^Not enough free space: the scratch file needs 16\\.00 MiB, 12\\.00 MiB is available\\.\n$");
    write_file(SCRATCH_FILE, std::string(8 * MiB, 'x'));
    check_free_space(with_file_size(12 * MiB));  // 4 MiB free and 8 MiB of our own
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    unmount(mount_point);
}

TEST_F(Safety, SignalRemovesThisRunsScratchFileAndKills)
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        write_file(SCRATCH_FILE, "partial");
        EXPECT_EXIT(
            {
                install_signal_handlers();
                scratch_file_live = 1;
                raise(signal_number);
                _exit(0);
            },
            testing::KilledBySignal(signal_number), "");
        EXPECT_FALSE(file_exists(SCRATCH_FILE)) << strsignal(signal_number);
    }

    // A file this run has not opened yet is not this run's to remove.
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

TEST_F(Safety, IgnoredHangupStaysIgnored)
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

TEST_F(Safety, MissingDirectoryIsRefused)
{
    EXPECT_EXIT(enter_directory("/nonexistent/ovrel"), testing::ExitedWithCode(1),
                "^Cannot use directory /nonexistent/ovrel: No such file or directory\n$");
    write_file("plain", "");
    EXPECT_EXIT(enter_directory("plain"), testing::ExitedWithCode(1),
                "^Cannot use directory plain: Not a directory\n$");
}

TEST_F(Safety, DirectIoProbeLeavesNothingBehind)
{
    const std::string mount_point = dir_.path + "/ram";
    if (!try_mount("ramfs", mount_point, nullptr))
        GTEST_SKIP() << "cannot mount a ramfs here (needs root on Linux)";
    ASSERT_EQ(chdir(mount_point.c_str()), 0);
    EXPECT_EXIT(check_direct_io("/the/dir"), testing::ExitedWithCode(1),
                "^Direct I/O is not supported by the file system of /the/dir: Invalid argument\n$");
    EXPECT_EQ(rmdir(mount_point.c_str()), -1) << "still mounted";
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    unmount(mount_point);
    EXPECT_EQ(rmdir(mount_point.c_str()), 0) << "the probe file was left in the file system";
}

} // namespace

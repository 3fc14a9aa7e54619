#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "measure/visible.h"
#include "sysreport/report.h"
#include "support.h"

namespace {

// The lines the program prints itself, in order, with what the commands
// print anywhere between them.
TEST(SystemReport, OwnLinesInOrderEvenWhenRedirected)
{
    const ScopedTempDir dir = enter_temp_dir();
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.file_size = uint64_t{1} << 30;
    // Captured output is a file, where only the flushes keep the order.
    testing::internal::CaptureStdout();
    print_system_report(parameters);
    const std::string output = testing::internal::GetCapturedStdout();
    leave_temp_dir(dir);

    const std::vector<std::string> lines = split_lines(output);
    const std::vector<std::string> own = {
        "Hostname =\t.+",
        "System =\t\\S+ \\S+ \\S+",
        "Compiler =\tcc",
        "RAM =\t\t16384 MiB",
        "",
        "File size =\t1024 MiB",
        "CWD =\t\t" + dir.path,
        "Date/time =\t.*[0-9]{4}.*",
        "",
        "Disk hardware:",
        "",
        "Mount options:",
        "",
        "Disk free:",
    };
    size_t next = 0;
    for (const std::string& line : lines)
        if (next < own.size() && std::regex_match(line, std::regex(own[next])))
            ++next;
    EXPECT_EQ(next, own.size()) << "missing or out of order: " << (next < own.size() ? own[next] : "")
                                << "\n" << output;
    EXPECT_EQ(output.back(), '\n');
    // Headings stand between empty lines.
    for (const char* heading : {"\nDisk hardware:\n\n", "\nMount options:\n\n", "\nDisk free:\n\n"})
        EXPECT_NE(output.find(std::string("\n") + heading), std::string::npos) << heading;
    EXPECT_EQ(output.find("Direct I/O"), std::string::npos);
    // What df prints (its header names the file system) comes after the
    // heading it belongs under, not before: the flushes keep the order.
    const size_t heading = output.find("\nDisk free:\n");
    const size_t df_header = output.find("Filesystem", heading == std::string::npos ? 0 : heading);
    ASSERT_NE(heading, std::string::npos);
    EXPECT_NE(df_header, std::string::npos) << "df's header is not after \"Disk free:\"\n" << output;
    EXPECT_EQ(output.find("Filesystem"), df_header) << "df's header came before its heading";
}

// What was asked for is said, and the program's own lines follow the date:
// "File size =", "CWD =" and "Date/time =" stay together, as parsers expect.
TEST(SystemReport, SaysWhatWasAskedForAfterTheDate)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.direct_io = true;
    parameters.cold = true;
    parameters.file_size = 1020 * (uint64_t{1} << 20);
    parameters.file_size_rounded = "1023M";
    testing::internal::CaptureStdout();
    print_system_report(parameters);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_search(output, std::regex("\nFile size =\t1020 MiB \\(1023M rounded down to whole 4 MiB "
                                                     "blocks\\)\nCWD =\t\t[^\n]+\nDate/time =\t[^\n]+\n"
                                                     "Direct I/O =\trequested \\(O_DIRECT\\)\nCold =\t\t[^\n]+\n"
                                                     "I/O witness =\t[^\n]+\n")))
        << output;
}

TEST(SystemReport, NamesAreEscaped)
{
    const ScopedTempDir dir = enter_temp_dir();
    const std::string crafted = dir.path + "/x\n  999.00 GiB write       4.00 MiB blocks 1.00 ms 999999.00 MiBps\n\033[2J";
    ASSERT_EQ(mkdir(crafted.c_str(), 0700), 0);
    ASSERT_EQ(chdir(crafted.c_str()), 0);
    testing::internal::CaptureStdout();
    print_system_report(parameters_for_memory(uint64_t{1} << 30));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("CWD =\t\t" + dir.path + "/x\\n  999.00 GiB write"), std::string::npos) << output;
    EXPECT_NE(output.find("MiBps\\n\\033[2J\n"), std::string::npos) << output;
    for (const std::string& line : split_lines(output))
        EXPECT_NE(line.rfind("  999.00 GiB", 0), 0u) << "a forged line stands alone";
    leave_temp_dir(dir);
}

TEST(Visible, ControlCharactersBecomeEscapes)
{
    const std::pair<std::string, std::string> rows[] = {
        {"plain /srv/data", "plain /srv/data"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {"back\\slash", "back\\\\slash"},
        {"\033[31m", "\\033[31m"},
        {std::string("nul\0x", 5), "nul\\000x"},
        {"\x7f", "\\177"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 is printable text
    };
    for (const auto& row : rows)
        EXPECT_EQ(visible(row.first), row.second);
}

TEST(Notice, ReadsExactlyOneCharacter)
{
    const ScopedTempDir dir = enter_temp_dir();
    write_file("keys", "ab");
    EXPECT_EXIT(
        {
            if (freopen("keys", "r", stdin) == nullptr || freopen("/dev/null", "w", stdout) == nullptr)
                _exit(98);
            print_notice(true);
            _exit(getc(stdin) == 'b' ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    leave_temp_dir(dir);
}

TEST(MachineInfo, FillsEveryField)
{
    const MachineInfo info = machine_info();
    EXPECT_FALSE(info.host_name.empty());
    EXPECT_NE(info.system, "unknown");
    EXPECT_NE(info.architecture, "unknown");
    EXPECT_GT(info.logical_cpus, 0);
    EXPECT_EQ(info.directory, working_directory());
    // Inside a chroot the directory's mount is not in the mount table, and
    // "unknown" is then the right answer. Only a root known to be the
    // system's own (init's, where /proc lets us see it) must find the mount.
    struct stat root;
    struct stat init_root;
    const bool system_root = stat("/", &root) == 0 && stat("/proc/1/root/.", &init_root) == 0 &&
                             root.st_dev == init_root.st_dev && root.st_ino == init_root.st_ino;
    if (system_root) {
        EXPECT_NE(info.fs_type, "unknown");
        EXPECT_NE(info.fs_device, "unknown");
        EXPECT_NE(info.fs_options, "unknown");
    }
}

// A ZFS data set's properties come from zfs get, the name passed as one
// argument (no shell sees it); no zfs, or a failing one, gives nothing.
TEST(ZfsProperties, ReadFromZfsGet)
{
    const ScopedTempDir dir = enter_temp_dir();
    const std::string saved_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    ASSERT_EQ(mkdir("bin", 0700), 0);
    write_file("bin/zfs", "#!/bin/sh\nprintf '%s' \"$6\" > asked\n"
                          "printf 'recordsize\\t128K\\ncompression\\tlz4\\ndedup\\toff\\n'\n");
    ASSERT_EQ(chmod("bin/zfs", 0700), 0);
    setenv("PATH", (dir.path + "/bin").c_str(), 1);
    const std::string hostile = "tank/data; touch PWNED";
    EXPECT_EQ(zfs_properties(hostile), "recordsize=128K, compression=lz4, dedup=off");
    EXPECT_EQ(read_file("asked"), hostile);
    EXPECT_FALSE(file_exists("PWNED"));
    write_file("bin/zfs", "#!/bin/sh\necho 'cannot open' >&2\nexit 1\n");
    EXPECT_EQ(zfs_properties("tank"), "");
    setenv("PATH", (dir.path + "/nowhere").c_str(), 1);
    EXPECT_EQ(zfs_properties("tank"), "");
    setenv("PATH", saved_path.c_str(), 1);
    leave_temp_dir(dir);
}

} // namespace

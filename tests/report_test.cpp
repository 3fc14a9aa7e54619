#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
}

TEST(SystemReport, SaysWhenDirectIoIsUsed)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.direct_io = true;
    testing::internal::CaptureStdout();
    print_system_report(parameters);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("\nFile size =\t32768 MiB\nDirect I/O =\tyes (the page cache is bypassed)\nCWD =\t\t"),
              std::string::npos)
        << output;
}

TEST(Notice, ReadsExactlyOneCharacter)
{
    const ScopedTempDir dir = enter_temp_dir();
    write_file("keys", "ab");
    EXPECT_EXIT(
        {
            if (freopen("keys", "r", stdin) == nullptr || freopen("/dev/null", "w", stdout) == nullptr)
                _exit(98);
            print_notice();
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
    EXPECT_NE(info.fs_type, "unknown");
    EXPECT_NE(info.fs_device, "unknown");
}

} // namespace

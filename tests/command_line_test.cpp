#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "driver/run_parameters.h"

namespace {

constexpr uint64_t GiB = uint64_t{1} << 30;

struct ParseCase {
    std::vector<const char*> words;  // the whole vector, program name first
    int32_t trials;
    uint64_t file_size;
};

RunParameters parse(std::vector<const char*> words)
{
    RunParameters parameters = parameters_for_memory(16 * GiB);
    words.push_back(nullptr);
    parse_command_line(static_cast<int>(words.size()) - 1, const_cast<char**>(words.data()),
                       parameters);
    return parameters;
}

TEST(CommandLine, OptionsThatRun)
{
    const ParseCase cases[] = {
        {{"ovrel-bench"}, 3, 32 * GiB},
        {{"ovrel-bench", "--file-size", "8"}, 3, 8 * GiB},
        {{"ovrel-bench", "--file-size", "0"}, 3, 0},
        {{"ovrel-bench", "--trials", "2", "--trials", "5"}, 5, 32 * GiB},
        {{"ovrel-bench", "--trials", " +7x"}, 7, 32 * GiB},
        {{"ovrel-bench", "--file-size", "1.5"}, 3, 1 * GiB},
        {{"ovrel-bench", "--file-size", "abc"}, 3, 0},
        {{"ovrel-bench", "--trials", "2147483647"}, 2147483647, 32 * GiB},
        {{"ovrel-bench", "--file-size", "2147483647"}, 3, uint64_t{2147483647} * GiB},
        {{"ovrel-bench", "bogus", "--TRIALS", "9", "-trials"}, 3, 32 * GiB},
        // A value is never itself read as an option.
        {{"ovrel-bench", "--directory", "--trials", "--file-size", "2"}, 3, 2 * GiB},
    };
    for (const ParseCase& c : cases) {
        const RunParameters parameters = parse(c.words);
        EXPECT_EQ(parameters.trials, c.trials) << c.words.size() << " words, " << c.words.back();
        EXPECT_EQ(parameters.file_size, c.file_size) << c.words.back();
    }
}

TEST(CommandLine, NewOptionsAreRecorded)
{
    const RunParameters parameters =
        parse({"ovrel-bench", "--directory", "/srv", "--export-json", "out.json", "--direct"});
    EXPECT_STREQ(parameters.directory, "/srv");
    EXPECT_STREQ(parameters.export_json, "out.json");
    EXPECT_TRUE(parameters.direct_io);
    EXPECT_FALSE(parse({"ovrel-bench"}).direct_io);
}

struct ExitCase {
    std::vector<const char*> words;
    int status;
    const char* stderr_pattern;
};

TEST(CommandLine, OptionsThatEndTheRun)
{
    const char* const usage = "Usage: ovrel-bench \\[--help\\] \\[--trials N\\] \\[--file-size GiB\\]\n"
                              " +\\[--directory DIR\\] \\[--direct\\] \\[--export-json FILE\\] \\[--version\\]\n$";
    const std::string with_usage = std::string("\n") + usage;
    const ExitCase cases[] = {
        {{"ovrel-bench", "--help"}, 64, usage},
        {{"ovrel-bench", "--trials", "4", "--help"}, 64, usage},
        {{"--help"}, 64, "^Usage: --help "},
        {{"ovrel-bench", "--trials"}, 64, "^Missing value for --trials\nUsage: ovrel-bench "},
        {{"ovrel-bench", "--file-size"}, 64, "^Missing value for --file-size\nUsage: "},
        {{"ovrel-bench", "--export-json"}, 64, "^Missing value for --export-json\n"},
        {{"ovrel-bench", "--trials", "0"}, 64, "^Invalid number of trials: 0\nUsage: "},
        {{"ovrel-bench", "--trials", "-2"}, 64, "^Invalid number of trials: -2\n"},
        {{"ovrel-bench", "--trials", "many"}, 64, "^Invalid number of trials: many\n"},
        {{"ovrel-bench", "--trials", "--help"}, 64, "^Invalid number of trials: --help\n"},
        {{"ovrel-bench", "--trials", "2147483648"}, 64, "^Invalid number of trials: 2147483648\n"},
        {{"ovrel-bench", "--trials", "99999999999999999999"}, 64, "^Invalid number of trials: 9+\n"},
        {{"ovrel-bench", "--file-size", "-1"}, 64, "^Invalid file size: -1\nUsage: "},
        {{"ovrel-bench", "--file-size", "4294967296"}, 64, "^Invalid file size: 4294967296\n"},
    };
    for (const ExitCase& c : cases)
        EXPECT_EXIT(parse(c.words), testing::ExitedWithCode(c.status), c.stderr_pattern)
            << c.words.back();
}

TEST(CommandLine, HelpWritesNothingOnStandardOutput)
{
    testing::internal::CaptureStdout();
    EXPECT_EXIT(parse({"ovrel-bench", "--help"}), testing::ExitedWithCode(64), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CommandLine, EmptyArgumentVectorStillHasAName)
{
    char* empty[] = {nullptr};
    EXPECT_EXIT(print_usage(empty), testing::ExitedWithCode(64), "^Usage: ovrel-bench \\[--help\\]");
}

TEST(CommandLine, VersionGoesToStandardOutput)
{
    EXPECT_EXIT(
        {
            parse({"ovrel-bench", "--version"});
        },
        testing::ExitedWithCode(0), "");
}

TEST(RunParameters, SizesFollowTheMemory)
{
    struct Row {
        uint64_t phys_mem, file_size, large_array_size;
    };
    const Row rows[] = {
        {16 * GiB, 32 * GiB, 2 * GiB},
        {2 * GiB, 4 * GiB, 1536 * (uint64_t{1} << 20)},
        // Exactly the cap from below and far above it.
        {(8 * GiB) / 3 + 1, 2 * ((8 * GiB) / 3 + 1), 2 * GiB},
        {1024 * GiB, 2048 * GiB, 2 * GiB},
        {0, 0, 0},
    };
    for (const Row& row : rows) {
        const RunParameters parameters = parameters_for_memory(row.phys_mem);
        EXPECT_EQ(parameters.file_size, row.file_size) << row.phys_mem;
        EXPECT_EQ(parameters.large_array_size, row.large_array_size) << row.phys_mem;
        EXPECT_EQ(parameters.trials, 3);
    }
    const RunParameters here = init_run_parameters();
    EXPECT_GT(here.phys_mem, 0u);
    EXPECT_EQ(here.phys_mem % 4096, 0u);
    EXPECT_EQ(here.file_size, 2 * here.phys_mem);
}

} // namespace

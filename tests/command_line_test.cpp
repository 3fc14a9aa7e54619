#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/command_line.h"
#include "run/run_parameters.h"

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t GiB = uint64_t{1} << 30;

RunParameters parse(std::vector<const char*> words)
{
    RunParameters parameters = parameters_for_memory(16 * GiB);
    words.push_back(nullptr);
    parse_command_line(static_cast<int>(words.size()) - 1, const_cast<char**>(words.data()), parameters);
    return parameters;
}

struct ParseCase {
    std::vector<const char*> words;  // the whole vector, program name first
    int32_t trials;
    uint64_t file_size;
    const char* rounded;  // what the report shows as rounded down, or null
};

TEST(CommandLine, OptionsThatRun)
{
    const ParseCase cases[] = {
        {{"ovrel-bench"}, 3, 32 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "8"}, 3, 8 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "0"}, 3, 0, nullptr},
        {{"ovrel-bench", "--file-size=1"}, 3, 1 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "512M"}, 3, 512 * MiB, nullptr},
        {{"ovrel-bench", "--file-size", "2G"}, 3, 2 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "1t"}, 3, 1024 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "1023M"}, 3, 1020 * MiB, "1023M"},
        {{"ovrel-bench", "--file-size", "5000K"}, 3, 4 * MiB, "5000K"},
        {{"ovrel-bench", "--file-size", "17179869183G"}, 3, 17179869183 * GiB, nullptr},
        {{"ovrel-bench", "--trials", "2", "--trials", "5"}, 5, 32 * GiB, nullptr},
        {{"ovrel-bench", "--trials=1"}, 1, 32 * GiB, nullptr},
        {{"ovrel-bench", "--trials", "2147483647"}, 2147483647, 32 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "4M"}, 3, 4 * MiB, nullptr},
        {{"ovrel-bench", "--file-size", "0M"}, 3, 0, nullptr},
        {{"ovrel-bench", "--file-size", "4097K"}, 3, 4 * MiB, "4097K"},
        // A value is never itself read as an option.
        {{"ovrel-bench", "--directory", "--trials", "--file-size", "2"}, 3, 2 * GiB, nullptr},
        // A cold run's file is a quarter of the memory, unless given in
        // either order.
        {{"ovrel-bench", "--cold"}, 3, 4 * GiB, nullptr},
        {{"ovrel-bench", "--cold", "--file-size", "1G"}, 3, 1 * GiB, nullptr},
        {{"ovrel-bench", "--file-size", "0", "--cold"}, 3, 0, nullptr},
    };
    for (const ParseCase& c : cases) {
        const RunParameters parameters = parse(c.words);
        EXPECT_EQ(parameters.trials, c.trials) << c.words.size() << " words, " << c.words.back();
        EXPECT_EQ(parameters.file_size, c.file_size) << c.words.back();
        EXPECT_STREQ(parameters.file_size_rounded, c.rounded) << c.words.back();
    }
}

TEST(CommandLine, OtherOptionsAreRecorded)
{
    const RunParameters parameters = parse({"ovrel-bench", "--directory", "/srv", "--export-json=out.json", "--direct",
                                            "-y", "--label", "new disk", "--only", "disk"});
    EXPECT_STREQ(parameters.directory, "/srv");
    EXPECT_STREQ(parameters.export_json, "out.json");
    EXPECT_STREQ(parameters.label, "new disk");
    EXPECT_TRUE(parameters.direct_io);
    EXPECT_TRUE(parameters.assume_yes);
    EXPECT_EQ(parameters.phases, PHASE_DISK);
    EXPECT_EQ(parse({"ovrel-bench", "--only=memory"}).phases, PHASE_MEMORY);
    const RunParameters seeded = parse({"ovrel-bench", "--seed", "0"});
    EXPECT_TRUE(seeded.seed_given);
    EXPECT_EQ(seeded.seed, 0u);
    const RunParameters defaults = parse({"ovrel-bench"});
    EXPECT_FALSE(defaults.direct_io);
    EXPECT_FALSE(defaults.assume_yes);
    EXPECT_EQ(defaults.phases, PHASE_ALL);
    EXPECT_EQ(defaults.label, nullptr);
    EXPECT_FALSE(defaults.seed_given);
}

struct ExitCase {
    std::vector<const char*> words;
    int status;
    const char* stderr_pattern;
};

TEST(CommandLine, OptionsThatEndTheRun)
{
    // The first line stays as it always was; every option follows with its default.
    const char* const usage = "Usage: ovrel-bench \\[--help\\] \\[--trials N\\] \\[--file-size GiB\\]\n"
                              "Options:\n"
                              "  --help, -h +print this message and exit with status 64\n"
                              "  --trials N +run N trials, a whole number of at least 1 \\(default 3\\)\n"
                              "  --file-size SIZE +whole GiB \\(8\\) or 512M, 2G, 1T; at least 4M, or 0 .*"
                              "\\(default: twice the memory\\)\n"
                              "  --directory DIR +.*\\(default: the working directory\\)\n"
                              "  --only memory\\|disk +.*\\(default: both\\)\n"
                              "  --direct +.*\\(default: buffered\\)\n"
                              "  --cold +time each write to its fsync, .* a quarter of the memory unless given "
                              "\\(default: off\\)\n"
                              "  --cores N\\|all +.*\\(default: 1, unpinned\\)\n"
                              "  --jobs N +.*\\(default 1\\)\n"
                              "  --block-size SIZE +.*\\(default 4M\\)\n"
                              "  --yes, -y +.*\\(default: wait\\)\n"
                              "  --export-json FILE +.*\\(default: none\\)\n"
                              "  --label TEXT +.*\\(default: none\\)\n"
                              "  --seed N +replay .*\\(default: the clock\\)\n"
                              "  --version +print the version and exit\n$";
    const ExitCase cases[] = {
        {{"ovrel-bench", "--help"}, 64, usage},
        {{"ovrel-bench", "-h"}, 64, usage},
        {{"ovrel-bench", "--trials", "4", "--help"}, 64, usage},
        {{"--help"}, 64, "^Usage: --help "},
        // Typos that would otherwise start the full default run.
        {{"ovrel-bench", "--filesize", "1"}, 64, "^Unknown option: --filesize\nUsage: ovrel-bench "},
        {{"ovrel-bench", "-s", "1"}, 64, "^Unknown option: -s\nUsage: "},
        {{"ovrel-bench", "--TRIALS", "9"}, 64, "^Unknown option: --TRIALS\n"},
        {{"ovrel-bench", "--direct=yes"}, 64, "^Unknown option: --direct=yes\n"},
        {{"ovrel-bench", "-"}, 64, "^Unknown option: -\n"},
        {{"ovrel-bench", "--trials"}, 64, "^Missing value for --trials\nUsage: ovrel-bench "},
        {{"ovrel-bench", "--file-size"}, 64, "^Missing value for --file-size\nUsage: "},
        {{"ovrel-bench", "--export-json"}, 64, "^Missing value for --export-json\n"},
        {{"ovrel-bench", "--trials", "0"}, 64, "^Invalid number of trials: 0\nUsage: "},
        {{"ovrel-bench", "--trials", "-2"}, 64, "^Invalid number of trials: -2\n"},
        {{"ovrel-bench", "--trials", "many"}, 64, "^Invalid number of trials: many\n"},
        {{"ovrel-bench", "--trials", " +7x"}, 64, "^Invalid number of trials:  \\+7x\n"},
        {{"ovrel-bench", "--trials", "3x"}, 64, "^Invalid number of trials: 3x\n"},
        {{"ovrel-bench", "--trials="}, 64, "^Invalid number of trials: \n"},
        {{"ovrel-bench", "--trials", "--help"}, 64, "^Invalid number of trials: --help\n"},
        {{"ovrel-bench", "--trials", "2147483648"}, 64, "^Invalid number of trials: 2147483648\n"},
        {{"ovrel-bench", "--trials", "99999999999999999999"}, 64, "^Invalid number of trials: 9+\n"},
        {{"ovrel-bench", "--file-size", "-1"}, 64, "^Invalid file size: -1\nUsage: "},
        {{"ovrel-bench", "--file-size", "0.5"}, 64, "^Invalid file size: 0\\.5\n"},
        {{"ovrel-bench", "--file-size", "abc"}, 64, "^Invalid file size: abc\n"},
        {{"ovrel-bench", "--file-size", "1x"}, 64, "^Invalid file size: 1x\n"},
        {{"ovrel-bench", "--file-size", ""}, 64, "^Invalid file size: \n"},
        {{"ovrel-bench", "--file-size", "M"}, 64, "^Invalid file size: M\n"},
        {{"ovrel-bench", "--file-size", "17179869184G"}, 64, "^Invalid file size: 17179869184G\n"},
        {{"ovrel-bench", "--only", "cpu"}, 64, "^Invalid value for --only: cpu \\(memory or disk\\)\n"},
        {{"ovrel-bench", "--seed", "4294967296"}, 64, "^Invalid seed: 4294967296 \\(a whole number below 4294967296\\)\n"},
        {{"ovrel-bench", "--seed", "-1"}, 64, "^Invalid seed: -1 "},
        // Under one block: nothing would be transferred, and the rates would be of nothing.
        {{"ovrel-bench", "--file-size", "3M"}, 64,
         "^File size 3M is less than one 4 MiB block: the smallest is 4M \\(or 0 for no transfer\\)\nUsage: "},
        {{"ovrel-bench", "--file-size", "1K"}, 64, "^File size 1K is less than one 4 MiB block"},
        {{"ovrel-bench", "--file-size", "4095K"}, 64, "^File size 4095K is less than one 4 MiB block"},
        // A stray word is most likely a directory meant for --directory.
        {{"ovrel-bench", "/"}, 64, "^Unexpected argument: / \\(to measure a directory: --directory /\\)\nUsage: "},
        {{"ovrel-bench", "--trials", "1", "bogus"}, 64, "^Unexpected argument: bogus\nUsage: "},
        // Options of the disk passes mean nothing without them.
        {{"ovrel-bench", "--only", "memory", "--direct"}, 64,
         "^--direct means nothing with --only memory: the run has no disk passes\nUsage: "},
        {{"ovrel-bench", "--file-size", "8", "--only=memory"}, 64, "^--file-size means nothing with --only memory"},
        {{"ovrel-bench", "--only", "memory", "--cold"}, 64, "^--cold means nothing with --only memory"},
        {{"ovrel-bench", "--directory", "/tmp", "--only", "memory"}, 64, "^--directory means nothing with --only memory"},
        // The width of the run: cores, jobs and block size.
        {{"ovrel-bench", "--cores", "0"}, 64, "^Invalid number of cores: 0 \\(a whole number from 1, or all\\)\nUsage: "},
        {{"ovrel-bench", "--cores", "two"}, 64, "^Invalid number of cores: two "},
        {{"ovrel-bench", "--cores", "1025"}, 64, "^Invalid number of cores: 1025 "},
        {{"ovrel-bench", "--cores", "1000"}, 64, "^--cores 1000: only [0-9]+ CPUs are online\n$"},
        {{"ovrel-bench", "--jobs", "0"}, 64, "^Invalid number of jobs: 0 \\(a whole number from 1 to 256\\)\nUsage: "},
        {{"ovrel-bench", "--jobs", "257"}, 64, "^Invalid number of jobs: 257 "},
        {{"ovrel-bench", "--block-size", "3K"}, 64, "^Invalid block size: 3K \\(a power of two from 4K to 64M\\)\nUsage: "},
        {{"ovrel-bench", "--block-size", "1G"}, 64, "^Invalid block size: 1G "},
        {{"ovrel-bench", "--block-size", "4k5"}, 64, "^Invalid block size: 4k5 "},
        {{"ovrel-bench", "--block-size", "2K"}, 64, "^Invalid block size: 2K "},
        {{"ovrel-bench", "--block-size", "4096"}, 64, "^Invalid block size: 4096 "},
        {{"ovrel-bench", "--block-size", "128M"}, 64, "^Invalid block size: 128M "},
        {{"ovrel-bench", "--block-size", "16M", "--file-size", "8M"}, 64,
         "^File size 8M is less than one block of --block-size 16.00 MiB\nUsage: "},
        {{"ovrel-bench", "--file-size", "8M", "--jobs", "4"}, 64,
         "^File size 8M gives each of the 4 jobs less than one block of 4.00 MiB\nUsage: "},
        {{"ovrel-bench", "--file-size", "2T", "--block-size", "4K"}, 64,
         "^A file of 2048.00 GiB in 4.00 KiB blocks needs 8.00 GiB to shuffle and time its blocks, more than a "
         "quarter of the memory; give a larger --block-size\nUsage: "},
        {{"ovrel-bench", "--jobs", "256", "--block-size", "64M"}, 64,
         "^256 jobs of 64.00 MiB blocks need 32.00 GiB of buffers, more than a quarter of the memory\nUsage: "},
        {{"ovrel-bench", "--cores", "1", "--only", "disk"}, 64,
         "^--cores means nothing with --only disk: the run has no memory sweeps\nUsage: "},
        {{"ovrel-bench", "--only", "memory", "--jobs", "2"}, 64, "^--jobs means nothing with --only memory"},
        {{"ovrel-bench", "--block-size", "4K", "--only", "memory"}, 64, "^--block-size means nothing with --only memory"},
    };
    for (const ExitCase& c : cases)
        EXPECT_EXIT(parse(c.words), testing::ExitedWithCode(c.status), c.stderr_pattern) << c.words.back();
}

TEST(CommandLine, RefusalsWriteNothingOnStandardOutput)
{
    for (const char* word : {"--help", "--bogus"}) {
        testing::internal::CaptureStdout();
        EXPECT_EXIT(parse({"ovrel-bench", word}), testing::ExitedWithCode(64), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

TEST(CommandLine, EmptyArgumentVectorStillHasAName)
{
    char* empty[] = {nullptr};
    EXPECT_EXIT(print_usage(empty), testing::ExitedWithCode(64), "^Usage: ovrel-bench \\[--help\\]");
}

TEST(RunParameters, SizesFollowTheMemory)
{
    struct Row {
        uint64_t phys_mem, file_size, large_array_size;
    };
    const Row rows[] = {
        {16 * GiB, 32 * GiB, 2 * GiB},
        {2 * GiB, 4 * GiB, 1536 * MiB},
        // Exactly the cap from below and far above it.
        {(8 * GiB) / 3 + 1, 2 * ((8 * GiB) / 3 + 1), 2 * GiB},
        {1024 * GiB, 2048 * GiB, 2 * GiB},
        {0, 0, 0},
    };
    // A cold file: a quarter of the memory in whole 4 MiB blocks, at least one.
    EXPECT_EQ(cold_file_size(16 * GiB), 4 * GiB);
    EXPECT_EQ(cold_file_size(16 * GiB + 20 * MiB), 4 * GiB + 4 * MiB);
    EXPECT_EQ(cold_file_size(8 * MiB), 4 * MiB);
    EXPECT_EQ(cold_file_size(0), 4 * MiB);
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

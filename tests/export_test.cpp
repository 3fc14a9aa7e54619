#include <cmath>
#include <glob.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "disktest/scratch.h"
#include "driver/json_export.h"
#include "measure/result.h"
#include "support.h"

namespace {

using nlohmann::json;

class Export : public TempDirTest {
protected:
    // A made-up run of two trials; the seek pass of trial 1 took 0 ms.
    json export_run(const char* path)
    {
        char* words[] = {const_cast<char*>("ovrel-bench"), const_cast<char*>("--trials"),
                         const_cast<char*>("2"), nullptr};
        const ExportTarget target = prepare_export(path, 3, words);
        RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
        parameters.trials = 2;
        parameters.file_size = uint64_t{1} << 30;
        std::vector<TrialTimes> times(2);
        TrialTotals totals{};
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < MEASUREMENT_COUNT; ++i)
                times[t].ms[i] = (i == 11 && t == 0) ? 0 : 1000 * (t + 1) + i;
        for (int k = 0; k < 4; ++k) {
            totals.small[k] = static_cast<uint64_t>(times[0].ms[k] + times[1].ms[k]);
            totals.large[k] = static_cast<uint64_t>(times[0].ms[4 + k] + times[1].ms[4 + k]);
        }
        totals.write = static_cast<uint64_t>(times[0].ms[8] + times[1].ms[8]);
        totals.read = static_cast<uint64_t>(times[0].ms[9] + times[1].ms[9]);
        totals.rewrite = static_cast<uint64_t>(times[0].ms[10] + times[1].ms[10]);
        totals.seek = static_cast<uint64_t>(times[0].ms[11] + times[1].ms[11]);
        EXPECT_TRUE(write_export(target, parameters, times, totals));
        return json::parse(read_file(target.path));
    }
};

TEST_F(Export, DocumentHoldsTrialsAveragesAndStatistics)
{
    const json document = export_run("run.json");
    EXPECT_EQ(document["program"], "ovrel-bench");
    EXPECT_EQ(document["version"], OVREL_VERSION);
    EXPECT_EQ(document["command_line"], json({"ovrel-bench", "--trials", "2"}));
    EXPECT_TRUE(std::regex_match(document["started_at"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
    EXPECT_EQ(document["machine"]["ram_bytes"], uint64_t{16} << 30);
    EXPECT_EQ(document["machine"]["directory"], dir_.path);
    EXPECT_EQ(document["parameters"]["block_bytes"], BLOCK_SIZE);
    EXPECT_EQ(document["parameters"]["large_array_bytes"], uint64_t{2} << 30);
    EXPECT_EQ(document["parameters"]["direct_io"], false);

    ASSERT_EQ(document["trials"].size(), 2u);
    const json& first = document["trials"][0]["measurements"];
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first[1]["id"], "small-2");
    EXPECT_EQ(first[1]["ms"], 1001);
    EXPECT_EQ(first[1]["block_bytes"], 2);
    EXPECT_EQ(first[10]["label"], "rewrite");
    EXPECT_TRUE(first[11]["mib_per_s"].is_null()) << "0 ms is an infinite rate";
    EXPECT_DOUBLE_EQ(document["trials"][1]["measurements"][8]["mib_per_s"].get<double>(),
                     1024.0 / 2.008);

    const json& averages = document["averages"];
    ASSERT_EQ(averages.size(), 12u);
    // (1008 + 2008) / 2 and (0 + 2011) / 2, truncated.
    EXPECT_EQ(averages[8]["ms"], 1508);
    EXPECT_EQ(averages[11]["ms"], 1005);
    EXPECT_EQ(averages[11]["line"].get<std::string>() + "\n",
              result_line(1005, "seek", uint64_t{1} << 30, 1, BLOCK_SIZE));

    const json& write = document["statistics"][8];
    EXPECT_EQ(write["id"], "write");
    EXPECT_DOUBLE_EQ(write["min_mib_per_s"].get<double>(), 1024.0 / 2.008);
    EXPECT_DOUBLE_EQ(write["max_mib_per_s"].get<double>(), 1024.0 / 1.008);
    EXPECT_NEAR(write["stddev_mib_per_s"].get<double>(), (1024.0 / 1.008 - 1024.0 / 2.008) / std::sqrt(2.0),
                1e-9);
    glob_t temporaries;
    EXPECT_EQ(glob(".ovrel-bench-export.*", 0, nullptr, &temporaries), GLOB_NOMATCH);
    globfree(&temporaries);
}

TEST_F(Export, BytesThatAreNotUtf8AreReplaced)
{
    const std::string odd = dir_.path + "/caf\xe9-\xff";
    ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
    ASSERT_EQ(chdir(odd.c_str()), 0);
    const json document = export_run("run.json");
    EXPECT_EQ(document["machine"]["directory"], dir_.path + "/caf\xef\xbf\xbd-\xef\xbf\xbd");
}

TEST_F(Export, RelativePathStaysWhereTheRunStarted)
{
    char* words[] = {const_cast<char*>("ovrel-bench"), nullptr};
    const ExportTarget target = prepare_export("out.json", 1, words);
    EXPECT_EQ(target.path, dir_.path + "/out.json");
}

TEST_F(Export, UnwritablePathIsRefusedUpFront)
{
    char* words[] = {const_cast<char*>("ovrel-bench"), nullptr};
    EXPECT_EXIT(prepare_export("/nonexistent/out.json", 1, words), testing::ExitedWithCode(1),
                "^Cannot write /nonexistent/out\\.json: No such file or directory\n$");
    ASSERT_EQ(mkdir("taken", 0700), 0);
    EXPECT_EXIT(prepare_export("taken", 1, words), testing::ExitedWithCode(1),
                "^Cannot write taken: Is a directory\n$");
}

} // namespace

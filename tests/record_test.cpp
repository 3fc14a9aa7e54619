#include <cmath>
#include <functional>
#include <glob.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "driver/export.h"
#include "measure/result.h"
#include "record/run_record.h"
#include "support.h"

namespace {

using json = nlohmann::ordered_json;

RunParameters two_trial_parameters()
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.trials = 2;
    parameters.file_size = uint64_t{1} << 30;
    return parameters;
}

// A made-up run of two trials; the seek pass of trial 1 took 0 ms. Each
// measurement took 400 us beyond its whole milliseconds, and its witness
// holds the read pass's page-cache verdict.
std::vector<TrialTimes> two_trials()
{
    std::vector<TrialTimes> times(2);
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < MEASUREMENT_COUNT; ++i) {
            times[t].ms[i] = (i == 11 && t == 0) ? 0 : 1000 * (t + 1) + i;
            times[t].us[i] = times[t].ms[i] * 1000 + 400;
            times[t].witness[i].others_runnable[0] = times[t].witness[i].others_runnable[1] = -1;
        }
    Witness& read = times[0].witness[9];
    read.device_known = true;
    read.device_read_bytes = 4096;
    read.has_blocks = true;
    read.block_us = BlockLatency{3900, 4100, 5000};
    read.disturbed = DISTURBED_PAGE_CACHE;
    // large-8's sweeps, the first paying for the fresh pages.
    for (TrialTimes& trial : times) {
        trial.sweeps_timed[7] = 8;
        for (int i = 0; i < 8; ++i)
            trial.sweep_us[7][i] = i == 0 ? 600000 : 50000;
    }
    return times;
}

class Record : public TempDirTest {
protected:
    RunRecord make(const RunParameters& parameters, const char* path = "run.json", bool complete = true)
    {
        char* words[] = {const_cast<char*>("ovrel-bench"), const_cast<char*>("--trials"),
                         const_cast<char*>("2"), nullptr};
        target_ = prepare_export(path, nullptr, 3, words);
        mark_export_started(&target_);
        std::vector<TrialTimes> times = two_trials();
        if (!complete)
            times.pop_back();
        return make_run_record(target_, parameters, times, 12345);
    }

    json exported(const RunParameters& parameters, const char* path = "run.json")
    {
        EXPECT_TRUE(write_export(target_, make(parameters, path)));
        return json::parse(read_file(target_.path));
    }

    ExportTarget target_;
};

TEST_F(Record, DocumentHoldsTrialsAveragesAndStatistics)
{
    RunParameters parameters = two_trial_parameters();
    parameters.label = "new disk";
    const json document = exported(parameters);
    EXPECT_EQ(document["program"], "ovrel-bench");
    EXPECT_EQ(document["schema_version"], RECORD_SCHEMA_VERSION);
    EXPECT_EQ(document["version"], OVREL_VERSION);
    EXPECT_NE(document["compiler"].get<std::string>(), "");
    EXPECT_EQ(document["label"], "new disk");
    EXPECT_EQ(document["seed"], 12345);
    EXPECT_EQ(document["complete"], true);
    EXPECT_EQ(document["command_line"], json({"ovrel-bench", "--trials", "2"}));
    const std::regex stamp("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    EXPECT_TRUE(std::regex_match(document["started_at"].get<std::string>(), stamp));
    EXPECT_TRUE(std::regex_match(document["ended_at"].get<std::string>(), stamp));
    EXPECT_EQ(document["machine"]["ram_bytes"], uint64_t{16} << 30);
    EXPECT_EQ(document["machine"]["directory"], dir_.path);
    EXPECT_TRUE(document["machine"]["fs_options"].is_string());
    EXPECT_EQ(document["parameters"]["block_bytes"], BLOCK_SIZE);
    EXPECT_EQ(document["parameters"]["large_array_bytes"], uint64_t{2} << 30);
    EXPECT_EQ(document["parameters"]["direct_io"], false);
    EXPECT_EQ(document["parameters"]["phases"], json({"memory", "disk"}));

    ASSERT_EQ(document["trials"].size(), 2u);
    const json& first = document["trials"][0]["measurements"];
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first[1]["id"], "small-2");
    EXPECT_EQ(first[1]["ms"], 1001);
    EXPECT_EQ(first[1]["block_bytes"], 2);
    EXPECT_EQ(first[10]["label"], "rewrite");
    EXPECT_TRUE(first[11]["mib_per_s"].is_null()) << "0 ms is an infinite rate";
    EXPECT_DOUBLE_EQ(document["trials"][1]["measurements"][8]["mib_per_s"].get<double>(), 1024.0 / 2.008);

    const json& averages = document["averages"];
    ASSERT_EQ(averages.size(), 12u);
    // (1008 + 2008) / 2 and (0 + 2011) / 2, truncated.
    EXPECT_EQ(averages[8]["ms"], 1508);
    EXPECT_EQ(averages[11]["ms"], 1005);
    EXPECT_EQ(averages[11]["line"].get<std::string>() + "\n", result_line(1005, "seek", uint64_t{1} << 30, 1, BLOCK_SIZE));

    // Each trial measurement carries its microseconds and its witness.
    EXPECT_EQ(first[1]["us"], 1001400);
    const json& read = first[9]["witness"];
    EXPECT_EQ(read["device_read_bytes"], 4096);
    EXPECT_TRUE(read["steal_us"].is_null());
    EXPECT_EQ(read["others_runnable"], json({nullptr, nullptr}));
    EXPECT_EQ(read["block_us"], json({{"p50", 3900}, {"p99", 4100}, {"max", 5000}}));
    EXPECT_EQ(read["disturbed"], json({"page-cache"}));
    EXPECT_FALSE(first[1]["witness"].contains("block_us")) << "a memory sweep moves no blocks";
    EXPECT_FALSE(averages[1].contains("us"));

    // The statistics are those of the microseconds, finer than the lines.
    const json& write = document["statistics"][8];
    EXPECT_EQ(write["id"], "write");
    EXPECT_DOUBLE_EQ(write["min_mib_per_s"].get<double>(), 1024.0 / 2.0084);
    EXPECT_DOUBLE_EQ(write["max_mib_per_s"].get<double>(), 1024.0 / 1.0084);
    EXPECT_NEAR(write["stddev_mib_per_s"].get<double>(), (1024.0 / 1.0084 - 1024.0 / 2.0084) / std::sqrt(2.0), 1e-9);
    glob_t temporaries;
    EXPECT_EQ(glob(".ovrel-bench-export.*", 0, nullptr, &temporaries), GLOB_NOMATCH);
    globfree(&temporaries);
}

TEST_F(Record, OnlyThePhasesThatRan)
{
    RunParameters parameters = two_trial_parameters();
    parameters.phases = PHASE_DISK;
    const json document = exported(parameters);
    EXPECT_EQ(document["parameters"]["phases"], json({"disk"}));
    ASSERT_EQ(document["trials"][0]["measurements"].size(), 4u);
    EXPECT_EQ(document["trials"][0]["measurements"][0]["id"], "write");
    EXPECT_EQ(document["averages"].size(), 4u);
    RunRecord back;
    std::string error;
    EXPECT_TRUE(record_from_json(read_file(target_.path), &back, &error)) << error;
}

TEST_F(Record, RoundTrip)
{
    for (bool complete : {true, false}) {
        const RunRecord written = make(two_trial_parameters(), "run.json", complete);
        const std::string text = record_to_json(written);
        RunRecord back;
        std::string error;
        ASSERT_TRUE(record_from_json(text, &back, &error)) << error;
        EXPECT_EQ(record_to_json(back), text);
        EXPECT_EQ(back.complete, complete);
        EXPECT_EQ(back.trials.size(), complete ? 2u : 1u);
        EXPECT_EQ(back.seed, 12345u);
        EXPECT_EQ(back.trials[0].measurements[3].ms, 1003u);
        EXPECT_TRUE(std::isnan(back.trials[0].measurements[11].mib_per_s));
        EXPECT_EQ(back.machine.directory, dir_.path);
        EXPECT_EQ(back.trials[0].measurements[7].sweep_us,
                  (std::vector<int64_t>{600000, 50000, 50000, 50000, 50000, 50000, 50000, 50000}));
        EXPECT_TRUE(back.trials[0].measurements[6].sweep_us.empty());
    }
}

// A record of version 1 (whole milliseconds, no witness) still reads.
TEST_F(Record, VersionOneStillReads)
{
    json document = json::parse(record_to_json(make(two_trial_parameters())));
    document["schema_version"] = 1;
    for (const char* key : {"cold", "cores", "jobs"})
        document["parameters"].erase(key);
    for (json& trial : document["trials"])
        for (json& item : trial["measurements"]) {
            item.erase("us");
            item.erase("witness");
        }
    RunRecord back;
    std::string error;
    ASSERT_TRUE(record_from_json(document.dump(), &back, &error)) << error;
    EXPECT_EQ(back.schema_version, 1);
    EXPECT_FALSE(back.trials[0].measurements[0].has_us);
    EXPECT_FALSE(back.trials[0].measurements[0].has_witness);
    EXPECT_EQ(back.trials[1].measurements[8].ms, 2008u);
    EXPECT_FALSE(back.parameters.cold);
}

// Version 2 had no cold runs: its records read as not cold. A cold read's
// resident bytes come back as written.
TEST_F(Record, VersionTwoIsNotColdAndResidentBytesRoundTrip)
{
    RunRecord cold = make(two_trial_parameters());
    cold.parameters.cold = true;
    cold.trials[0].measurements[9].has_witness = true;
    cold.trials[0].measurements[9].witness.has_resident = true;
    cold.trials[0].measurements[9].witness.resident_bytes = uint64_t{3} << 28;
    RunRecord back;
    std::string error;
    ASSERT_TRUE(record_from_json(record_to_json(cold), &back, &error)) << error;
    EXPECT_TRUE(back.parameters.cold);
    EXPECT_TRUE(back.trials[0].measurements[9].witness.has_resident);
    EXPECT_EQ(back.trials[0].measurements[9].witness.resident_bytes, uint64_t{3} << 28);
    EXPECT_FALSE(back.trials[0].measurements[8].witness.has_resident);

    json document = json::parse(record_to_json(cold));
    document["schema_version"] = 2;
    for (const char* key : {"cold", "cores", "jobs"})
        document["parameters"].erase(key);
    document["trials"][0]["measurements"][9]["witness"].erase("resident_bytes");
    ASSERT_TRUE(record_from_json(document.dump(), &back, &error)) << error;
    EXPECT_FALSE(back.parameters.cold);
}

// A run of several workers and jobs keeps its width, its block and each
// worker's and job's time; the reader holds them to the run.
TEST_F(Record, WideRunKeepsItsWidthAndEachWorkersTime)
{
    RunParameters parameters = two_trial_parameters();
    static const int32_t cpus[] = {0, 1};
    parameters.cores = 2;
    parameters.cpus = cpus;
    parameters.jobs = 3;
    parameters.block_size = 4096;
    char* words[] = {const_cast<char*>("ovrel-bench"), nullptr};
    target_ = prepare_export("wide.json", nullptr, 1, words);
    mark_export_started(&target_);
    std::vector<TrialTimes> times = two_trials();
    for (TrialTimes& trial : times)
        for (int i = 0; i < MEASUREMENT_COUNT; ++i)
            trial.worker_us[i] = i < 8 ? std::vector<int64_t>{trial.us[i] - 7, trial.us[i]}
                                       : std::vector<int64_t>{trial.us[i], trial.us[i] - 3, trial.us[i] - 9};
    const std::string text = record_to_json(make_run_record(target_, parameters, times, 7));
    RunRecord back;
    std::string error;
    ASSERT_TRUE(record_from_json(text, &back, &error)) << error;
    EXPECT_EQ(back.parameters.cores, 2);
    EXPECT_EQ(back.parameters.jobs, 3);
    EXPECT_EQ(back.parameters.block_bytes, 4096u);
    EXPECT_EQ(back.parameters.small_array_bytes, 2 * SMALL_ARRAY_SIZE) << "a small array for each worker";
    EXPECT_EQ(back.trials[1].measurements[4].worker_us, times[1].worker_us[4]);
    EXPECT_EQ(back.trials[0].measurements[11].worker_us, times[0].worker_us[11]);
    EXPECT_EQ(back.averages[8].average.block_bytes, 4096u);

    struct Case {
        const char* name;
        std::function<void(json&)> mutate;
        const char* message;
    };
    const Case cases[] = {
        {"a job's time missing", [](json& d) { d["trials"][0]["measurements"][9]["worker_us"].erase(2); },
         "trials[0].measurements[9].worker_us: holds 2 times for 3 workers or jobs"},
        {"no worker's times", [](json& d) { d["trials"][1]["measurements"][0].erase("worker_us"); },
         "trials[1].measurements[0].worker_us: is missing: the run had 2 workers or jobs"},
        {"the last ends early", [](json& d) { d["trials"][0]["measurements"][5]["worker_us"][1] = 3; },
         "trials[0].measurements[5].worker_us: the last to end does not end the measurement"},
        {"a time past the end", [](json& d) { d["trials"][0]["measurements"][10]["worker_us"][1] = 1 << 30; },
         "trials[0].measurements[10].worker_us: not whole numbers of microseconds within the measurement"},
    };
    for (const Case& c : cases) {
        json document = json::parse(text);
        c.mutate(document);
        RunRecord record;
        EXPECT_FALSE(record_from_json(document.dump(), &record, &error)) << c.name;
        EXPECT_EQ(error, c.message) << c.name;
    }
}

// Each broken record is refused with a message that names what is wrong.
TEST_F(Record, BrokenRecordsAreRefusedWithTheirFault)
{
    const std::string good = record_to_json(make(two_trial_parameters()));
    struct Case {
        const char* name;
        std::function<void(json&)> mutate;
        const char* message;
    };
    const Case cases[] = {
        {"wrong type", [](json& d) { d["machine"]["ram_bytes"] = "lots"; },
         "machine.ram_bytes: not a whole number of 0 or more"},
        {"missing field", [](json& d) { d["machine"].erase("host_name"); }, "machine.host_name: missing"},
        {"missing id", [](json& d) { d["trials"][1]["measurements"].erase(3); },
         "trials[1].measurements: holds 11 measurements, not 12"},
        {"unknown id", [](json& d) { d["averages"][0]["id"] = "small-3"; },
         "averages[0].id: is \"small-3\", not \"small-1\""},
        {"negative rate", [](json& d) { d["trials"][0]["measurements"][2]["mib_per_s"] = -1.5; },
         "trials[0].measurements[2].mib_per_s: not a finite rate of 0 or more"},
        {"rate as text", [](json& d) { d["statistics"][4]["median_mib_per_s"] = "fast"; },
         "statistics[4].median_mib_per_s: not a number or null"},
        {"schema version", [](json& d) { d["schema_version"] = 5; }, "schema_version: is 5; this program reads 1 to 4"},
        {"cores in version 3", [](json& d) { d["schema_version"] = 3; }, "parameters.cores: is not in records before version 4"},
        {"no cores", [](json& d) { d["parameters"]["cores"] = 0; }, "parameters.cores: is not from 1 to 1024"},
        {"a worker's time in a run of one", [](json& d) { d["trials"][0]["measurements"][1]["worker_us"] = {5}; },
         "trials[0].measurements[1].worker_us: is only in a measurement of several workers or jobs"},
        {"cold missing", [](json& d) { d["parameters"].erase("cold"); }, "parameters.cold: missing"},
        {"no witness", [](json& d) { d["trials"][0]["measurements"][4].erase("witness"); },
         "trials[0].measurements[4].witness: missing"},
        {"unknown reason", [](json& d) { d["trials"][1]["measurements"][0]["witness"]["disturbed"] = {"gremlins"}; },
         "trials[1].measurements[0].witness.disturbed: names an unknown reason \"gremlins\""},
        {"other program", [](json& d) { d["program"] = "fio"; }, "program: not a record of ovrel-bench"},
        {"not an object", [](json& d) { d = json::array(); }, "document: not a JSON object"},
        {"trials missing", [](json& d) { d["trials"] = json::array(); }, "trials: holds 0 trials of the 2 asked for in a complete run"},
        {"unknown phase", [](json& d) { d["parameters"]["phases"] = {"cpu"}; },
         "parameters.phases: names an unknown phase \"cpu\""},
        {"a sweep time missing", [](json& d) { d["trials"][0]["measurements"][7]["sweep_us"].erase(7); },
         "trials[0].measurements[7].sweep_us: holds 7 times for 8 sweeps"},
        {"sweep times past the measurement", [](json& d) { d["trials"][1]["measurements"][7]["sweep_us"][1] = 1900000; },
         "trials[1].measurements[7].sweep_us: adds up to more than the measurement's microseconds"},
        {"a sweep time as text", [](json& d) { d["trials"][1]["measurements"][7]["sweep_us"][1] = "fast"; },
         "trials[1].measurements[7].sweep_us: not whole numbers of microseconds within the measurement"},
        // Fields that a run cannot produce, each of which moved or dropped a
        // figure in the comparison that read it.
        {"us that are not the ms", [](json& d) { d["trials"][0]["measurements"][2]["us"] = 5; },
         "trials[0].measurements[2].ms: is not us / 1000 rounded down (0)"},
        {"us 0", [](json& d) { d["trials"][1]["measurements"][3]["us"] = 0; },
         "trials[1].measurements[3].ms: is not us / 1000 rounded down (0)"},
        {"statistics not of the trials", [](json& d) { d["statistics"][2]["median_mib_per_s"] = 1e6; },
         "statistics[2].median_mib_per_s: is not the median of the trials' rates ("},
        {"a missing standard deviation", [](json& d) { d["statistics"][0]["stddev_mib_per_s"] = nullptr; },
         "statistics[0].stddev_mib_per_s: is not the standard deviation of the trials' rates ("},
        {"resident bytes past the file", [](json& d) {
             d["trials"][0]["measurements"][9]["witness"]["resident_bytes"] = uint64_t{1} << 62; },
         "trials[0].measurements[9].witness.resident_bytes: is more than the file's size"},
        {"block latencies out of order", [](json& d) { d["trials"][0]["measurements"][9]["witness"]["block_us"]["p50"] = 6000; },
         "trials[0].measurements[9].witness.block_us: p50, p99 and max are not in that order"},
        {"a reason twice", [](json& d) { d["trials"][1]["measurements"][0]["witness"]["disturbed"] = {"swap", "swap"}; },
         "trials[1].measurements[0].witness.disturbed: names \"swap\" twice"},
        {"a start that is no time", [](json& d) { d["started_at"] = "yesterday"; },
         "started_at: is not a UTC time as 2026-12-11T06:40:11Z"},
        {"an end in month 13", [](json& d) { d["ended_at"] = "2026-13-01T00:00:00Z"; },
         "ended_at: is not a UTC time as 2026-12-11T06:40:11Z"},
        {"a seed random() cannot take", [](json& d) { d["seed"] = uint64_t{1} << 32; },
         "seed: is not below 2^32: not a seed of this program"},
        {"cold in version 2", [](json& d) { d["schema_version"] = 2; }, "parameters.cold: is not in records before version 3"},
    };
    for (const Case& c : cases) {
        json document = json::parse(good);
        c.mutate(document);
        RunRecord record;
        std::string error;
        EXPECT_FALSE(record_from_json(document.dump(), &record, &error)) << c.name;
        // A message ending in "(" goes on with the figure expected.
        const std::string message = c.message;
        EXPECT_EQ(message.back() == '(' ? error.substr(0, message.size()) : error, message) << c.name;
    }

    const std::pair<std::string, const char*> texts[] = {
        {good.substr(0, good.size() / 2), "not valid JSON (truncated or damaged)"},
        {"", "empty, not a JSON document"},
        {"ovrel-bench 0.2.0\n", "not valid JSON (truncated or damaged)"},
        // A rate beyond a double's range cannot sneak in as infinity.
        {std::regex_replace(good, std::regex("\"mib_per_s\": [0-9.e+]+"), "\"mib_per_s\": 1e999", std::regex_constants::format_first_only),
         "not valid JSON (truncated or damaged)"},
    };
    for (const auto& text : texts) {
        RunRecord record;
        std::string error;
        EXPECT_FALSE(record_from_json(text.first, &record, &error));
        EXPECT_EQ(error, text.second);
    }
    RunRecord record;
    std::string error;
    EXPECT_FALSE(read_record_file("missing.json", &record, &error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(read_record_file(".", &record, &error));
    EXPECT_EQ(error, "Is a directory");
}

TEST_F(Record, BytesThatAreNotUtf8AreReplaced)
{
    const std::string odd = dir_.path + "/caf\xe9-\xff";
    ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
    ASSERT_EQ(chdir(odd.c_str()), 0);
    const json document = exported(two_trial_parameters());
    EXPECT_EQ(document["machine"]["directory"], dir_.path + "/caf\xef\xbf\xbd-\xef\xbf\xbd");
}

TEST_F(Record, RelativePathStaysWhereTheRunStarted)
{
    char* words[] = {const_cast<char*>("ovrel-bench"), nullptr};
    const ExportTarget target = prepare_export("out.json", nullptr, 1, words);
    EXPECT_EQ(target.path, dir_.path + "/out.json");
}

TEST_F(Record, TargetsThatCannotBeReplacedAreRefusedUpFront)
{
    char* words[] = {const_cast<char*>("ovrel-bench"), nullptr};
    ASSERT_EQ(mkdir("taken", 0700), 0);
    ASSERT_EQ(symlink("elsewhere.json", "link.json"), 0);
    ASSERT_EQ(mkdir("measured", 0700), 0);
    struct Case {
        const char* path;
        const char* measured_directory;  // null for the working directory
        const char* reason;
    };
    const Case cases[] = {
        {"/nonexistent/out.json", nullptr, "No such file or directory"},
        {"taken", nullptr, "Is a directory"},
        {"/dev/null", nullptr, "Not a regular file"},
        {"link.json", nullptr, "Not a regular file"},
        {"", nullptr, "No file name"},
        // The next run would overwrite it as its own leftover.
        {"ovrel-bench.tempfile", nullptr, "Is the scratch file of the directory to measure"},
        {"measured/ovrel-bench.tempfile", "measured", "Is the scratch file of the directory to measure"},
        {"taken/../measured/ovrel-bench.tempfile", "./measured/", "Is the scratch file of the directory to measure"},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(prepare_export(c.path, c.measured_directory, 1, words), testing::ExitedWithCode(1),
                    std::string("^Cannot write ") + c.path + ": " + c.reason + "\n$")
            << c.path;
    // The scratch name elsewhere than in the directory to measure is a name like any other.
    EXPECT_EQ(prepare_export("ovrel-bench.tempfile", "measured", 1, words).path, dir_.path + "/ovrel-bench.tempfile");
}

} // namespace

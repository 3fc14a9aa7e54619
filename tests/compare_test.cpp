#include <algorithm>
#include <cmath>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "compare/compare.h"
#include "driver/export.h"
#include "support.h"

namespace {

// A record of `trials` trials whose measurement `index` takes `ms[t][index]`
// milliseconds in trial t.
RunRecord record_of(const std::string& host, const std::vector<std::vector<int64_t>>& ms, unsigned phases = PHASE_ALL,
                    uint64_t file_size = uint64_t{32} << 30)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.trials = static_cast<int32_t>(ms.size());
    parameters.file_size = file_size;
    parameters.phases = phases;
    const std::vector<TrialTimes> times = times_of(ms);
    ExportTarget target{"/nowhere/run.json", "2026-12-10T00:00:00Z", {"ovrel-bench"}};
    RunRecord record = make_run_record(target, parameters, times, 1);
    record.machine.host_name = host;
    return record;
}

// Every measurement of every trial takes `ms`, scaled per trial by `scale`.
std::vector<std::vector<int64_t>> uniform(int64_t ms, const std::vector<double>& scale)
{
    std::vector<std::vector<int64_t>> rows;
    for (double s : scale)
        rows.push_back(std::vector<int64_t>(MEASUREMENT_COUNT, static_cast<int64_t>(std::llround(ms * s))));
    return rows;
}

std::string printed_double(double value)
{
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    return text;
}

TEST(Ratio, WelchIntervalMatchesReferenceValues)
{
    // Equal sizes and equal spread of the logarithms: 4 degrees of freedom,
    // and t(0.975, 4) = 2.776445 from the published table of Student's t.
    const std::vector<double> base = {100, 120, 144};
    const std::vector<double> other = {150, 180, 216};
    const RatioEstimate equal = ratio_estimate(base, other);
    const double h = std::log(1.2);
    const double half_width = 2.776445 * std::sqrt(2 * h * h / 3);
    EXPECT_NEAR(equal.ratio, 1.5, 1e-12);
    EXPECT_NEAR(equal.degrees_of_freedom, 4, 1e-9);
    EXPECT_NEAR(equal.low, 1.5 * std::exp(-half_width), 1e-5);
    EXPECT_NEAR(equal.high, 1.5 * std::exp(half_width), 1e-5);
    // 1.5 times faster on average, but with so much spread the interval
    // [0.992, 2.27] still holds 1.
    EXPECT_LT(equal.low, 1.0);

    // Unequal sizes and spreads. Reference computed apart from this code, in
    // plain Python: Student's t density integrated by Simpson's rule and
    // inverted by bisection (df 2.0171022859574887, t 4.2678820164136315).
    const RatioEstimate welch = ratio_estimate({100, 102, 98, 101}, {90, 70, 110});
    EXPECT_NEAR(welch.degrees_of_freedom, 2.0171022859574887, 1e-9);
    EXPECT_NEAR(welch.ratio, 0.8828240848435802, 1e-9);
    EXPECT_NEAR(welch.low, 0.5046732942154478, 1e-6);
    EXPECT_NEAR(welch.high, 1.5443225819814907, 1e-6);
    // The p-value of "the ratio is 1" is where the interval touches 1.
    const RatioEstimate touching = ratio_estimate({100, 102, 98, 101}, {90, 70, 110}, 1 - welch.p_value);
    EXPECT_NEAR(touching.high, 1.0, 1e-9);
    // A wider level widens the interval around the same ratio.
    const RatioEstimate wider = ratio_estimate(base, other, 1 - 0.05 / 4);
    EXPECT_DOUBLE_EQ(wider.ratio, equal.ratio);
    EXPECT_LT(wider.low, equal.low);
    EXPECT_GT(wider.high, equal.high);
}

TEST(Ratio, OneTrialAndIdenticalRuns)
{
    const RatioEstimate single = ratio_estimate({100}, {200, 210});
    EXPECT_TRUE(single.has_ratio);
    EXPECT_FALSE(single.has_interval);
    EXPECT_NEAR(single.ratio, std::sqrt(200.0 * 210.0) / 100.0, 1e-12);


    const std::vector<double> same = {100, 105, 110};
    const RatioEstimate identical = ratio_estimate(same, same);
    EXPECT_DOUBLE_EQ(identical.ratio, 1.0);
    EXPECT_LT(identical.low, 1.0);
    EXPECT_GT(identical.high, 1.0);
    EXPECT_NEAR(identical.low * identical.high, 1.0, 1e-12) << "symmetric around 1 on the log scale";


    // Whole-millisecond ties: every trial at 68 ms against every trial at
    // 67 ms is no firm verdict, however many trials.
    const RatioEstimate constant = ratio_estimate({100, 100}, {100, 100});
    EXPECT_FALSE(constant.has_interval);
    const double at_68 = 1024.0 / 0.068;
    const double at_67 = 1024.0 / 0.067;
    const RatioEstimate ties = ratio_estimate({at_68, at_68, at_68, at_68, at_68}, {at_67, at_67, at_67, at_67, at_67});
    EXPECT_NEAR(ties.ratio, 68.0 / 67.0, 1e-12);
    EXPECT_FALSE(ties.has_interval);
    EXPECT_FALSE(ratio_estimate({}, {1, 2}).has_ratio);
}

TEST(Fleet, RobustZ)
{
    // Median 3, MAD 1: 0.6745 * 97.
    EXPECT_NEAR(robust_z(100, {1, 2, 3, 4, 100}), 65.4265, 1e-9);
    EXPECT_NEAR(robust_z(1, {1, 2, 3, 4, 100}), -1.349, 1e-9);
    // Most values equal the median (MAD 0): the mean absolute deviation,
    // 42 / 7 = 6, scaled by 1.253314, stands in.
    EXPECT_NEAR(robust_z(50, {10, 10, 10, 11, 9, 10, 50}), 40 / (1.253314 * 6), 1e-9);
    EXPECT_EQ(robust_z(7, {7, 7, 7}), 0);
}

TEST(Fleet, FindsTheOneSlowHost)
{
    std::vector<LoadedRun> runs;
    std::mt19937 noise(7);
    std::uniform_real_distribution<double> jitter(0.97, 1.03);
    for (int h = 0; h < 20; ++h) {
        std::vector<std::vector<int64_t>> ms = uniform(1000, {jitter(noise), jitter(noise), jitter(noise)});
        if (h == 7)
            for (std::vector<int64_t>& trial : ms)
                trial[9] = static_cast<int64_t>(std::llround(trial[9] / 0.7));  // read 30 % slower
        char host[16];
        snprintf(host, sizeof host, "host-%02d", h);
        runs.push_back(LoadedRun{std::string(host) + ".json", record_of(host, ms)});
    }
    const Fleet fleet = fleet_of(runs);
    ASSERT_TRUE(fleet.judged);
    ASSERT_EQ(fleet.hosts.size(), 20u);
    ASSERT_EQ(fleet.measurements.size(), 12u);
    for (const FleetHost& host : fleet.hosts)
        for (size_t m = 0; m < fleet.measurements.size(); ++m) {
            const bool expected = host.host == "host-07" && fleet.measurements[m].id == "read";
            EXPECT_EQ(host.cells[m].flag, expected ? -1 : 0) << host.host << " " << fleet.measurements[m].id;
        }
    const std::string text = render_fleet(runs, fleet, Format::Text);
    EXPECT_NE(text.find("  read     host-07"), std::string::npos) << text;
    EXPECT_NE(text.find(" slow\n"), std::string::npos);
}

// Most hosts alike to the millisecond: the fallback for a MAD of 0 flags
// no host that differs by less than the figures can tell (one millisecond),
// and still flags one that differs by more.
TEST(Fleet, MadZeroFallbackRespectsTheResolution)
{
    struct Case {
        int64_t odd_ms;     // of the last five hosts; the other 45 take 1000 ms
        bool flagged;
    };
    for (const Case c : {Case{1001, false}, Case{1400, true}}) {
        std::vector<LoadedRun> runs;
        for (int h = 0; h < 50; ++h)
            runs.push_back(LoadedRun{"h" + std::to_string(h) + ".json",
                                     record_of("host-" + std::to_string(100 + h),
                                               h < 45 ? uniform(1000, {1.0, 1.0, 1.0})
                                                      : uniform(c.odd_ms, {1.0, 1.002, 0.998}))});
        const Fleet fleet = fleet_of(runs);
        for (const FleetHost& host : fleet.hosts)
            for (size_t m = 0; m < fleet.measurements.size(); ++m)
                EXPECT_EQ(host.cells[m].flag, c.flagged && host.host >= "host-145" ? -1 : 0)
                    << c.odd_ms << " ms: " << host.host << " " << fleet.measurements[m].id << " z "
                    << host.cells[m].z;
    }
}

// The comparability warnings of compare mode, per host, against what most
// of the fleet did; a warning many hosts share is counted, not repeated.
TEST(Fleet, WarnsOfHostsThatDoNotCompare)
{
    std::vector<LoadedRun> runs;
    for (int h = 0; h < 12; ++h) {
        runs.push_back({"h" + std::to_string(h) + ".json", record_of("h" + std::to_string(h), uniform(1000, {1.0}))});
        runs.back().record.machine.ram_bytes = uint64_t{8} << 30;  // 32 GiB files: twice the memory and more
    }
    runs[1].record.parameters.direct_io = true;
    runs[2].record.parameters.cold = true;
    runs[3].record.parameters.file_size_bytes = uint64_t{64} << 30;
    runs[4].record.version = "0.1.0";
    runs[5].record.complete = false;
    for (int h = 6; h < 12; ++h)
        runs[h].record.machine.ram_bytes = uint64_t{64} << 30;  // six hosts whose file fits in memory
    const std::vector<std::string> warnings = fleet_warnings(runs);
    const std::vector<std::string> expected = {
        "host h5 (h5.json) was interrupted: it holds 1 of 1 trials",
        "host h6 (h6.json): the file (32.00 GiB) is smaller than twice the memory (64.00 GiB): its read passes "
        "measured the page cache",
        "host h7 (h7.json): the file (32.00 GiB) is smaller than twice the memory (64.00 GiB): its read passes "
        "measured the page cache",
        "host h8 (h8.json): the file (32.00 GiB) is smaller than twice the memory (64.00 GiB): its read passes "
        "measured the page cache",
        "host h9 (h9.json): the file (32.00 GiB) is smaller than twice the memory (64.00 GiB): its read passes "
        "measured the page cache",
        "host h10 (h10.json): the file (32.00 GiB) is smaller than twice the memory (64.00 GiB): its read passes "
        "measured the page cache",
        "and 1 more runs likewise (page cache)",
        "host h1 (h1.json) used direct I/O, most of the fleet did not",
        "host h2 (h2.json) was cold, most of the fleet was not",
        "host h3 (h3.json): file size 64.00 GiB, most of the fleet's 32.00 GiB",
        "host h4 (h4.json) ran ovrel-bench 0.1.0, most of the fleet " OVREL_VERSION,
    };
    EXPECT_EQ(warnings, expected);
    const std::string text = render_fleet(runs, fleet_of(runs), Format::Text);
    EXPECT_NE(text.find("\nWarning: host h2 (h2.json) was cold, most of the fleet was not\n"), std::string::npos)
        << text;
    const nlohmann::json document = nlohmann::json::parse(render_fleet(runs, fleet_of(runs), Format::Json));
    EXPECT_EQ(document["warnings"].size(), expected.size());
    EXPECT_EQ(document["matrix"].size(), 12u);
}

TEST(Fleet, PoolsRunsOfOneHostAndNeedsThreeHosts)
{
    std::vector<LoadedRun> runs = {
        {"a1.json", record_of("a", uniform(1000, {1.0}))},
        {"a2.json", record_of("a", uniform(1000, {1.1}))},
        {"b.json", record_of("b", uniform(1000, {1.0}))},
    };
    const Fleet fleet = fleet_of(runs);
    ASSERT_EQ(fleet.hosts.size(), 2u);
    EXPECT_EQ(fleet.hosts[0].runs, 2u);
    EXPECT_EQ(fleet.hosts[0].cells[0].spread.n, 2u);
    EXPECT_FALSE(fleet.judged);
    EXPECT_NE(render_fleet(runs, fleet, Format::Text).find("Too few hosts to judge outliers (3 or more needed)."),
              std::string::npos);
}

// Marks measurement `id` of the given trials as the witness would.
void disturb(RunRecord* record, const std::string& id, const std::vector<size_t>& trials, unsigned reasons)
{
    for (size_t t : trials)
        for (MeasurementRecord& m : record->trials.at(t).measurements)
            if (m.id == id) {
                m.has_witness = true;
                m.witness.disturbed = reasons;
            }
}

const ComparisonRow& row_of(const Comparison& comparison, const std::string& id)
{
    for (const ComparisonRow& row : comparison.rows)
        if (row.id == id)
            return row;
    throw std::runtime_error("no row " + id);
}

// Fleet mode on clean rates: a host whose every trial the witness marked is
// not judged (and named), never an outlier; a host far by its median whose
// own trials spread too much, or tie, is named as such, not flagged.
TEST(Fleet, JudgesCleanTrialsAndOnlyDifferencesTheHostsTrialsBearOut)
{
    std::vector<LoadedRun> runs;
    for (int h = 0; h < 5; ++h)
        runs.push_back({"h" + std::to_string(h) + ".json",
                        record_of("h" + std::to_string(h), uniform(1000, {1.0, 1.01 + 0.001 * h, 0.99}))});
    // h4 was disturbed in every trial, and three times as slow.
    runs[4].record = record_of("h4", uniform(3000, {1.0, 1.01, 0.99}));
    for (const char* id : {"small-1", "small-2", "small-4", "small-8", "large-1", "large-2", "large-4", "large-8",
                           "write", "read", "rewrite", "seek"})
        disturb(&runs[4].record, id, {0, 1, 2}, DISTURBED_CPU_TAKEN | DISTURBED_OTHER_IO);
    const Fleet fleet = fleet_of(runs);
    ASSERT_TRUE(fleet.judged);
    for (const FleetHost& host : fleet.hosts)
        for (const HostCell& cell : host.cells)
            EXPECT_EQ(cell.flag, 0) << host.host;
    const HostCell& busy = fleet.hosts[4].cells[8];
    EXPECT_TRUE(std::isnan(busy.z));
    EXPECT_EQ(busy.left_out, 3u);
    EXPECT_EQ(standing_text(busy), "not judged: disturbed (cpu-taken, other-io)");
    EXPECT_EQ(fleet.measurements[8].hosts, 4u);
    const std::vector<std::string> warnings = fleet_warnings(runs, false, &fleet);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "host h4 not judged in small-1, small-2, small-4, small-8, large-1, large-2, large-4, "
                           "large-8, write, read, rewrite, seek: every trial disturbed (cpu-taken, other-io)");

    // Three hosts, one of them far from the median by its median trial,
    // its two trials 1286 and 7111 MiB/s apart: not an outlier.
    std::vector<LoadedRun> small = {
        {"a.json", record_of("a", uniform(1000, {1.0, 1.002}))},
        {"b.json", record_of("b", uniform(1000, {1.01, 1.012}))},
        {"c.json", record_of("c", uniform(1000, {0.25, 1.4}))},
    };
    const Fleet three = fleet_of(small);
    const HostCell& wide = three.hosts[2].cells[8];
    EXPECT_GT(std::fabs(wide.z), OUTLIER_Z);
    EXPECT_EQ(wide.flag, 0);
    EXPECT_EQ(standing_text(wide), "differs, but its trials spread too much");
    const std::string text = render_fleet(small, three, Format::Text);
    EXPECT_NE(text.find("Far from the fleet, but not borne out by their own trials:\n  small-1 c: z = "),
              std::string::npos)
        << text;
    // The same host with trials that agree is an outlier.
    small[2].record = record_of("c", uniform(1000, {0.5, 0.51}));
    EXPECT_EQ(fleet_of(small).hosts[2].cells[8].flag, 1);
}

// What a verdict rests on: whole-millisecond ties give none, trials that
// others disturbed are left out and named, a difference the intervals show
// but smaller than runs of one configuration differ by is not reported,
// and the intervals share their 5% among the measurements.
TEST(Compare, VerdictsRestOnWhatTheFiguresCanSupport)
{
    const RunRecord fast = record_of("a", uniform(500, {1.0, 1.02, 0.98}));
    const RunRecord slow = record_of("b", uniform(1000, {1.0, 1.01, 0.99}));
    const RunRecord near = record_of("c", uniform(1080, {1.0, 1.01, 0.99}));
    const RunRecord at_68 = record_of("d", uniform(68, {1, 1, 1, 1, 1}));
    const RunRecord at_67 = record_of("e", uniform(67, {1, 1, 1, 1, 1}));
    RunRecord old_68 = at_68;
    RunRecord old_67 = at_67;
    for (RunRecord* old : {&old_68, &old_67})
        for (TrialRecord& trial : old->trials)
            for (MeasurementRecord& m : trial.measurements)
                m.has_us = false;  // a record of version 1: whole milliseconds only
    RunRecord partly = slow;
    disturb(&partly, "write", {1}, DISTURBED_OTHER_IO);
    disturb(&partly, "read", {0}, DISTURBED_PAGE_CACHE);  // how the system reads: kept
    RunRecord wholly = slow;
    disturb(&wholly, "seek", {0, 1, 2}, DISTURBED_OTHER_IO | DISTURBED_CPU_TAKEN);
    // A cold run promises reads from the device: a read from the cache there
    // is no figure of the disk.
    RunRecord cold_fast = fast;
    RunRecord cold_cached = slow;
    cold_fast.parameters.cold = cold_cached.parameters.cold = true;
    disturb(&cold_cached, "read", {0, 1, 2}, DISTURBED_PAGE_CACHE);

    struct Case {
        const char* name;
        RunRecord base;
        RunRecord other;
        double smallest;  // below 0: the default
        const char* id;
        Verdict verdict;
        const char* text;
    };
    const Case cases[] = {
        {"twice as slow", fast, slow, -1, "write", Verdict::Slower, "slower"},
        {"twice as fast", slow, fast, -1, "small-1", Verdict::Faster, "faster"},
        {"8% apart: shown, but under 30%", slow, near, -1, "read", Verdict::Small, "difference under 30%"},
        {"8% apart, every difference asked for", slow, near, 0, "read", Verdict::Slower, "slower"},
        {"68 ms against 67 ms in every trial", at_68, at_67, 0, "write", Verdict::NoInterval, "no interval"},
        {"the same in whole milliseconds", old_68, old_67, 0, "write", Verdict::NoInterval, "no interval"},
        {"one trial of three disturbed", fast, partly, -1, "write", Verdict::Slower, "slower"},
        {"page cache is kept", fast, partly, -1, "read", Verdict::Slower, "slower"},
        {"every trial disturbed", fast, wholly, -1, "seek", Verdict::Disturbed, "disturbed: cpu-taken +1"},
        {"cold reads from the cache", cold_fast, cold_cached, -1, "read", Verdict::Disturbed, "disturbed: page-cache"},
    };
    for (const Case& c : cases) {
        const std::vector<LoadedRun> runs = {{"base.json", c.base}, {"other.json", c.other}};
        CompareOptions options;
        options.smallest_difference = c.smallest;
        const std::vector<Comparison> comparisons = compare_runs(runs, sides_of(runs, false), options);
        ASSERT_EQ(comparisons.size(), 1u) << c.name;
        const ComparisonRow& row = row_of(comparisons[0], c.id);
        EXPECT_EQ(row.verdict, c.verdict) << c.name;
        EXPECT_EQ(verdict_text(row), c.text) << c.name;
        EXPECT_FALSE(comparisons[0].runs_as_unit) << c.name;
    }

    // Left out, and said so; the page-cache trial is not.
    const std::vector<LoadedRun> runs = {{"base.json", fast}, {"other.json", partly}, {"third.json", wholly}};
    const std::vector<Comparison> comparisons = compare_runs(runs, sides_of(runs, false));
    const ComparisonRow& write = row_of(comparisons[0], "write");
    EXPECT_EQ(write.other.trials, 2u);
    EXPECT_EQ(write.other.left_out, 1u);
    EXPECT_EQ(write.other.reasons, DISTURBED_OTHER_IO);
    EXPECT_EQ(row_of(comparisons[0], "read").other.left_out, 0u);
    // Twelve measurements with intervals share the 5%.
    EXPECT_EQ(comparisons[0].family, 12u);
    // Holm's steps: every one of the twelve differences is clear, so the
    // levels run from 1 - 0.05/12 down to 95%, one step each.
    std::vector<double> levels;
    for (const ComparisonRow& row : comparisons[0].rows)
        levels.push_back(row.level);
    std::sort(levels.begin(), levels.end());
    for (size_t k = 0; k < levels.size(); ++k)
        EXPECT_NEAR(levels[k], 1 - 0.05 / static_cast<double>(k + 1), 1e-15) << k;
    EXPECT_EQ(comparisons[1].family, 11u) << "the disturbed seek has no interval";
    const std::string text = render_comparison(runs, Format::Text);
    EXPECT_NE(text.find("\n  write: 1 of 3 trials of run 2 disturbed (other-io), left out\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  seek: 3 of 3 trials of run 3 disturbed (cpu-taken, other-io), left out\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("seek: disturbed: cpu-taken +1"), std::string::npos) << text;
    EXPECT_NE(text.find("Holm's method over the 12 measurements: each interval at the level of its step (99.58% first)"),
              std::string::npos)
        << text;
}

// A run given twice counts once; two runs that started in the same second
// in one directory, and so with the same seed, are two runs.
TEST(Compare, EachRunCountsOnce)
{
    std::vector<LoadedRun> runs = {
        {"a.json", record_of("vm", uniform(1000, {1.0, 1.01}))},
        {"b.json", record_of("vm", uniform(1000, {1.0, 1.02}))},
        {"copy.json", record_of("vm", uniform(1000, {1.0, 1.01}))},
        {"c.json", record_of("vm", uniform(1000, {1.0, 1.03}))},
    };
    ASSERT_EQ(runs[0].record.started_at, runs[1].record.started_at);
    ASSERT_EQ(runs[0].record.seed, runs[1].record.seed);
    runs[3].device = runs[1].device = 7;
    runs[3].inode = runs[1].inode = 42;  // c.json is b.json under another name
    EXPECT_EQ(count_each_run_once(&runs), 2u);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].file, "a.json");
    EXPECT_EQ(runs[1].file, "b.json");
    ASSERT_EQ(runs[0].repeats.size(), 1u);
    EXPECT_EQ(runs[0].repeats[0].second, "copy.json holds the run of a.json (host vm, started 2026-12-10T00:00:00Z, "
                                         "seed 1): counted once");
    EXPECT_EQ(runs[1].repeats.at(0).second, "c.json is b.json again: counted once");
}

// Holm's method stops at the first test that fails: of p = 0.001, 0.03 and
// 0.04 over three measurements, the first is tested at 0.05/3 and passes,
// the second at 0.025 and fails, and the third then stays untested, no
// difference, although 0.04 <= 0.05. Its interval is at the failed step's
// level, so that it holds 1.
TEST(Compare, HolmStopsAtTheFirstFailedStep)
{
    const struct {
        std::vector<double> p_values;
        std::vector<bool> rejected;
    } cases[] = {
        {{0.04, 0.001, 0.03}, {false, true, false}},
        {{0.001, 0.02, 0.04}, {true, true, true}},
        {{0.02, 0.02, 0.02}, {false, false, false}},
        {{0.01}, {true}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        const std::vector<double> levels = holm_levels(c.p_values);
        ASSERT_EQ(levels.size(), c.p_values.size());
        for (size_t i = 0; i < levels.size(); ++i)
            EXPECT_EQ(c.p_values[i] <= 1 - levels[i] + 1e-15, c.rejected[i]) << i << ": p " << c.p_values[i];
    }
    const std::vector<double> levels = holm_levels({0.04, 0.001, 0.03});
    EXPECT_NEAR(levels[1], 1 - 0.05 / 3, 1e-15);
    EXPECT_NEAR(levels[2], 0.975, 1e-15);
    EXPECT_NEAR(levels[0], 0.975, 1e-15);
}

// With --group, the runs of one directory (or one label) are one side, each
// run counting once: the spread between runs widens the interval, and the
// default reports every difference the interval shows.
TEST(Compare, GroupsMakeTheRunTheUnit)
{
    std::vector<LoadedRun> runs;
    const double base_scales[] = {1.0, 1.04, 0.96};
    const double other_scales[] = {0.8, 0.832, 0.768};  // the same runs, 25% faster
    for (int r = 0; r < 3; ++r) {
        runs.push_back({"a" + std::to_string(r) + ".json",
                        record_of("a", uniform(1000, {base_scales[r], base_scales[r] * 1.01})), "old"});
        runs.back().record.label = "old-disk";
    }
    for (int r = 0; r < 3; ++r)
        runs.push_back({"b" + std::to_string(r) + ".json",
                        record_of("b", uniform(1000, {other_scales[r], other_scales[r] * 1.01})), "new"});
    const std::vector<Side> sides = sides_of(runs, true);
    ASSERT_EQ(sides.size(), 2u);
    EXPECT_EQ(sides[0].name, "old-disk");
    EXPECT_EQ(sides[1].name, "new");
    EXPECT_EQ(sides[1].runs, (std::vector<size_t>{3, 4, 5}));
    // Without --group, sides of one label are told apart.
    const std::vector<Side> single = sides_of(runs, false);
    EXPECT_EQ(single[1].name, "old-disk (run 2)");
    EXPECT_EQ(single[3].name, "run 4");
    const std::vector<Comparison> grouped = compare_runs(runs, sides);
    ASSERT_EQ(grouped.size(), 1u);
    EXPECT_TRUE(grouped[0].runs_as_unit);
    const ComparisonRow& row = row_of(grouped[0], "write");
    EXPECT_EQ(row.base.units.n, 3u);
    EXPECT_EQ(row.base.trials, 6u);
    EXPECT_NEAR(row.estimate.ratio, 1.25, 1e-3);
    EXPECT_EQ(row.verdict, Verdict::Faster);
    // Each run alone against the first: trials that agree to 1% give a far
    // narrower interval than the runs do.
    const std::vector<Comparison> each = compare_runs(runs, single);
    EXPECT_LT(row_of(each[2], "write").estimate.high / row_of(each[2], "write").estimate.low,
              row.estimate.high / row.estimate.low);
    const std::string text = render_comparison(runs, Format::Text, CompareOptions{true, -1});
    EXPECT_NE(text.find("new against old-disk: small-1 1.25x faster ["), std::string::npos) << text;
    EXPECT_NE(text.find("Each run counts once"), std::string::npos) << text;
    EXPECT_NE(text.find("\n12 verdicts in 1 comparison: chance alone gives a false \"faster\" or \"slower\" in\n"
                        "at most one comparison in 20 (0.05 expected here).\n"),
              std::string::npos)
        << text;

    // Three runs against one: a single run's trials say nothing of the
    // spread between runs, so the trials are the units on both sides, under
    // the smallest difference of one run a side, and the note says so.
    const std::vector<LoadedRun> three_to_one(runs.begin(), runs.begin() + 4);
    const std::vector<Side> uneven = sides_of(three_to_one, true);
    for (int first = 0; first < 2; ++first) {
        const Claim claim = claim_for(three_to_one, uneven[first], uneven[1 - first], CompareOptions{true, -1});
        EXPECT_FALSE(claim.runs_as_unit);
        EXPECT_DOUBLE_EQ(claim.smallest_difference, SMALLEST_DIFFERENCE_ONE_RUN);
        EXPECT_EQ(claim.refusal, nullptr);
    }
    const Comparison pooled = compare_side(three_to_one, uneven, 1, CompareOptions{true, -1});
    EXPECT_FALSE(pooled.runs_as_unit);
    EXPECT_EQ(row_of(pooled, "write").base.units.n, 6u);
    EXPECT_EQ(row_of(pooled, "write").other.units.n, 2u);
    EXPECT_EQ(row_of(pooled, "write").verdict, Verdict::Small);
    const std::string uneven_text = render_comparison(three_to_one, Format::Text, CompareOptions{true, -1});
    EXPECT_NE(uneven_text.find("The trials are the units (1 run against 3): a side with one run has no spread\n"),
              std::string::npos)
        << uneven_text;
    EXPECT_EQ(uneven_text.find("the spread between runs is in the intervals"), std::string::npos) << uneven_text;
    // Two runs, one of which has no rates, are one run with rates.
    std::vector<LoadedRun> hollow(runs.begin(), runs.begin() + 5);
    for (TrialRecord& trial : hollow[4].record.trials)
        for (MeasurementRecord& m : trial.measurements)
            m.size_bytes = 0;
    EXPECT_FALSE(compare_side(hollow, sides_of(hollow, true), 1, CompareOptions{true, -1}).runs_as_unit);
}

TEST(Compare, WarnsWhenRunsAreNotComparable)
{
    RunRecord base = record_of("a", uniform(1000, {1.0, 1.0}));
    RunRecord other = record_of("b", uniform(1000, {1.0, 1.0}), PHASE_DISK);
    other.parameters.file_size_bytes = uint64_t{1} << 30;
    other.parameters.direct_io = true;
    other.parameters.cold = true;
    other.parameters.large_array_bytes = 1 << 20;
    base.machine.ram_bytes = uint64_t{64} << 30;
    const std::vector<std::string> warnings = comparability_warnings({{"a.json", base}, {"b.json", other}});
    const std::vector<std::string> expected = {
        "run 1's file (32.00 GiB) is smaller than twice its machine's memory (64.00 GiB): its read passes measured the page cache",
        "run 2's file size (1.00 GiB) differs from the baseline's (32.00 GiB)",
        "run 2's large array (1.00 MiB) differs from the baseline's (2.00 GiB)",
        "run 2 was cold (writes timed to their fsync, cache dropped before reads) and the baseline was not",
        "run 2 used direct I/O and the baseline did not",
    };
    EXPECT_EQ(warnings, expected);
    // A cold run's small file is no page cache measurement.
    RunRecord cold = record_of("c", uniform(1000, {1.0, 1.0}), PHASE_DISK);
    cold.parameters.cold = true;
    cold.parameters.file_size_bytes = uint64_t{1} << 30;
    EXPECT_EQ(comparability_warnings({{"c.json", cold}, {"c.json", cold}}), std::vector<std::string>{});
    // Nor is a default run's file, twice a memory that is not a multiple of
    // 2 MiB rounded down to whole blocks, nor a file of no blocks.
    RunRecord rounded = record_of("d", uniform(1000, {1.0, 1.0}));
    rounded.machine.ram_bytes = 25276125184;
    rounded.parameters.file_size_bytes = 2 * rounded.machine.ram_bytes / BLOCK_SIZE * BLOCK_SIZE;
    RunRecord empty = record_of("e", uniform(1000, {1.0, 1.0}));
    empty.parameters.file_size_bytes = 0;
    EXPECT_EQ(comparability_warnings({{"d.json", rounded}, {"e.json", empty}}),
              std::vector<std::string>{"run 2's file size (0.00 B) differs from the baseline's (47.08 GiB)"});
    // The memory measurements the second run lacks are there, without rates.
    const std::vector<Comparison> comparisons = compare_runs({{"a.json", base}, {"b.json", other}});
    ASSERT_EQ(comparisons.at(0).rows.size(), 12u);
    EXPECT_EQ(comparisons[0].rows[0].verdict, Verdict::NoRates);
}

// Runs of other widths measure other things: every difference is named,
// the fleet pools only the runs as wide as most, and the metrics keep a
// wide run apart by its labels.
TEST(Compare, RunsOfOtherWidthsAreNamedAndNotPooled)
{
    RunRecord base = record_of("a", uniform(1000, {1.0, 1.0}));
    RunRecord wide = base;
    wide.machine.logical_cpus = 16;
    wide.parameters.cores = 2;
    wide.parameters.jobs = 8;
    wide.parameters.block_bytes = 4096;
    RunRecord disk_only = record_of("c", uniform(1000, {1.0, 1.0}), PHASE_DISK);
    disk_only.parameters.jobs = 4;
    disk_only.parameters.cores = 3;  // no memory sweeps: not a difference
    EXPECT_EQ(comparability_warnings({{"a.json", base}, {"b.json", wide}, {"c.json", disk_only}}),
              (std::vector<std::string>{"run 2 ran the memory sweeps on 2 cores, the baseline on 1",
                                        "run 2 ran the disk passes as 8 jobs, the baseline as 1",
                                        "run 2's block size (4 KiB) differs from the baseline's (4 MiB)",
                                        "run 3 ran the disk passes as 4 jobs, the baseline as 1"}));

    // Each run's description says how wide it was.
    const std::string text = render_comparison({{"a.json", base}, {"b.json", wide}}, Format::Text);
    EXPECT_NE(text.find("     file 32.00 GiB, buffered, 2 trials\n"), std::string::npos) << text;
    EXPECT_NE(text.find("     file 32.00 GiB, buffered, 2 cores, 8 jobs, 4 KiB blocks, 2 trials\n"), std::string::npos)
        << text;
    const nlohmann::json document = nlohmann::json::parse(render_comparison({{"a.json", base}, {"b.json", wide}}, Format::Json));
    EXPECT_EQ(document["runs"][1]["jobs"], 8);

    // Twelve hosts of 2 to 13 CPUs, each on all of them, pool together; one
    // far slower at 8 jobs, and one on 1 core of its 4, are left out by
    // their widths, not judged slow.
    std::vector<LoadedRun> runs;
    for (int h = 0; h < 12; ++h) {
        runs.push_back({"h" + std::to_string(h) + ".json", record_of("h" + std::to_string(h), uniform(1000, {1.0, 1.02, 0.98}))});
        runs.back().record.machine.logical_cpus = runs.back().record.parameters.cores = 2 + h;
    }
    runs.push_back({"w.json", record_of("w", uniform(4000, {1.0, 1.02, 0.98}))});
    runs.back().record.machine.logical_cpus = runs.back().record.parameters.cores = 4;
    runs.back().record.parameters.jobs = 8;
    runs.push_back({"one.json", record_of("one", uniform(4000, {1.0, 1.02, 0.98}))});
    runs.back().record.machine.logical_cpus = 4;
    const Fleet fleet = fleet_of(runs);
    ASSERT_EQ(fleet.hosts.size(), 12u);
    for (const FleetHost& host : fleet.hosts)
        EXPECT_TRUE(host.host != "w" && host.host != "one") << host.host;
    const std::vector<std::string> warnings = fleet_warnings(runs, false, &fleet);
    ASSERT_GE(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], "host w (w.json) ran all 4 cores, 8 jobs, 4 MiB blocks, most of the fleet all cores, 1 job, "
                           "4 MiB blocks: left out of the fleet");
    EXPECT_EQ(warnings[1], "host one (one.json) ran 1 core, 1 job, 4 MiB blocks, most of the fleet all cores, 1 job, "
                           "4 MiB blocks: left out of the fleet");

    // The default run keeps its labels; the wide one of the same host is a
    // series of its own.
    const std::string metrics = render_openmetrics({{"a.json", base}, {"b.json", wide}});
    EXPECT_NE(metrics.find("ovrel_run_trials{host=\"a\",label=\"\"} 2\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("ovrel_run_trials{host=\"a\",label=\"\",cores=\"2\",jobs=\"8\",block_bytes=\"4096\"} 2\n"),
              std::string::npos)
        << metrics;
}

// A run whose file has no blocks made no disk passes: compared with another
// such run, or with a memory-only run, it has memory rows only, and no
// warning of the page cache.
TEST(Compare, RunsWithoutDiskPassesHaveMemoryRowsOnly)
{
    const std::vector<LoadedRun> pairs[] = {
        {{"a.json", record_of("a", uniform(1000, {1.0, 1.01}), PHASE_ALL, 0)},
         {"b.json", record_of("b", uniform(1000, {1.0, 0.99}), PHASE_ALL, 0)}},
        {{"a.json", record_of("a", uniform(1000, {1.0, 1.01}), PHASE_ALL, 0)},
         {"m.json", record_of("m", uniform(1000, {1.0, 0.99}), PHASE_MEMORY)}},
    };
    for (const std::vector<LoadedRun>& runs : pairs) {
        const std::vector<Comparison> comparisons = compare_runs(runs);
        ASSERT_EQ(comparisons.size(), 1u);
        ASSERT_EQ(comparisons[0].rows.size(), 8u) << runs[1].file;
        EXPECT_EQ(comparisons[0].rows.back().id, "large-8");
        const std::string text = render_comparison(runs, Format::Text);
        EXPECT_EQ(text.find("page cache"), std::string::npos) << text;
        EXPECT_EQ(text.find("no rates to compare"), std::string::npos) << text;
    }
}

// What a reader needs to weigh the verdicts: a run whose trials spread more
// than twofold, intervals wider than 10%, and how many verdicts chance
// alone would make.
TEST(Compare, WarnsOfWideSpreadAndWideIntervals)
{
    const std::vector<LoadedRun> runs = {{"steady.json", record_of("a", uniform(1000, {1.0, 1.01, 0.99}))},
                                         {"erratic.json", record_of("b", uniform(1000, {1.0, 2.5, 0.9}))}};
    EXPECT_EQ(spread_warnings(runs),
              std::vector<std::string>{"run 2's trials spread widely (small-1, small-2, small-4, small-8, large-1, "
                                       "large-2, large-4, large-8, write, read, rewrite, seek: the fastest up to 2.8 "
                                       "times the slowest): its figures are of a machine that changed under it"});
    const std::string text = render_comparison(runs, Format::Text);
    EXPECT_NE(text.find("Warning: run 2's trials spread widely"), std::string::npos) << text;
    EXPECT_NE(text.find("\nToo few trials for an interval within 10%: small-1, small-2,"), std::string::npos) << text;
    // One run a side: only what the calibration measured, not a promise.
    EXPECT_NE(text.find("\n12 verdicts in 1 comparison with the trials as units: no rate of false verdicts\n"
                        "can be promised. Calibrated on runs of one configuration, 7.8% of such comparisons\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("at most one comparison in 20"), std::string::npos) << text;
    EXPECT_EQ(spread_warnings({runs[0]}), std::vector<std::string>{});
}

TEST(Compare, TextFitsAHundredColumns)
{
    const std::vector<LoadedRun> runs = {{std::string(30, 'a') + ".json", record_of("a", uniform(2000, {1.0, 1.01, 0.99}))},
                                         {"b.json", record_of("b", uniform(1000, {1.0, 1.02}))}};
    const std::string text = render_comparison(runs, Format::Text);
    for (const std::string& line : split_lines(text)) {
        if (line.rfind("Warning", 0) != 0) {
            EXPECT_LE(line.size(), 100u) << line;
        }
    }
    EXPECT_NE(text.find("\nwrite "), std::string::npos) << text;
    EXPECT_NE(text.find(" faster\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nrun 2 against run 1: small-1 1.98x faster [1.61, 2.43], small-2 "), std::string::npos) << text;

    // Extremes keep their columns: a ratio of about 1e-7 with an interval
    // spanning decades; and a ratio of 0.9997 is 1.00, not 1.000.
    const std::vector<LoadedRun> extreme = {{"a.json", record_of("a", uniform(1, {1.0, 3.0, 1.0}))},
                                            {"b.json", record_of("b", uniform(10000000, {1.0, 1.2}))}};
    const std::vector<LoadedRun> close = {{"d.json", record_of("d", uniform(10000, {1.0, 1.0001}))},
                                          {"c.json", record_of("c", uniform(10003, {1.0, 1.0001}))}};
    for (const std::vector<LoadedRun>* runs_of : {&extreme, &close}) {
        const std::string wide = render_comparison(*runs_of, Format::Text);
        for (const std::string& line : split_lines(wide)) {
            if (line.rfind("Warning", 0) != 0) {
                EXPECT_LE(line.size(), 100u) << line;
            }
        }
        EXPECT_EQ(wide.find("1.000"), std::string::npos) << wide;
        EXPECT_NE(wide.find(runs_of == &extreme ? "e-0" : "   1.00 "), std::string::npos) << wide;
    }
}

// For Prometheus: the newest run of each host and label, label values that
// cannot break the file, base units, the end as seconds since 1970.
TEST(OpenMetrics, NewestRunOfEachHostWithEscapedLabels)
{
    std::vector<LoadedRun> runs = {{"old.json", record_of("a", uniform(1000, {1.0, 1.0}))},
                                   {"new.json", record_of("a", uniform(500, {1.0, 1.0}))},
                                   {"odd.json", record_of("q\"u\\o\nte}", uniform(2000, {1.0}))},
                                   {"leap.json", record_of("b", uniform(1000, {1.0, 1.0}))}};
    runs[0].record.ended_at = "2026-12-10T00:00:00Z";
    runs[1].record.ended_at = "2026-12-11T00:00:00Z";
    runs[2].record.ended_at = "yesterday";
    runs[2].record.label = "x\ty";
    runs[3].record.ended_at = "2000-02-29T23:59:59Z";
    runs[3].record.parameters.cold = true;
    std::swap(runs[0], runs[1]);  // the order of the files does not choose
    const std::string text = render_openmetrics(runs);

    const std::string write_rate = [&] {
        for (const AverageRecord& a : runs[0].record.averages)
            if (a.average.id == "write")
                return printed_double(a.average.mib_per_s * 1048576.0);
        return std::string();
    }();
    EXPECT_NE(text.find("\novrel_rate_bytes_per_second{host=\"a\",label=\"\",measurement=\"write\"} " + write_rate + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("ovrel_run_end_timestamp_seconds{host=\"a\",label=\"\"} 1796947200\n"), std::string::npos);
    EXPECT_NE(text.find("ovrel_run_end_timestamp_seconds{host=\"b\",label=\"\"} 951868799\n"), std::string::npos);
    EXPECT_NE(text.find("ovrel_run_cold{host=\"b\",label=\"\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("ovrel_run_cold{host=\"a\",label=\"\"} 0\n"), std::string::npos);
    EXPECT_EQ(text.find("1796860800"), std::string::npos) << "the older run of host a is left out";
    EXPECT_NE(text.find("ovrel_run_trials{host=\"q\\\"u\\\\o\\nte}\",label=\"x\xef\xbf\xbdy\"} 1\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("ovrel_run_end_timestamp_seconds{host=\"q"), std::string::npos) << "no end where none can be read";

    // Every line is metadata or one sample: name, labels, a number.
    const std::regex sample(R"([a-z_]+\{([a-z_]+="([^"\\\n]|\\[\\"n])*",?)+\} -?[0-9][0-9.e+-]*)");
    const std::vector<std::string> lines = split_lines(text);
    for (const std::string& line : lines)
        EXPECT_TRUE(line.rfind("# ", 0) == 0 || std::regex_match(line, sample)) << line;
    EXPECT_EQ(lines.back(), "# EOF");
}

// A large-array figure that is mostly its first sweep's fresh pages says so
// beside the comparison, with the rate of the later sweeps.
TEST(Compare, FirstTouchIsShownBesideTheFigure)
{
    RunRecord base = record_of("a", uniform(1000, {1.0, 1.0}));
    RunRecord other = record_of("b", uniform(1000, {1.0, 1.0}));
    for (TrialRecord& trial : base.trials)
        for (MeasurementRecord& m : trial.measurements)
            if (m.id == "large-8")
                m.sweep_us = {800000, 20000, 20000, 20000, 20000, 20000, 20000, 20000};
    for (TrialRecord& trial : other.trials)
        for (MeasurementRecord& m : trial.measurements)
            if (m.id == "large-8")
                m.sweep_us = {300000, 100000, 100000, 100000, 100000, 100000, 100000, 100000};
    const std::string text = render_comparison({{"a.json", base}, {"b.json", other}}, Format::Text, CompareOptions{});
    // 80% of 1 s; seven sweeps of 2 GiB in 140 ms.
    EXPECT_NE(text.find("  large-8: the first sweep of run 1, bringing the fresh pages in, took 80% of the time; the "
                        "later sweeps stored at 102400.0 MiB/s\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("the first sweep of run 2"), std::string::npos) << "30% is no first touch to speak of";
}

// A run whose trials were 1, 1 and 3 s has a mean-time rate well below its
// median trial rate: each output names the statistic it gives, and the fleet
// report's figure is the one the metrics call the median.
TEST(OpenMetrics, EachFigureNamesItsStatisticAndTheFleetsIsTheMedian)
{
    std::vector<LoadedRun> runs;
    for (const char* host : {"a", "b", "c"})
        runs.push_back({std::string(host) + ".json", record_of(host, uniform(1000, {1.0, 1.0, 3.0}))});
    const std::string metrics = render_openmetrics(runs);
    EXPECT_NE(metrics.find("# HELP ovrel_rate_bytes_per_second Rate of the run's mean time over its trials"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("# HELP ovrel_trial_rate_median_bytes_per_second Median of the trials' rates, the figure "
                           "the fleet report compares."),
              std::string::npos)
        << metrics;
    const std::string text = render_fleet(runs, fleet_of(runs), Format::Text);
    EXPECT_NE(text.find("Disk, median of each host's clean trial rates, MiB/s"), std::string::npos) << text;
    // 32 GiB in 1 s: the median; the mean time (1666 ms, truncated) gives
    // 19668.67 MiB/s.
    const std::string csv = render_fleet(runs, fleet_of(runs), Format::Csv);
    EXPECT_NE(csv.find("\na,1,write,32768,3,"), std::string::npos) << csv;
    EXPECT_NE(metrics.find("ovrel_trial_rate_median_bytes_per_second{host=\"a\",label=\"\",measurement=\"write\"} " +
                           printed_double(32768.0 * 1048576.0) + "\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("ovrel_rate_bytes_per_second{host=\"a\",label=\"\",measurement=\"write\"} 20624092657."),
              std::string::npos)
        << metrics;
}

// Records cut short or with bytes changed at random must be refused or read,
// never crash (the sanitizers watch this in CI).
TEST(Compare, MutatedRecordsNeverCrashTheReader)
{
    const std::string good = record_to_json(record_of("fuzz", uniform(1000, {1.0, 1.1})));
    std::mt19937 random_source(12345);
    const char replacements[] = {'"', '{', '}', '[', ']', ',', ':', '0', '9', '-', 'e', '.', 'n', 't', '\\', ' ', '\0'};
    size_t refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        if (round % 3 == 0) {
            text.resize(random_source() % good.size());
        } else {
            const int changes = 1 + static_cast<int>(random_source() % 4);
            for (int c = 0; c < changes; ++c)
                text[random_source() % text.size()] = replacements[random_source() % sizeof replacements];
        }
        RunRecord record;
        std::string error;
        if (!record_from_json(text, &record, &error)) {
            ++refused;
            EXPECT_FALSE(error.empty());
        }
    }
    EXPECT_GT(refused, 1000u);
}

} // namespace

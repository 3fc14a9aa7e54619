#include <cmath>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare/compare.h"
#include "driver/export.h"
#include "support.h"

namespace {

// A record of `trials` trials whose measurement `index` takes `ms[t][index]`
// milliseconds in trial t.
RunRecord record_of(const std::string& host, const std::vector<std::vector<int64_t>>& ms, unsigned phases = PHASE_ALL)
{
    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.trials = static_cast<int32_t>(ms.size());
    parameters.file_size = uint64_t{32} << 30;
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
    EXPECT_EQ(verdict_of(equal), Verdict::NoDifference);

    // Unequal sizes and spreads. Reference computed apart from this code, in
    // plain Python: Student's t density integrated by Simpson's rule and
    // inverted by bisection (df 2.0171022859574887, t 4.2678820164136315).
    const RatioEstimate welch = ratio_estimate({100, 102, 98, 101}, {90, 70, 110});
    EXPECT_NEAR(welch.degrees_of_freedom, 2.0171022859574887, 1e-9);
    EXPECT_NEAR(welch.ratio, 0.8828240848435802, 1e-9);
    EXPECT_NEAR(welch.low, 0.5046732942154478, 1e-6);
    EXPECT_NEAR(welch.high, 1.5443225819814907, 1e-6);
    EXPECT_EQ(verdict_of(welch), Verdict::NoDifference);
    EXPECT_EQ(verdict_of(ratio_estimate({100, 101, 102}, {150, 152, 153})), Verdict::Faster);
    EXPECT_EQ(verdict_of(ratio_estimate({150, 152, 153}, {100, 101, 102})), Verdict::Slower);
}

TEST(Ratio, OneTrialAndIdenticalRuns)
{
    const RatioEstimate single = ratio_estimate({100}, {200, 210});
    EXPECT_TRUE(single.has_ratio);
    EXPECT_FALSE(single.has_interval);
    EXPECT_NEAR(single.ratio, std::sqrt(200.0 * 210.0) / 100.0, 1e-12);
    EXPECT_EQ(verdict_of(single), Verdict::NoInterval);

    const std::vector<double> same = {100, 105, 110};
    const RatioEstimate identical = ratio_estimate(same, same);
    EXPECT_DOUBLE_EQ(identical.ratio, 1.0);
    EXPECT_LT(identical.low, 1.0);
    EXPECT_GT(identical.high, 1.0);
    EXPECT_NEAR(identical.low * identical.high, 1.0, 1e-12) << "symmetric around 1 on the log scale";
    EXPECT_EQ(verdict_of(identical), Verdict::NoDifference);

    // Whole-millisecond ties: every trial at 68 ms against every trial at
    // 67 ms is no firm verdict, however many trials.
    const RatioEstimate constant = ratio_estimate({100, 100}, {100, 100});
    EXPECT_FALSE(constant.has_interval);
    EXPECT_EQ(verdict_of(constant), Verdict::NoInterval);
    const double at_68 = 1024.0 / 0.068;
    const double at_67 = 1024.0 / 0.067;
    const RatioEstimate ties = ratio_estimate({at_68, at_68, at_68, at_68, at_68}, {at_67, at_67, at_67, at_67, at_67});
    EXPECT_NEAR(ties.ratio, 68.0 / 67.0, 1e-12);
    EXPECT_EQ(verdict_of(ties), Verdict::NoInterval);
    EXPECT_STREQ(verdict_text(verdict_of(ties)), "no interval (fewer than 2 trials, or no spread)");
    EXPECT_EQ(verdict_of(ratio_estimate({}, {1, 2})), Verdict::NoRates);
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
    for (const Case c : {Case{1001, false}, Case{1300, true}}) {
        std::vector<LoadedRun> runs;
        for (int h = 0; h < 50; ++h)
            runs.push_back(LoadedRun{"h" + std::to_string(h) + ".json",
                                     record_of("host-" + std::to_string(100 + h),
                                               uniform(h < 45 ? 1000 : c.odd_ms, {1.0, 1.0, 1.0}))});
        const Fleet fleet = fleet_of(runs);
        for (const FleetHost& host : fleet.hosts)
            for (size_t m = 0; m < fleet.measurements.size(); ++m)
                EXPECT_EQ(host.cells[m].flag, c.flagged && host.host >= "host-145" ? -1 : 0)
                    << c.odd_ms << " ms: " << host.host << " " << fleet.measurements[m].id << " z "
                    << host.cells[m].z;
    }
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
    // The memory measurements the second run lacks are there, without rates.
    const std::vector<Comparison> comparisons = compare_runs({{"a.json", base}, {"b.json", other}});
    ASSERT_EQ(comparisons.at(0).rows.size(), 12u);
    EXPECT_EQ(comparisons[0].rows[0].verdict, Verdict::NoRates);
}

TEST(Compare, TextFitsAHundredColumns)
{
    const std::vector<LoadedRun> runs = {{std::string(30, 'a') + ".json", record_of("a", uniform(2000, {1.0, 1.1, 0.9}))},
                                         {"b.json", record_of("b", uniform(1000, {1.0, 1.2}))}};
    const std::string text = render_comparison(runs, Format::Text);
    for (const std::string& line : split_lines(text)) {
        if (line.rfind("Warning", 0) != 0) {
            EXPECT_LE(line.size(), 100u) << line;
        }
    }
    EXPECT_NE(text.find("\nwrite "), std::string::npos) << text;
    EXPECT_NE(text.find(" faster\n"), std::string::npos) << text;

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

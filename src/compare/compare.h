// ovrel-compare: reads run records and tells what differs, with intervals,
// or which hosts of a fleet stand out.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>
#include <sys/types.h>

#include "measure/statistics.h"
#include "measure/witness.h"
#include "record/run_record.h"

struct LoadedRun {
    std::string file;
    RunRecord record;
    std::string group{};  // the directory argument the record came from; empty for a file
    dev_t device{};       // of the file read
    ino_t inode{};
    // The same record given again: what was left out, one sentence each,
    // with its place among the files given.
    std::vector<std::pair<size_t, std::string>> repeats{};
};

// Reads every file through the validating reader. On the first failure,
// false with `*error` as "FILE: what is wrong".
bool load_runs(const std::vector<std::string>& files, std::vector<LoadedRun>* runs, std::string* error);
// Each record counted once: a file given again (by any name), or another
// file holding the same run (host, directory, start, seed and the times
// measured), is left out, and the run kept says so in its `repeats`.
// Returns how many were left out.
size_t count_each_run_once(std::vector<LoadedRun>* runs);

// The trials' rates of measurement `id` that can be compared: finite and
// above zero (a 0 ms or empty measurement has none), from the microseconds
// where the record has them (version 2 on), else from whole milliseconds.
std::vector<double> trial_rates(const RunRecord& record, const std::string& id);

// What the witness saw that makes a trial's figure another's: other
// processes on the CPU, the hypervisor, other I/O on the device, swapping.
// Such trials are left out of a verdict. (A read from the page cache or a
// slow block is how the measured system behaves, and is kept, except in a
// cold run, which promises reads from the device: there a read from the
// cache is a figure of something else, and is left out too.)
constexpr unsigned DISTURBED_BY_OTHERS = DISTURBED_CPU_TAKEN | DISTURBED_STEAL | DISTURBED_OTHER_IO | DISTURBED_SWAP;
// The reasons that leave a trial of `record` out of a verdict.
unsigned disturbing_reasons(const RunRecord& record);

// How much of a measurement's time its first sweep took (the median over
// the trials that timed their sweeps), and the median rate of the sweeps
// after it; `timed` false where no trial timed them.
struct FirstTouch {
    bool timed;
    double share;
    double later_mib_per_s;
};
FirstTouch first_touch(const RunRecord& record, const std::string& id);

struct CleanRates {
    std::vector<double> rates;  // of the trials left in
    size_t left_out;            // trials disturbed by others
    unsigned reasons;           // their DISTURBED_* bits
};
CleanRates clean_rates(const RunRecord& record, const std::string& id);

// The smallest difference a verdict reports where the trials are the units,
// chosen from the calibration runs of bench/compare_calibration: one run a
// side, the interval covers the spread between trials only, and quiet runs
// of one configuration on a shared machine drift apart by 20-35% within
// minutes while each run's trials agree to a few percent. Where the runs
// are the unit (several a side), their spread is in the interval and no
// smallest difference is needed.
constexpr double SMALLEST_DIFFERENCE_ONE_RUN = 0.30;
// What that calibration measured (docs/benchmarks.md): with one run a side
// and the floor above, the share of comparisons of one configuration with
// itself that still said "faster" or "slower", over all sets and in the
// worst one. With two runs or more a side it stayed within one in 20.
constexpr const char* CALIBRATED_FALSE_ONE_RUN = "7.8%";
constexpr const char* CALIBRATED_FALSE_ONE_RUN_WORST = "28.6%";

struct CompareOptions {
    bool group = false;               // runs of one directory argument, or of one label, are one side
    double smallest_difference = -1;  // from --smallest-difference; below 0: the defaults above
};

// One side of a comparison: a run, or with --group several.
struct Side {
    std::string name;          // the label the runs share, else "run N" or the directory
    std::vector<size_t> runs;  // indices into the runs, in their order
};
std::vector<Side> sides_of(const std::vector<LoadedRun>& runs, bool group);

enum class Verdict { Faster, Slower, NoDifference, Small, NoInterval, NoRates, Disturbed };

// A side's figures for one measurement. With one run the units are its
// trials; with several, each run's geometric mean of its trials.
struct SideFigures {
    Spread units;     // of the units' rates
    size_t trials;    // trials taken in
    size_t left_out;  // trials disturbed by others, left out
    unsigned reasons;
};

struct ComparisonRow {
    std::string id;
    SideFigures base;
    SideFigures other;
    RatioEstimate estimate;  // at `level`
    double level;            // of the interval: its step of Holm's method
    Verdict verdict;
    double smallest_difference;  // reported only from this share on
};

// What a comparison of two sides may claim, decided in one place. The runs
// are the units only where both sides hold two runs or more with rates (the
// spread between runs is then in the intervals); otherwise the trials are,
// pooled over a side's runs, under the smallest difference of one run a side.
struct Claim {
    bool runs_as_unit;
    double smallest_difference;  // differences under this share are not reported
    size_t base_runs;            // runs with rates on each side
    size_t other_runs;
    bool one_run_a_side;
    const char* refusal;  // why no verdict can be made at all; null where one can
};
Claim claim_for(const std::vector<LoadedRun>& runs, const Side& base, const Side& other,
                const CompareOptions& options);
// What the intervals cover, in the words printed under the table.
std::string claim_note(const Claim& claim);

// One side against the baseline (side 0), over the measurements either holds.
struct Comparison {
    size_t side;     // index into the sides
    size_t family;   // measurements with an interval: the 5% is shared among them (Holm)
    bool runs_as_unit;
    std::vector<ComparisonRow> rows;
    Claim claim;
};
// What chance alone may do to the verdicts of `comparisons`, as calibrated
// for their kind: the closing sentence of a text report, empty without
// verdicts.
std::string verdicts_promise(const std::vector<Comparison>& comparisons);

// Each comparison makes one verdict per measurement, and holds the chance of
// any false one to 5% by Holm's method: the measurements in the order of
// their p-values, the first tested at 0.05 / N, the next at 0.05 / (N - 1),
// and so on until one fails, which ends it. Each interval is at the level of
// its step (those from the failed step on at that step's), so that it
// excludes 1 exactly where the test rejects: the levels, in the order given.
std::vector<double> holm_levels(const std::vector<double>& p_values);

std::vector<Comparison> compare_runs(const std::vector<LoadedRun>& runs, const std::vector<Side>& sides,
                                     const CompareOptions& options = CompareOptions{});
// Side `s` (from 1) against the baseline.
Comparison compare_side(const std::vector<LoadedRun>& runs, const std::vector<Side>& sides, size_t s,
                        const CompareOptions& options);
// Each run a side of its own.
std::vector<Comparison> compare_runs(const std::vector<LoadedRun>& runs);
// The verdict in words, at most 31 characters ("disturbed: other-io +1").
std::string verdict_text(const ComparisonRow& row);
// The DISTURBED_* bits in words: "cpu-taken, other-io".
std::string disturbed_reasons_text(unsigned reasons);
// Why two runs' figures may not be comparable, one sentence each.
std::vector<std::string> comparability_warnings(const std::vector<LoadedRun>& runs);
// The warnings that one run's own figures give: trials that spread widely.
std::vector<std::string> spread_warnings(const std::vector<LoadedRun>& runs);

// Fleet mode: the runs of each host pooled, the trials the witness found
// disturbed by others left out; per measurement the fleet's median and
// median absolute deviation of the hosts' medians, and each host's robust
// z-score. A host stands out where its z is beyond OUTLIER_Z and its own
// trials' interval lies beyond the fleet's median, by at least the smallest
// difference of one run a side (its trials say nothing of the spread
// between its runs).
constexpr double OUTLIER_Z = 3.5;
constexpr size_t FLEET_MIN_HOSTS = 3;

struct HostCell {
    Spread spread;      // of the host's pooled clean trial rates
    size_t left_out;    // trials disturbed by others
    unsigned reasons;   // their DISTURBED_* bits
    double z;           // nan where it cannot be judged
    int flag;           // -1 slow, +1 fast, 0 neither
    int differs;        // -1 or +1 where z is beyond OUTLIER_Z but the trials do not bear it out
    RatioEstimate to_median;  // the host against the fleet's median, where z is beyond OUTLIER_Z
};
// What a cell's figures say beyond its rate: "" where it is in line or
// stands out, else "not judged: disturbed (other-io)", "differs, but its
// trials spread too much", or that one trial, or trials that tie, give no
// interval.
std::string standing_text(const HostCell& cell);

struct FleetHost {
    std::string host;
    size_t runs;
    std::vector<HostCell> cells;  // one per fleet measurement
};

struct FleetMeasurement {
    std::string id;
    double median;  // of the hosts' medians
    double mad;     // median absolute deviation
    size_t hosts;   // hosts with rates for it
};

struct Fleet {
    std::vector<FleetMeasurement> measurements;
    std::vector<FleetHost> hosts;
    bool judged;  // enough hosts to judge outliers
};

// How wide a run was, in words: "2 cores, 4 jobs, 4 KiB blocks"; "all 16
// cores" where it ran on every CPU of its machine ("all cores" with
// `any_size`, for runs of machines of any size).
std::string width_text(const RunRecord& r, bool any_size);
// Whether two runs were equally wide: the same cores, jobs and block size.
bool same_width(const ParametersRecord& a, const ParametersRecord& b);

// The width most of the runs share (cores, jobs, block size), as a key;
// the fleet pools only runs of that width. Runs on every CPU of their
// machines are of one width, whatever the machines' sizes.
std::string fleet_width(const std::vector<LoadedRun>& runs);
// Hosts are told apart by the machine's host name, or with `by_label` by
// the runs' labels (the host name where a run has none).
Fleet fleet_of(const std::vector<LoadedRun>& runs, bool by_label = false);
// Only runs as wide as most of the fleet's are pooled (see fleet_width).
// Why a host's figures may not compare with the rest of the fleet's, one
// sentence each: an interrupted run, a file the page cache held, and direct
// I/O, cold runs, file sizes or versions other than most of the fleet's; a
// run of another width, left out;
// with `fleet`, the hosts not judged in a measurement because the witness
// found every trial of it disturbed.
std::vector<std::string> fleet_warnings(const std::vector<LoadedRun>& runs, bool by_label = false,
                                        const Fleet* fleet = nullptr);
// 0.6745 (x - median) / MAD; where the MAD is 0, the mean absolute deviation
// scaled by 1.2533 stands in for it; 0 when every value is the median.
double robust_z(double value, const std::vector<double>& values);

enum class Format { Text, Markdown, Csv, Json, OpenMetrics };

std::string render_comparison(const std::vector<LoadedRun>& runs, Format format,
                              const CompareOptions& options = CompareOptions{});
// The same, written to `sink` as it is made (a fleet's comparison in JSON
// is far larger than its records); the caller checks the stream for errors.
void write_comparison(FILE* sink, const std::vector<LoadedRun>& runs, Format format, const CompareOptions& options);
void write_fleet(FILE* sink, const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format, bool by_label);
std::string render_fleet(const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format, bool by_label = false);
// The newest run of each host and label as gauges for Prometheus (the text
// node_exporter's textfile collector reads, valid OpenMetrics too).
std::string render_openmetrics(const std::vector<LoadedRun>& runs);

// Writes `text` to `path` so that a reader sees the old file or the whole
// new one: a hidden temporary file beside it, created exclusively (no link
// is followed), moded as a new file under the umask, flushed, renamed over
// `path` (replace_file). False with `*error` on failure, nothing left behind.
bool write_file_atomically(const std::string& path, const std::string& text, std::string* error);
// The same with the contents written by `write` into a stream as they are
// made; a stream error fails it.
bool write_stream_atomically(const std::string& path, void (*write)(FILE* sink, void* context), void* context,
                             std::string* error);

// Whether gnuplot can be run.
bool gnuplot_available();
// Draws the plot into `path` (.svg or .png) with gnuplot. Nothing read from a
// run reaches gnuplot's script: names go into data files, stripped of
// anything that could end a field or a line. Nor does `path`: gnuplot draws
// into a private directory, and the plot is put in place with
// write_file_atomically. gnuplot's own messages are shown only when it
// fails. False with `*error` on failure.
bool plot_comparison(const std::vector<LoadedRun>& runs, const CompareOptions& options, const std::string& path,
                     std::string* error);
bool plot_fleet(const Fleet& fleet, const std::string& path, std::string* error);

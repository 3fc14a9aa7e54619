// ovrel-compare: reads run records and tells what differs, with intervals,
// or which hosts of a fleet stand out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "record/run_record.h"

struct LoadedRun {
    std::string file;
    RunRecord record;
};

// Reads every file through the validating reader. On the first failure,
// false with `*error` as "FILE: what is wrong".
bool load_runs(const std::vector<std::string>& files, std::vector<LoadedRun>* runs, std::string* error);

// The trials' rates of measurement `id` that can be compared: finite and
// above zero (a 0 ms or empty measurement has none).
std::vector<double> trial_rates(const RunRecord& record, const std::string& id);

struct Spread {
    size_t n;
    double median;  // nan when n is 0
    double min;
    double max;
};
Spread spread_of(std::vector<double> values);

// The ratio of the geometric means of `other` to `base`, with a 95 %
// interval from Welch's t on the logarithms of the rates.
struct RatioEstimate {
    bool has_ratio;     // both sides have rates
    double ratio;
    bool has_interval;  // both sides have two rates or more
    double low;
    double high;
    double degrees_of_freedom;
};
RatioEstimate ratio_estimate(const std::vector<double>& base, const std::vector<double>& other);

enum class Verdict { Faster, Slower, NoDifference, NoInterval, NoRates };
Verdict verdict_of(const RatioEstimate& estimate);
const char* verdict_text(Verdict verdict);

struct ComparisonRow {
    std::string id;
    Spread base;
    Spread other;
    RatioEstimate estimate;
    Verdict verdict;
};

// One run against the baseline, over the measurements either of them holds.
struct Comparison {
    size_t run;  // index into the runs; 0 is the baseline
    std::vector<ComparisonRow> rows;
};

std::vector<Comparison> compare_runs(const std::vector<LoadedRun>& runs);
// Why two runs' figures may not be comparable, one sentence each.
std::vector<std::string> comparability_warnings(const std::vector<LoadedRun>& runs);

// Fleet mode: the runs of each host pooled; per measurement the fleet's
// median and median absolute deviation of the hosts' medians, and each
// host's robust z-score.
constexpr double OUTLIER_Z = 3.5;
constexpr size_t FLEET_MIN_HOSTS = 3;

struct HostCell {
    Spread spread;  // of the host's pooled trial rates
    double z;       // nan where it cannot be judged
    int flag;       // -1 slow, +1 fast, 0 neither
};

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

// Hosts are told apart by the machine's host name, or with `by_label` by
// the runs' labels (the host name where a run has none).
Fleet fleet_of(const std::vector<LoadedRun>& runs, bool by_label = false);
// 0.6745 (x - median) / MAD; where the MAD is 0, the mean absolute deviation
// scaled by 1.2533 stands in for it; 0 when every value is the median.
double robust_z(double value, const std::vector<double>& values);
double median_of(std::vector<double> values);

enum class Format { Text, Markdown, Csv, Json, OpenMetrics };

std::string render_comparison(const std::vector<LoadedRun>& runs, Format format);
std::string render_fleet(const std::vector<LoadedRun>& runs, const Fleet& fleet, Format format);
// The newest run of each host and label as gauges for Prometheus (the text
// node_exporter's textfile collector reads, valid OpenMetrics too).
std::string render_openmetrics(const std::vector<LoadedRun>& runs);

// Writes `text` to `path` so that a reader sees the old file or the whole
// new one: a hidden temporary file beside it, created exclusively (no link
// is followed), moded as a new file under the umask, flushed, renamed over
// `path` (replace_file). False with `*error` on failure, nothing left behind.
bool write_file_atomically(const std::string& path, const std::string& text, std::string* error);

// Whether gnuplot can be run.
bool gnuplot_available();
// Draws the plot into `path` (.svg or .png) with gnuplot. Nothing read from a
// run reaches gnuplot's script: names go into data files, stripped of
// anything that could end a field or a line. Nor does `path`: gnuplot draws
// into a private directory, and the plot is put in place with
// write_file_atomically. gnuplot's own messages are shown only when it
// fails. False with `*error` on failure.
bool plot_comparison(const std::vector<LoadedRun>& runs, const std::string& path, std::string* error);
bool plot_fleet(const Fleet& fleet, const std::string& path, std::string* error);

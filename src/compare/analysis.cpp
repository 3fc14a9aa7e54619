#include <algorithm>
#include <cmath>
#include <map>

#include <boost/math/distributions/students_t.hpp>

#include "compare/compare.h"
#include "measure/result.h"
#include "measure/visible.h"
#include "run/measurements.h"

namespace {

// The ids any of the records holds, in the order of the table.
std::vector<std::string> ids_in(const std::vector<const RunRecord*>& records)
{
    std::vector<std::string> ids;
    for (const Measurement& m : MEASUREMENTS) {
        bool present = false;
        for (const RunRecord* record : records)
            for (const AverageRecord& average : record->averages)
                present = present || average.average.id == m.id;
        if (present)
            ids.push_back(m.id);
    }
    return ids;
}

double mean_of(const std::vector<double>& values)
{
    double sum = 0;
    for (double value : values)
        sum += value;
    return sum / static_cast<double>(values.size());
}

// Sample variance.
double variance_of(const std::vector<double>& values, double mean)
{
    double squares = 0;
    for (double value : values)
        squares += (value - mean) * (value - mean);
    return squares / static_cast<double>(values.size() - 1);
}

std::string size_text(uint64_t bytes)
{
    char label[SIZE_LABEL_LEN];
    return format_size(bytes, label);
}

} // namespace

bool load_runs(const std::vector<std::string>& files, std::vector<LoadedRun>* runs, std::string* error)
{
    runs->clear();
    runs->reserve(files.size());
    for (const std::string& file : files) {
        LoadedRun run{file, {}};
        std::string fault;
        if (!read_record_file(file.c_str(), &run.record, &fault)) {
            // Names and record contents may hold anything: escaped.
            *error = visible(file) + ": " + visible(fault);
            return false;
        }
        runs->push_back(std::move(run));
    }
    return true;
}

std::vector<double> trial_rates(const RunRecord& record, const std::string& id)
{
    std::vector<double> rates;
    for (const TrialRecord& trial : record.trials)
        for (const MeasurementRecord& m : trial.measurements)
            if (m.id == id && std::isfinite(m.mib_per_s) && m.mib_per_s > 0)
                rates.push_back(m.mib_per_s);
    return rates;
}

double median_of(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Spread spread_of(std::vector<double> values)
{
    Spread spread{values.size(), NAN, NAN, NAN};
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    spread.min = values.front();
    spread.max = values.back();
    spread.median = median_of(values);
    return spread;
}

RatioEstimate ratio_estimate(const std::vector<double>& base, const std::vector<double>& other)
{
    RatioEstimate estimate{false, NAN, false, NAN, NAN, NAN};
    if (base.empty() || other.empty())
        return estimate;
    std::vector<double> log_base;
    std::vector<double> log_other;
    for (double rate : base)
        log_base.push_back(std::log(rate));
    for (double rate : other)
        log_other.push_back(std::log(rate));
    const double mean_base = mean_of(log_base);
    const double mean_other = mean_of(log_other);
    const double difference = mean_other - mean_base;
    estimate.has_ratio = true;
    estimate.ratio = std::exp(difference);
    if (base.size() < 2 || other.size() < 2)
        return estimate;

    const double share_base = variance_of(log_base, mean_base) / static_cast<double>(base.size());
    const double share_other = variance_of(log_other, mean_other) / static_cast<double>(other.size());
    const double standard_error = std::sqrt(share_base + share_other);
    // Every trial on both sides gave the same rate (whole milliseconds that
    // tie): the spread is unknown, not zero, and no interval can be given.
    // A zero-width one would call a single millisecond a firm difference.
    if (standard_error == 0)
        return estimate;
    estimate.has_interval = true;
    // Welch-Satterthwaite degrees of freedom.
    const double df = (share_base + share_other) * (share_base + share_other) /
                      (share_base * share_base / static_cast<double>(base.size() - 1) +
                       share_other * share_other / static_cast<double>(other.size() - 1));
    // Computing in double throughout (Boost would otherwise promote to long
    // double) is ten times faster and agrees to 1e-15.
    using Policy = boost::math::policies::policy<boost::math::policies::promote_double<false>>;
    const boost::math::students_t_distribution<double, Policy> distribution(df);
    const double t = boost::math::quantile(distribution, 0.975);
    estimate.degrees_of_freedom = df;
    estimate.low = std::exp(difference - t * standard_error);
    estimate.high = std::exp(difference + t * standard_error);
    return estimate;
}

Verdict verdict_of(const RatioEstimate& estimate)
{
    if (!estimate.has_ratio)
        return Verdict::NoRates;
    if (!estimate.has_interval)
        return Verdict::NoInterval;
    if (estimate.low > 1)
        return Verdict::Faster;
    if (estimate.high < 1)
        return Verdict::Slower;
    return Verdict::NoDifference;
}

const char* verdict_text(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Faster: return "faster";
    case Verdict::Slower: return "slower";
    case Verdict::NoDifference: return "no difference shown";
    case Verdict::NoInterval: return "no interval (fewer than 2 trials, or no spread)";
    case Verdict::NoRates: return "no rates to compare";
    }
    return "";
}

std::vector<Comparison> compare_runs(const std::vector<LoadedRun>& runs)
{
    std::vector<Comparison> comparisons;
    if (runs.empty())
        return comparisons;
    const RunRecord& base = runs[0].record;
    std::vector<std::vector<double>> base_rates;
    for (const Measurement& m : MEASUREMENTS)
        base_rates.push_back(trial_rates(base, m.id));
    for (size_t r = 1; r < runs.size(); ++r) {
        Comparison comparison{r, {}};
        const RunRecord& other = runs[r].record;
        for (const std::string& id : ids_in({&base, &other})) {
            const std::vector<double>& base_side = base_rates[static_cast<size_t>(measurement_index(id.c_str()))];
            const std::vector<double> other_rates = trial_rates(other, id);
            ComparisonRow row{id, spread_of(base_side), spread_of(other_rates), ratio_estimate(base_side, other_rates),
                              Verdict::NoRates};
            row.verdict = verdict_of(row.estimate);
            comparison.rows.push_back(row);
        }
        comparisons.push_back(comparison);
    }
    return comparisons;
}

std::vector<std::string> comparability_warnings(const std::vector<LoadedRun>& runs)
{
    std::vector<std::string> warnings;
    if (runs.empty())
        return warnings;
    const ParametersRecord& base = runs[0].record.parameters;
    for (size_t r = 0; r < runs.size(); ++r) {
        const RunRecord& record = runs[r].record;
        const ParametersRecord& p = record.parameters;
        const std::string run = "run " + std::to_string(r + 1);
        const bool disk = std::find(p.phases.begin(), p.phases.end(), "disk") != p.phases.end();
        if (!record.complete)
            warnings.push_back(run + " was interrupted: it holds " + std::to_string(record.trials.size()) + " of " +
                               std::to_string(p.trials) + " trials");
        if (disk && !p.direct_io && !p.cold && p.file_size_bytes < 2 * record.machine.ram_bytes)
            warnings.push_back(run + "'s file (" + size_text(p.file_size_bytes) +
                               ") is smaller than twice its machine's memory (" +
                               size_text(record.machine.ram_bytes) + "): its read passes measured the page cache");
        if (r == 0)
            continue;
        if (p.file_size_bytes != base.file_size_bytes)
            warnings.push_back(run + "'s file size (" + size_text(p.file_size_bytes) + ") differs from the baseline's (" +
                               size_text(base.file_size_bytes) + ")");
        if (p.large_array_bytes != base.large_array_bytes)
            warnings.push_back(run + "'s large array (" + size_text(p.large_array_bytes) +
                               ") differs from the baseline's (" + size_text(base.large_array_bytes) + ")");
        if (p.cold != base.cold)
            warnings.push_back(run + (p.cold ? " was cold (writes timed to their fsync, cache dropped before reads)"
                                               " and the baseline was not"
                                             : " was not cold and the baseline was (writes timed to their fsync,"
                                               " cache dropped before reads)"));
        if (p.direct_io != base.direct_io)
            warnings.push_back(run + (p.direct_io ? " used direct I/O and the baseline did not"
                                                  : " went through the page cache and the baseline used direct I/O"));
    }
    return warnings;
}

namespace {

// The centre and spreads of a fleet's values, taken once for all its hosts.
struct Centre {
    double median;
    double mad;             // median absolute deviation
    double mean_deviation;  // mean absolute deviation
};

Centre centre_of(const std::vector<double>& values)
{
    Centre centre{median_of(values), NAN, NAN};
    std::vector<double> deviations;
    deviations.reserve(values.size());
    for (double v : values)
        deviations.push_back(std::fabs(v - centre.median));
    centre.mean_deviation = mean_of(deviations);
    centre.mad = median_of(std::move(deviations));
    return centre;
}

// `resolution`: the smallest difference from the median the figures can
// tell at all; within it, a value is the median.
double z_of(double value, const Centre& c, double resolution)
{
    if (c.mad > 0)
        return 0.6745 * (value - c.median) / c.mad;
    // More than half the values equal the median: the mean absolute
    // deviation, scaled to match the MAD's, still tells one host apart, but
    // only by more than the figures' resolution.
    if (c.mean_deviation > 0 && std::fabs(value - c.median) > resolution)
        return (value - c.median) / (1.253314 * c.mean_deviation);
    return 0;
}

// Of a rate worked out from whole milliseconds: one millisecond more or
// less at the slowest of its trials, and half as much again.
double rate_resolution(const std::vector<const RunRecord*>& records, const std::string& id, double median)
{
    uint64_t shortest = UINT64_MAX;
    for (const RunRecord* record : records)
        for (const TrialRecord& trial : record->trials)
            for (const MeasurementRecord& m : trial.measurements)
                if (m.id == id && m.ms > 0 && m.ms < shortest)
                    shortest = m.ms;
    return shortest == UINT64_MAX ? 0 : 1.5 * median / static_cast<double>(shortest);
}

} // namespace

double robust_z(double value, const std::vector<double>& values)
{
    return z_of(value, centre_of(values), 0);
}

Fleet fleet_of(const std::vector<LoadedRun>& runs, bool by_label)
{
    Fleet fleet{};
    std::vector<const RunRecord*> records;
    std::map<std::string, std::vector<const RunRecord*>> by_host;
    std::vector<std::string> host_order;
    for (const LoadedRun& run : runs) {
        records.push_back(&run.record);
        const std::string& name =
            by_label && !run.record.label.empty() ? run.record.label : run.record.machine.host_name;
        std::vector<const RunRecord*>& host_runs = by_host[name];
        if (host_runs.empty())
            host_order.push_back(name);
        host_runs.push_back(&run.record);
    }
    std::sort(host_order.begin(), host_order.end());
    fleet.judged = host_order.size() >= FLEET_MIN_HOSTS;
    const std::vector<std::string> ids = ids_in(records);

    for (const std::string& host : host_order) {
        FleetHost entry{host, by_host[host].size(), {}};
        for (const std::string& id : ids) {
            std::vector<double> pooled;
            for (const RunRecord* record : by_host[host]) {
                const std::vector<double> rates = trial_rates(*record, id);
                pooled.insert(pooled.end(), rates.begin(), rates.end());
            }
            entry.cells.push_back(HostCell{spread_of(pooled), NAN, 0});
        }
        fleet.hosts.push_back(entry);
    }
    for (size_t m = 0; m < ids.size(); ++m) {
        std::vector<double> medians;
        for (const FleetHost& host : fleet.hosts)
            if (host.cells[m].spread.n > 0)
                medians.push_back(host.cells[m].spread.median);
        // Median and MAD once per measurement, not once per host.
        const Centre centre = centre_of(medians);
        fleet.measurements.push_back(FleetMeasurement{ids[m], centre.median, centre.mad, medians.size()});
        if (medians.size() < FLEET_MIN_HOSTS)
            continue;
        const double resolution = rate_resolution(records, ids[m], centre.median);
        for (FleetHost& host : fleet.hosts) {
            HostCell& cell = host.cells[m];
            if (cell.spread.n == 0)
                continue;
            cell.z = z_of(cell.spread.median, centre, resolution);
            if (fleet.judged && std::fabs(cell.z) > OUTLIER_Z)
                cell.flag = cell.z < 0 ? -1 : 1;
        }
    }
    return fleet;
}

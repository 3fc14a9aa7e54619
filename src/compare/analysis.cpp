#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "compare/compare.h"
#include "measure/result.h"
#include "measure/visible.h"
#include "run/measurements.h"
#include "run/run_parameters.h"

namespace {

// The ids any of the records measured something for, in the order of the
// table: a run with a file of no blocks made no disk passes.
std::vector<std::string> ids_in(const std::vector<const RunRecord*>& records)
{
    std::vector<std::string> ids;
    for (const Measurement& m : MEASUREMENTS) {
        bool present = false;
        for (const RunRecord* record : records)
            for (const AverageRecord& average : record->averages)
                present = present || (average.average.id == m.id && average.average.size_bytes > 0);
        if (present)
            ids.push_back(m.id);
    }
    return ids;
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
        uint64_t identity[2] = {0, 0};
        if (!read_record_file(file.c_str(), &run.record, &fault, identity)) {
            // Names and record contents may hold anything: escaped.
            *error = visible(file) + ": " + visible(fault);
            return false;
        }
        run.device = static_cast<dev_t>(identity[0]);
        run.inode = static_cast<ino_t>(identity[1]);
        // The average lines as printed are of no use here, and thousands
        // of records are held at once.
        for (AverageRecord& average : run.record.averages)
            std::string().swap(average.line);
        runs->push_back(std::move(run));
    }
    return true;
}

namespace {

// FNV-1a over what tells a run apart: its host, directory, start and seed,
// and every trial measurement's microseconds (or milliseconds).
uint64_t run_fingerprint(const RunRecord& record)
{
    uint64_t hash = 14695981039346656037u;
    const auto add = [&](uint64_t value) {
        for (int byte = 0; byte < 8; ++byte, value >>= 8)
            hash = (hash ^ (value & 0xff)) * 1099511628211u;
    };
    for (const std::string* text : {&record.machine.host_name, &record.machine.directory, &record.started_at})
        for (char c : *text)
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    add(record.seed);
    for (const TrialRecord& trial : record.trials)
        for (const MeasurementRecord& m : trial.measurements)
            add(m.has_us ? m.us : m.ms);
    return hash;
}

bool same_run_as(const RunRecord& a, const RunRecord& b)
{
    if (a.machine.host_name != b.machine.host_name || a.machine.directory != b.machine.directory ||
        a.started_at != b.started_at || a.seed != b.seed || a.trials.size() != b.trials.size())
        return false;
    for (size_t t = 0; t < a.trials.size(); ++t) {
        if (a.trials[t].measurements.size() != b.trials[t].measurements.size())
            return false;
        for (size_t i = 0; i < a.trials[t].measurements.size(); ++i) {
            const MeasurementRecord& x = a.trials[t].measurements[i];
            const MeasurementRecord& y = b.trials[t].measurements[i];
            if ((x.has_us ? x.us : x.ms) != (y.has_us ? y.us : y.ms))
                return false;
        }
    }
    return true;
}

} // namespace

size_t count_each_run_once(std::vector<LoadedRun>* runs)
{
    std::map<std::pair<dev_t, ino_t>, size_t> files;
    // A run is its host, directory, start and seed, and the times it
    // measured: two short runs one after the other in one directory may
    // start in the same second, and then have the same seed too (the
    // second they started, unless given), but never the same times.
    // (By a 64-bit fingerprint of these, checked field by field on a match;
    // two different runs of one fingerprint are both kept.)
    std::unordered_map<uint64_t, size_t> starts;
    starts.reserve(runs->size());
    std::vector<LoadedRun> kept;
    kept.reserve(runs->size());
    size_t left_out = 0;
    for (size_t given = 0; given < runs->size(); ++given) {
        LoadedRun& run = (*runs)[given];
        const RunRecord& r = run.record;
        // A file not identified (no stat) is told apart by its run alone.
        const bool identified = run.device != 0 || run.inode != 0;
        const auto file = identified ? files.find({run.device, run.inode}) : files.end();
        const uint64_t key = run_fingerprint(r);
        const auto candidate = starts.find(key);
        const size_t same_run =
            candidate != starts.end() && same_run_as(kept[candidate->second].record, r) ? candidate->second : SIZE_MAX;
        if (file != files.end() || same_run != SIZE_MAX) {
            LoadedRun& first = kept[file != files.end() ? file->second : same_run];
            first.repeats.emplace_back(given, visible(run.file) +
                                    (file != files.end() ? " is " + visible(first.file) + " again"
                                                         : " holds the run of " + visible(first.file) + " (host " +
                                                               visible(r.machine.host_name) + ", started " +
                                                               visible(r.started_at) + ", seed " +
                                                               std::to_string(r.seed) + ")") +
                                    ": counted once");
            ++left_out;
            continue;
        }
        if (identified)
            files.emplace(std::make_pair(run.device, run.inode), kept.size());
        starts.emplace(key, kept.size());
        kept.push_back(std::move(run));
    }
    runs->swap(kept);
    return left_out;
}

namespace {

// The rate of one trial measurement, nan where it has none.
double rate_of(const MeasurementRecord& m)
{
    if (m.has_us && m.us > 0)
        return rate_mib_per_s_us(m.us, m.size_bytes, static_cast<int32_t>(m.sweeps));
    return m.mib_per_s;
}

bool comparable(double rate)
{
    return std::isfinite(rate) && rate > 0;
}

// Whether `ratio` differs from 1 by at least `smallest`, either way: the
// rule of compare mode's verdicts and of fleet mode's outliers.
bool at_least(double ratio, double smallest)
{
    return ratio >= 1 + smallest || ratio <= 1 / (1 + smallest);
}

} // namespace

std::vector<double> trial_rates(const RunRecord& record, const std::string& id)
{
    std::vector<double> rates;
    for (const TrialRecord& trial : record.trials)
        for (const MeasurementRecord& m : trial.measurements)
            if (m.id == id && comparable(rate_of(m)))
                rates.push_back(rate_of(m));
    return rates;
}

FirstTouch first_touch(const RunRecord& record, const std::string& id)
{
    std::vector<double> shares;
    std::vector<double> later_rates;
    for (const TrialRecord& trial : record.trials)
        for (const MeasurementRecord& m : trial.measurements) {
            if (m.id != id || m.sweep_us.size() < 2 || m.us == 0)
                continue;
            uint64_t later = 0;
            for (size_t i = 1; i < m.sweep_us.size(); ++i)
                later += static_cast<uint64_t>(m.sweep_us[i]);
            shares.push_back(static_cast<double>(m.sweep_us[0]) / static_cast<double>(m.us));
            if (later > 0)
                later_rates.push_back(
                    rate_mib_per_s_us(later, m.size_bytes, static_cast<int32_t>(m.sweep_us.size() - 1)));
        }
    if (shares.empty())
        return FirstTouch{false, 0, 0};
    return FirstTouch{true, spread_of(shares).median,
                      later_rates.empty() ? std::nan("") : spread_of(later_rates).median};
}

unsigned disturbing_reasons(const RunRecord& record)
{
    return DISTURBED_BY_OTHERS | (record.parameters.cold ? DISTURBED_PAGE_CACHE : 0u);
}

CleanRates clean_rates(const RunRecord& record, const std::string& id)
{
    CleanRates clean{{}, 0, 0};
    const unsigned disturbing = disturbing_reasons(record);
    for (const TrialRecord& trial : record.trials)
        for (const MeasurementRecord& m : trial.measurements) {
            if (m.id != id || !comparable(rate_of(m)))
                continue;
            const unsigned reasons = m.has_witness ? m.witness.disturbed & disturbing : 0;
            if (reasons != 0) {
                ++clean.left_out;
                clean.reasons |= reasons;
                continue;
            }
            clean.rates.push_back(rate_of(m));
        }
    return clean;
}

std::vector<Side> sides_of(const std::vector<LoadedRun>& runs, bool group)
{
    std::vector<Side> sides;
    std::map<std::string, size_t> by_key;
    for (size_t r = 0; r < runs.size(); ++r) {
        const LoadedRun& run = runs[r];
        std::string key = "run " + std::to_string(r + 1);
        if (group && !run.group.empty())
            key = "directory " + run.group;
        else if (group && !run.record.label.empty())
            key = "label " + run.record.label;
        const auto found = by_key.find(key);
        if (found != by_key.end()) {
            sides[found->second].runs.push_back(r);
            continue;
        }
        by_key.emplace(key, sides.size());
        sides.push_back(Side{"", {r}});
    }
    for (Side& side : sides) {
        // The label the runs share names the side; else its directory, or
        // the run's number.
        const std::string& label = runs[side.runs[0]].record.label;
        bool shared = !label.empty();
        for (size_t r : side.runs)
            shared = shared && runs[r].record.label == label;
        if (shared)
            side.name = label;
        else if (group && !runs[side.runs[0]].group.empty())
            side.name = runs[side.runs[0]].group;
        else
            side.name = "run " + std::to_string(side.runs[0] + 1);
    }
    // Two sides of one name ("vm against vm") are told apart by their first run.
    std::map<std::string, size_t> uses;
    for (const Side& side : sides)
        ++uses[side.name];
    for (Side& side : sides)
        if (uses[side.name] > 1)
            side.name += " (run " + std::to_string(side.runs[0] + 1) + ")";
    return sides;
}

namespace {

// The runs of a side that hold a rate for any of `ids`.
size_t runs_with_rates(const std::vector<LoadedRun>& runs, const Side& side, const std::vector<std::string>& ids)
{
    size_t count = 0;
    for (size_t r : side.runs) {
        bool any = false;
        for (const TrialRecord& trial : runs[r].record.trials)
            for (const MeasurementRecord& m : trial.measurements)
                any = any || (comparable(rate_of(m)) && std::find(ids.begin(), ids.end(), m.id) != ids.end());
        count += any ? 1 : 0;
    }
    return count;
}

std::vector<std::string> ids_of_sides(const std::vector<LoadedRun>& runs, const Side& base, const Side& other);

// What a comparison of `ids` may claim (see claim_for).
Claim claim_over(const std::vector<LoadedRun>& runs, const Side& base, const Side& other,
                 const std::vector<std::string>& ids, const CompareOptions& options)
{
    const size_t base_runs = runs_with_rates(runs, base, ids);
    const size_t other_runs = runs_with_rates(runs, other, ids);
    Claim claim{base_runs >= 2 && other_runs >= 2, 0, base_runs, other_runs,
                base.runs.size() == 1 && other.runs.size() == 1, nullptr};
    claim.smallest_difference = options.smallest_difference >= 0 ? options.smallest_difference
                                : claim.runs_as_unit              ? 0
                                                                  : SMALLEST_DIFFERENCE_ONE_RUN;
    if (base_runs == 0 || other_runs == 0)
        claim.refusal = base_runs == 0 ? "the baseline holds no rates (every measurement took 0 ms or moved nothing)"
                                       : "this side holds no rates (every measurement took 0 ms or moved nothing)";
    return claim;
}

} // namespace

Claim claim_for(const std::vector<LoadedRun>& runs, const Side& base, const Side& other, const CompareOptions& options)
{
    return claim_over(runs, base, other, ids_of_sides(runs, base, other), options);
}

std::string claim_note(const Claim& claim)
{
    char text[256];
    if (claim.runs_as_unit)
        snprintf(text, sizeof text,
                 "Each run counts once (its trials' geometric mean): %zu run%s against %zu;\n"
                 "the spread between runs is in the intervals.\n",
                 claim.other_runs, claim.other_runs == 1 ? "" : "s", claim.base_runs);
    else if (claim.one_run_a_side)
        snprintf(text, sizeof text,
                 "One run a side: the intervals cover the spread between trials only, not between runs\n"
                 "(several runs a side with --group count that too).\n");
    else
        snprintf(text, sizeof text,
                 "The trials are the units (%zu run%s against %zu): a side with one run has no spread\n"
                 "between runs to weigh, so the intervals cover the spread between trials only\n"
                 "(two runs or more a side with --group count the spread between runs too).\n",
                 claim.other_runs, claim.other_runs == 1 ? "" : "s", claim.base_runs);
    return text;
}

std::string verdicts_promise(const std::vector<Comparison>& comparisons)
{
    size_t verdicts[2] = {0, 0};
    size_t kinds[2] = {0, 0};
    for (const Comparison& comparison : comparisons) {
        verdicts[comparison.runs_as_unit ? 1 : 0] += comparison.family;
        kinds[comparison.runs_as_unit ? 1 : 0] += comparison.family > 0 ? 1 : 0;
    }
    std::string out;
    char text[512];
    if (verdicts[1] > 0) {
        snprintf(text, sizeof text,
                 "\n%zu verdict%s in %zu comparison%s%s: chance alone gives a false \"faster\" or "
                 "\"slower\" in\nat most one comparison in 20 (%.2f expected here).\n",
                 verdicts[1], verdicts[1] == 1 ? "" : "s", kinds[1], kinds[1] == 1 ? "" : "s",
                 verdicts[0] > 0 ? " of several runs a side" : "", 0.05 * static_cast<double>(kinds[1]));
        out += text;
    }
    if (verdicts[0] > 0) {
        snprintf(text, sizeof text,
                 "\n%zu verdict%s in %zu comparison%s with the trials as units: no rate of false verdicts\n"
                 "can be promised. Calibrated on runs of one configuration, %s of such comparisons\n"
                 "said \"faster\" or \"slower\" (%s in one set); several runs a side (--group) keep it\n"
                 "within one in 20.\n",
                 verdicts[0], verdicts[0] == 1 ? "" : "s", kinds[0], kinds[0] == 1 ? "" : "s",
                 CALIBRATED_FALSE_ONE_RUN, CALIBRATED_FALSE_ONE_RUN_WORST);
        out += text;
    }
    return out;
}

namespace {

std::vector<std::string> ids_of_sides(const std::vector<LoadedRun>& runs, const Side& base, const Side& other)
{
    std::vector<const RunRecord*> records;
    for (const Side* side : {&base, &other})
        for (size_t r : side->runs)
            records.push_back(&runs[r].record);
    return ids_in(records);
}

// A side's units for one measurement: the trials of its runs, or each
// run's geometric mean, so that the spread between runs counts.
std::vector<double> side_units(const std::vector<LoadedRun>& runs, const Side& side, const std::string& id,
                               bool runs_as_unit, SideFigures* figures)
{
    std::vector<double> units;
    figures->trials = 0;
    figures->left_out = 0;
    figures->reasons = 0;
    for (size_t r : side.runs) {
        CleanRates clean = clean_rates(runs[r].record, id);
        figures->trials += clean.rates.size();
        figures->left_out += clean.left_out;
        figures->reasons |= clean.reasons;
        if (!runs_as_unit)
            units.insert(units.end(), clean.rates.begin(), clean.rates.end());
        else if (!clean.rates.empty())
            units.push_back(geometric_mean_of(clean.rates));
    }
    figures->units = spread_of(units);
    return units;
}

Verdict verdict_for(const ComparisonRow& row, double smallest_difference)
{
    const RatioEstimate& e = row.estimate;
    if (!e.has_ratio)
        return (row.base.left_out > 0 && row.base.units.n == 0) || (row.other.left_out > 0 && row.other.units.n == 0)
                   ? Verdict::Disturbed
                   : Verdict::NoRates;
    if (!e.has_interval)
        return Verdict::NoInterval;
    if (e.low <= 1 && e.high >= 1)
        return Verdict::NoDifference;
    // Shown, but smaller than the differences between runs of one
    // configuration: not reported as one.
    if (!at_least(e.ratio, smallest_difference))
        return Verdict::Small;
    return e.low > 1 ? Verdict::Faster : Verdict::Slower;
}

} // namespace

std::vector<double> holm_levels(const std::vector<double>& p_values)
{
    std::vector<size_t> order(p_values.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p_values[a] < p_values[b]; });
    std::vector<double> levels(p_values.size(), 0.95);
    bool stopped = false;
    double level = 0.95;
    for (size_t k = 0; k < order.size(); ++k) {
        const double share = 0.05 / static_cast<double>(order.size() - k);
        if (!stopped) {
            level = 1 - share;
            stopped = !(p_values[order[k]] <= share);
        }
        levels[order[k]] = level;
    }
    return levels;
}

Comparison compare_side(const std::vector<LoadedRun>& runs, const std::vector<Side>& sides, size_t s,
                        const CompareOptions& options)
{
    const std::vector<std::string> ids = ids_of_sides(runs, sides[0], sides[s]);
    const Claim claim = claim_over(runs, sides[0], sides[s], ids, options);
    Comparison comparison{s, 0, claim.runs_as_unit, {}, claim};
    std::vector<std::pair<std::vector<double>, std::vector<double>>> units;
    for (const std::string& id : ids) {
        ComparisonRow row{id, {}, {}, {}, 0.95, Verdict::NoRates, claim.smallest_difference};
        std::vector<double> base = side_units(runs, sides[0], id, claim.runs_as_unit, &row.base);
        std::vector<double> other = side_units(runs, sides[s], id, claim.runs_as_unit, &row.other);
        row.estimate = ratio_estimate(base, other);
        if (row.estimate.has_interval)
            ++comparison.family;
        comparison.rows.push_back(row);
        units.emplace_back(std::move(base), std::move(other));
    }
    std::vector<size_t> tested;
    std::vector<double> p_values;
    for (size_t i = 0; i < comparison.rows.size(); ++i)
        if (comparison.rows[i].estimate.has_interval) {
            tested.push_back(i);
            p_values.push_back(comparison.rows[i].estimate.p_value);
        }
    const std::vector<double> levels = holm_levels(p_values);
    for (size_t k = 0; k < tested.size(); ++k) {
        ComparisonRow& row = comparison.rows[tested[k]];
        row.level = levels[k];
        if (row.level != 0.95)
            row.estimate = ratio_estimate(units[tested[k]].first, units[tested[k]].second, row.level);
    }
    for (ComparisonRow& row : comparison.rows)
        row.verdict = verdict_for(row, row.smallest_difference);
    return comparison;
}

std::vector<Comparison> compare_runs(const std::vector<LoadedRun>& runs, const std::vector<Side>& sides,
                                     const CompareOptions& options)
{
    std::vector<Comparison> comparisons;
    for (size_t s = 1; s < sides.size(); ++s)
        comparisons.push_back(compare_side(runs, sides, s, options));
    return comparisons;
}

std::vector<Comparison> compare_runs(const std::vector<LoadedRun>& runs)
{
    return compare_runs(runs, sides_of(runs, false));
}

std::string disturbed_reasons_text(unsigned reasons)
{
    std::string text;
    for (const std::string& name : disturbed_names(reasons))
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string verdict_text(const ComparisonRow& row)
{
    switch (row.verdict) {
    case Verdict::Faster: return "faster";
    case Verdict::Slower: return "slower";
    case Verdict::NoDifference: return "no difference shown";
    case Verdict::Small: {
        char text[32];
        snprintf(text, sizeof text, "difference under %.0f%%", 100 * row.smallest_difference);
        return text;
    }
    case Verdict::NoInterval: return "no interval";
    case Verdict::NoRates: return "no rates to compare";
    case Verdict::Disturbed: {
        // The first reason, and how many more: the column is narrow.
        const std::vector<std::string> names = disturbed_names(row.base.reasons | row.other.reasons);
        return "disturbed: " + (names.empty() ? std::string() : names[0]) +
               (names.size() > 1 ? " +" + std::to_string(names.size() - 1) : "");
    }
    }
    return "";
}

std::vector<std::string> spread_warnings(const std::vector<LoadedRun>& runs)
{
    std::vector<std::string> warnings;
    std::vector<const RunRecord*> all;
    for (const LoadedRun& run : runs)
        all.push_back(&run.record);
    const std::vector<std::string> ids = ids_in(all);
    for (size_t r = 0; r < runs.size(); ++r) {
        std::string wide;
        double widest = 0;
        for (const std::string& id : ids) {
            const Spread spread = spread_of(clean_rates(runs[r].record, id).rates);
            if (spread.n >= 2 && spread.max > 2 * spread.min) {
                wide += (wide.empty() ? "" : ", ") + id;
                widest = std::max(widest, spread.max / spread.min);
            }
        }
        if (!wide.empty()) {
            char factor[32];
            snprintf(factor, sizeof factor, "%.1f", widest);
            warnings.push_back("run " + std::to_string(r + 1) + "'s trials spread widely (" + wide +
                               ": the fastest up to " + factor +
                               " times the slowest): its figures are of a machine that changed under it");
        }
    }
    return warnings;
}

namespace {

// The records given twice, the first few by name: a directory given twice
// repeats thousands.
std::vector<std::string> repeat_warnings(const std::vector<LoadedRun>& runs)
{
    constexpr size_t SHOWN = 5;
    std::vector<std::pair<size_t, std::string>> repeats;
    for (const LoadedRun& run : runs)
        repeats.insert(repeats.end(), run.repeats.begin(), run.repeats.end());
    std::sort(repeats.begin(), repeats.end());
    std::vector<std::string> warnings;
    for (size_t i = 0; i < repeats.size() && i < SHOWN; ++i)
        warnings.push_back(repeats[i].second);
    const size_t more = repeats.size() - warnings.size();
    if (more > 0)
        warnings.push_back("and " + std::to_string(more) + " more records given again, each counted once");
    return warnings;
}

} // namespace

std::string width_text(const RunRecord& r, bool any_size)
{
    const ParametersRecord& p = r.parameters;
    const bool all = p.cores > 1 && p.cores == r.machine.logical_cpus;
    const std::string count = std::to_string(p.cores);
    const std::string cores = all && any_size ? "all cores"
                              : all           ? "all " + count + " cores"
                                              : count + (p.cores == 1 ? " core" : " cores");
    char block[SIZE_LABEL_LEN];
    return cores + ", " + std::to_string(p.jobs) + (p.jobs == 1 ? " job, " : " jobs, ") +
           format_block(p.block_bytes, block) + " blocks";
}

bool same_width(const ParametersRecord& a, const ParametersRecord& b)
{
    return a.cores == b.cores && a.jobs == b.jobs && a.block_bytes == b.block_bytes;
}

namespace {

bool ran(const ParametersRecord& p, const char* phase)
{
    return std::find(p.phases.begin(), p.phases.end(), phase) != p.phases.end();
}

// A run's width as a key. Every CPU of a machine of several is "all": hosts
// of different sizes that each ran on all their cores pool together, as the
// whole machines they are.
std::string width_key(const RunRecord& r)
{
    const ParametersRecord& p = r.parameters;
    const std::string cores = p.cores > 1 && p.cores == r.machine.logical_cpus ? "all" : std::to_string(p.cores);
    return cores + "/" + std::to_string(p.jobs) + "/" + std::to_string(p.block_bytes);
}

} // namespace

std::vector<std::string> comparability_warnings(const std::vector<LoadedRun>& runs)
{
    std::vector<std::string> warnings;
    if (runs.empty())
        return warnings;
    warnings = repeat_warnings(runs);
    const ParametersRecord& base = runs[0].record.parameters;
    for (size_t r = 0; r < runs.size(); ++r) {
        const RunRecord& record = runs[r].record;
        const ParametersRecord& p = record.parameters;
        const std::string run = "run " + std::to_string(r + 1);
        const bool disk = std::find(p.phases.begin(), p.phases.end(), "disk") != p.phases.end();
        if (!record.complete)
            warnings.push_back(run + " was interrupted: it holds " + std::to_string(record.trials.size()) + " of " +
                               std::to_string(p.trials) + " trials");
        if (disk && !p.direct_io && !p.cold && page_cache_can_hold(p.file_size_bytes, record.machine.ram_bytes))
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
        // A run wider than another measures another thing: all cores
        // against one, many streams against one, small blocks against large.
        if (ran(p, "memory") && ran(base, "memory") && p.cores != base.cores)
            warnings.push_back(run + " ran the memory sweeps on " + std::to_string(p.cores) + " cores, the baseline on " +
                               std::to_string(base.cores));
        if (disk && ran(base, "disk") && p.jobs != base.jobs)
            warnings.push_back(run + " ran the disk passes as " + std::to_string(p.jobs) + " jobs, the baseline as " +
                               std::to_string(base.jobs));
        if (disk && ran(base, "disk") && p.block_bytes != base.block_bytes) {
            char block[SIZE_LABEL_LEN];
            char base_block[SIZE_LABEL_LEN];
            warnings.push_back(run + "'s block size (" + format_block(p.block_bytes, block) +
                               ") differs from the baseline's (" + format_block(base.block_bytes, base_block) + ")");
        }
    }
    return warnings;
}

namespace {

// The value most runs share ("" when there are no runs).
template <typename Value>
Value most_common(const std::vector<Value>& values)
{
    std::map<Value, size_t> counts;
    Value best{};
    size_t most = 0;
    for (const Value& value : values)
        if (++counts[value] > most) {
            most = counts[value];
            best = value;
        }
    return best;
}

} // namespace

std::string standing_text(const HostCell& cell)
{
    if (cell.spread.n == 0 && cell.left_out > 0)
        return "not judged: disturbed (" + disturbed_reasons_text(cell.reasons) + ")";
    if (cell.differs == 0)
        return "";
    if (cell.spread.n < 2)
        return "differs, but one trial gives no interval";
    return cell.to_median.has_interval ? "differs, but its trials spread too much"
                                       : "differs, but its trials give no interval";
}

std::vector<std::string> fleet_warnings(const std::vector<LoadedRun>& runs, bool by_label, const Fleet* fleet)
{
    std::vector<bool> direct;
    std::vector<bool> cold;
    std::vector<uint64_t> sizes;
    std::vector<std::string> versions;
    const std::string fleet_key = fleet_width(runs);
    const RunRecord* fleet_record = nullptr;
    for (const LoadedRun& run : runs) {
        if (fleet_record == nullptr && width_key(run.record) == fleet_key)
            fleet_record = &run.record;
        direct.push_back(run.record.parameters.direct_io);
        cold.push_back(run.record.parameters.cold);
        sizes.push_back(run.record.parameters.file_size_bytes);
        versions.push_back(run.record.version);
    }
    const bool fleet_direct = most_common(direct);
    const bool fleet_cold = most_common(cold);
    const uint64_t fleet_size = most_common(sizes);
    const std::string fleet_version = most_common(versions);

    // Per kind of warning, its sentences in the order of the runs; a kind
    // that many hosts share is shown for the first few and counted after.
    enum Kind { WIDTH, INTERRUPTED, PAGE_CACHE, DIRECT, COLD, FILE_SIZE, VERSION, DISTURBED, KINDS };
    const char* const likewise[KINDS] = {"another width", "interrupted", "page cache", "direct I/O", "cold",
                                         "file size",     "version",     "disturbed"};
    std::vector<std::string> sentences[KINDS];
    for (const LoadedRun& run : runs) {
        const RunRecord& r = run.record;
        const ParametersRecord& p = r.parameters;
        const std::string host = "host " + visible(by_label && !r.label.empty() ? r.label : r.machine.host_name) +
                                 " (" + visible(run.file) + ")";
        if (width_key(r) != fleet_key && fleet_record != nullptr) {
            sentences[WIDTH].push_back(host + " ran " + width_text(r, false) + ", most of the fleet " +
                                       width_text(*fleet_record, true) + ": left out of the fleet");
            continue;
        }
        if (!r.complete)
            sentences[INTERRUPTED].push_back(host + " was interrupted: it holds " + std::to_string(r.trials.size()) +
                                             " of " + std::to_string(p.trials) + " trials");
        if (std::find(p.phases.begin(), p.phases.end(), "disk") == p.phases.end())
            continue;
        if (!p.direct_io && !p.cold && page_cache_can_hold(p.file_size_bytes, r.machine.ram_bytes))
            sentences[PAGE_CACHE].push_back(host + ": the file (" + size_text(p.file_size_bytes) +
                                            ") is smaller than twice the memory (" + size_text(r.machine.ram_bytes) +
                                            "): its read passes measured the page cache");
        if (p.direct_io != fleet_direct)
            sentences[DIRECT].push_back(host + (p.direct_io ? " used direct I/O, most of the fleet did not"
                                                            : " went through the page cache, most of the fleet "
                                                              "used direct I/O"));
        if (p.cold != fleet_cold)
            sentences[COLD].push_back(host + (p.cold ? " was cold, most of the fleet was not"
                                                     : " was not cold, most of the fleet was"));
        if (p.file_size_bytes != fleet_size)
            sentences[FILE_SIZE].push_back(host + ": file size " + size_text(p.file_size_bytes) +
                                           ", most of the fleet's " + size_text(fleet_size));
        if (r.version != fleet_version)
            sentences[VERSION].push_back(host + " ran ovrel-bench " + visible(r.version) + ", most of the fleet " +
                                         visible(fleet_version));
    }
    // Hosts that the witness found disturbed in every trial of a measurement.
    if (fleet != nullptr)
        for (const FleetHost& host : fleet->hosts) {
            std::string ids;
            unsigned reasons = 0;
            for (size_t m = 0; m < fleet->measurements.size(); ++m) {
                const HostCell& cell = host.cells[m];
                if (cell.spread.n == 0 && cell.left_out > 0) {
                    ids += (ids.empty() ? "" : ", ") + fleet->measurements[m].id;
                    reasons |= cell.reasons;
                }
            }
            if (!ids.empty())
                sentences[DISTURBED].push_back("host " + visible(host.host) + " not judged in " + ids +
                                               ": every trial disturbed (" + disturbed_reasons_text(reasons) + ")");
        }
    constexpr size_t SHOWN = 5;
    std::vector<std::string> warnings = repeat_warnings(runs);
    for (int kind = 0; kind < KINDS; ++kind) {
        for (size_t i = 0; i < sentences[kind].size() && i < SHOWN; ++i)
            warnings.push_back(sentences[kind][i]);
        if (sentences[kind].size() > SHOWN)
            warnings.push_back("and " + std::to_string(sentences[kind].size() - SHOWN) +
                               (kind == DISTURBED ? " more hosts likewise (" : " more runs likewise (") +
                               likewise[kind] + ")");
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

// The clean trial rates of measurement `id` in all of a host's runs.
std::vector<double> pooled_clean_rates(const std::vector<const RunRecord*>& records, const std::string& id,
                                       size_t* left_out, unsigned* reasons)
{
    std::vector<double> pooled;
    for (const RunRecord* record : records) {
        CleanRates clean = clean_rates(*record, id);
        if (pooled.empty())
            pooled = std::move(clean.rates);
        else
            pooled.insert(pooled.end(), clean.rates.begin(), clean.rates.end());
        *left_out += clean.left_out;
        *reasons |= clean.reasons;
    }
    return pooled;
}

} // namespace

double robust_z(double value, const std::vector<double>& values)
{
    return z_of(value, centre_of(values), 0);
}

std::string fleet_width(const std::vector<LoadedRun>& runs)
{
    std::vector<std::string> keys;
    for (const LoadedRun& run : runs)
        keys.push_back(width_key(run.record));
    return most_common(keys);
}

Fleet fleet_of(const std::vector<LoadedRun>& runs, bool by_label)
{
    Fleet fleet{};
    std::vector<const RunRecord*> records;
    std::map<std::string, std::vector<const RunRecord*>> by_host;
    std::vector<std::string> host_order;
    // Like with like: the runs as wide as most of the fleet's.
    const std::string fleet_key = fleet_width(runs);
    for (const LoadedRun& run : runs) {
        if (width_key(run.record) != fleet_key)
            continue;
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
            HostCell cell{{}, 0, 0, NAN, 0, 0, {}};
            cell.spread = spread_of(pooled_clean_rates(by_host[host], id, &cell.left_out, &cell.reasons));
            entry.cells.push_back(cell);
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
        for (size_t h = 0; h < fleet.hosts.size(); ++h) {
            HostCell& cell = fleet.hosts[h].cells[m];
            if (cell.spread.n == 0)
                continue;
            cell.z = z_of(cell.spread.median, centre, resolution);
            if (!fleet.judged || !(std::fabs(cell.z) > OUTLIER_Z))
                continue;
            // Far from the fleet by its median; an outlier only where its own
            // trials bear the difference out (pooled again: few hosts are).
            const int side = cell.z < 0 ? -1 : 1;
            size_t left_out = 0;
            unsigned reasons = 0;
            cell.to_median =
                ratio_to(centre.median, pooled_clean_rates(by_host[fleet.hosts[h].host], ids[m], &left_out, &reasons));
            const RatioEstimate& e = cell.to_median;
            const bool beyond =
                e.has_interval && (e.low > 1 || e.high < 1) && at_least(e.ratio, SMALLEST_DIFFERENCE_ONE_RUN);
            (beyond ? cell.flag : cell.differs) = side;
        }
    }
    return fleet;
}

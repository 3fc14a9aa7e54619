// The newest run of each host and label as metrics for Prometheus: the text
// that node_exporter's textfile collector reads, which is also OpenMetrics
// text (gauges only, no timestamps, "# EOF" at the end).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>
#include <utility>

#include "compare/compare.h"
#include "run/measurements.h"

namespace {

constexpr double BYTES_PER_MIB = 1048576.0;

// A label value as the exposition formats require: backslash, double quote
// and line feed escaped; other control characters, which no reader expects
// in a label, become U+FFFD. The record reader has already made it UTF-8.
std::string label_value(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (byte < 0x20 || byte == 0x7f)
            out += "\xef\xbf\xbd";
        else
            out += c;
    }
    return out;
}

std::string number(double value)
{
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string count(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, value);
    return text;
}

// Seconds since 1970 of "YYYY-MM-DDTHH:MM:SSZ", the form the benchmark
// writes; false for anything else.
bool epoch_seconds(const std::string& stamp, int64_t* seconds)
{
    int year, month, day, hour, minute, second;
    char zone = 0;
    int used = 0;
    if (sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &year, &month, &day, &hour, &minute, &second, &zone,
               &used) != 7 ||
        zone != 'Z' || static_cast<size_t>(used) != stamp.size() || stamp.size() != 20 || month < 1 || month > 12 ||
        day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    // Days from the civil date (proleptic Gregorian), without the C library's
    // time zone machinery.
    const int64_t y = year - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t year_of_era = y - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const int64_t days = era * 146097 + day_of_era - 719468;
    *seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

struct Family {
    const char* name;
    const char* unit;  // OpenMetrics unit, the name's suffix; empty for none
    const char* help;
};

void open_family(std::string* out, const Family& family)
{
    *out += std::string("# HELP ") + family.name + " " + family.help + "\n";
    *out += std::string("# TYPE ") + family.name + " gauge\n";
    if (family.unit[0] != '\0')
        *out += std::string("# UNIT ") + family.name + " " + family.unit + "\n";
}

struct Chosen {
    const RunRecord* record;
    std::string labels;  // host="...",label="..."
};

// A run wider than one core and one stream of 4 MiB blocks is a series of
// its own: its cores, jobs and block size are labels. A run of the default
// width keeps the labels it always had.
std::string width_labels(const ParametersRecord& p)
{
    if (p.cores == 1 && p.jobs == 1 && p.block_bytes == BLOCK_SIZE)
        return "";
    return ",cores=\"" + count(static_cast<uint64_t>(p.cores)) + "\",jobs=\"" + count(static_cast<uint64_t>(p.jobs)) +
           "\",block_bytes=\"" + count(p.block_bytes) + "\"";
}

// The newest run of each host, label and width: the latest end, and of
// runs that ended in the same second, the one named last.
std::vector<Chosen> newest_runs(const std::vector<LoadedRun>& runs)
{
    std::map<std::tuple<std::string, std::string, std::string>, std::pair<int64_t, const RunRecord*>> newest;
    for (const LoadedRun& run : runs) {
        int64_t ended = INT64_MIN;
        epoch_seconds(run.record.ended_at, &ended);
        auto& slot = newest[{run.record.machine.host_name, run.record.label, width_labels(run.record.parameters)}];
        if (slot.second == nullptr || ended >= slot.first)
            slot = {ended, &run.record};
    }
    std::vector<Chosen> chosen;
    for (const auto& entry : newest)
        chosen.push_back({entry.second.second, "host=\"" + label_value(std::get<0>(entry.first)) + "\",label=\"" +
                                                   label_value(std::get<1>(entry.first)) + "\"" +
                                                   std::get<2>(entry.first)});
    return chosen;
}

const StatisticsRecord* statistics_of(const RunRecord& record, const std::string& id)
{
    for (const StatisticsRecord& s : record.statistics)
        if (s.id == id)
            return &s;
    return nullptr;
}

uint64_t disturbed_trials(const RunRecord& record, const std::string& id)
{
    uint64_t n = 0;
    for (const TrialRecord& trial : record.trials)
        for (const MeasurementRecord& m : trial.measurements)
            n += m.id == id && m.has_witness && m.witness.disturbed != 0;
    return n;
}

// One sample per measurement of each chosen run, where `value` gives one.
template <typename Value>
void per_measurement(std::string* out, const Family& family, const std::vector<Chosen>& chosen, Value value)
{
    open_family(out, family);
    for (const Chosen& c : chosen)
        for (const AverageRecord& average : c.record->averages) {
            double v = NAN;
            if (!value(*c.record, average.average, &v) || !std::isfinite(v))
                continue;
            *out += std::string(family.name) + "{" + c.labels + ",measurement=\"" + label_value(average.average.id) +
                    "\"} " + number(v) + "\n";
        }
}

template <typename Value>
void per_run(std::string* out, const Family& family, const std::vector<Chosen>& chosen, Value value)
{
    open_family(out, family);
    for (const Chosen& c : chosen) {
        std::string v;
        if (value(*c.record, &v))
            *out += std::string(family.name) + "{" + c.labels + "} " + v + "\n";
    }
}

// A statistic of the trials' rates, in bytes per second.
template <typename Field>
void spread_family(std::string* out, const Family& family, const std::vector<Chosen>& chosen, Field field)
{
    per_measurement(out, family, chosen, [&](const RunRecord& r, const MeasurementRecord& m, double* v) {
        const StatisticsRecord* s = statistics_of(r, m.id);
        if (s == nullptr)
            return false;
        *v = s->*field * BYTES_PER_MIB;
        return true;
    });
}

} // namespace

std::string render_openmetrics(const std::vector<LoadedRun>& runs)
{
    const std::vector<Chosen> chosen = newest_runs(runs);
    std::string out;
    per_measurement(&out,
                    {"ovrel_rate_bytes_per_second", "bytes_per_second",
                     "Rate of the run's mean time over its trials, as the report's average line; the median of the "
                     "trials' rates, which the fleet report compares, is ovrel_trial_rate_median_bytes_per_second."},
                    chosen, [](const RunRecord&, const MeasurementRecord& m, double* v) {
                        *v = m.mib_per_s * BYTES_PER_MIB;
                        return true;
                    });
    spread_family(&out, {"ovrel_trial_rate_min_bytes_per_second", "bytes_per_second", "Slowest trial's rate."},
                  chosen, &StatisticsRecord::min_mib_per_s);
    spread_family(&out, {"ovrel_trial_rate_median_bytes_per_second", "bytes_per_second", "Median of the trials' rates, the figure the fleet report compares."},
                  chosen, &StatisticsRecord::median_mib_per_s);
    spread_family(&out, {"ovrel_trial_rate_max_bytes_per_second", "bytes_per_second", "Fastest trial's rate."},
                  chosen, &StatisticsRecord::max_mib_per_s);
    spread_family(&out,
                  {"ovrel_trial_rate_stddev_bytes_per_second", "bytes_per_second",
                   "Sample standard deviation of the trials' rates."},
                  chosen, &StatisticsRecord::stddev_mib_per_s);
    per_measurement(&out,
                    {"ovrel_disturbed_trials", "", "Trials of the measurement that the witness marked disturbed."},
                    chosen, [](const RunRecord& r, const MeasurementRecord& m, double* v) {
                        *v = static_cast<double>(disturbed_trials(r, m.id));
                        return true;
                    });
    per_run(&out,
            {"ovrel_run_disturbed_measurements", "",
             "Measurements of all trials of the run that the witness marked disturbed."},
            chosen, [](const RunRecord& r, std::string* v) {
                uint64_t n = 0;
                for (const AverageRecord& average : r.averages)
                    n += disturbed_trials(r, average.average.id);
                *v = count(n);
                return true;
            });
    per_run(&out, {"ovrel_run_trials", "", "Trials the run completed."}, chosen,
            [](const RunRecord& r, std::string* v) {
                *v = count(r.trials.size());
                return true;
            });
    per_run(&out, {"ovrel_run_end_timestamp_seconds", "seconds", "When the run ended, in seconds since 1970."},
            chosen, [](const RunRecord& r, std::string* v) {
                int64_t seconds = 0;
                if (!epoch_seconds(r.ended_at, &seconds))
                    return false;
                *v = count(static_cast<uint64_t>(seconds));
                return seconds >= 0;
            });
    per_run(&out, {"ovrel_run_complete", "", "1 when the run did every trial asked for, 0 when a signal ended it."},
            chosen, [](const RunRecord& r, std::string* v) {
                *v = r.complete ? "1" : "0";
                return true;
            });
    per_run(&out,
            {"ovrel_run_cold", "", "1 when the run timed its writes to their fsync and dropped the cache before reads."},
            chosen, [](const RunRecord& r, std::string* v) {
                *v = r.parameters.cold ? "1" : "0";
                return true;
            });
    per_run(&out, {"ovrel_run_direct_io", "", "1 when the scratch file was opened for direct I/O."}, chosen,
            [](const RunRecord& r, std::string* v) {
                *v = r.parameters.direct_io ? "1" : "0";
                return true;
            });
    per_run(&out, {"ovrel_run_file_size_bytes", "bytes", "Size of the scratch file, 0 for a memory-only run."},
            chosen, [](const RunRecord& r, std::string* v) {
                *v = count(r.parameters.file_size_bytes);
                return true;
            });
    // An info metric in the form both readers take: a gauge of 1 whose
    // labels carry the facts.
    const Family info = {"ovrel_run_info", "", "The program that made the run and where it ran; always 1."};
    open_family(&out, info);
    for (const Chosen& c : chosen) {
        const RunRecord& r = *c.record;
        out += std::string(info.name) + "{" + c.labels + ",version=\"" + label_value(r.version) + "\",system=\"" +
               label_value(r.machine.system) + "\",fs_type=\"" + label_value(r.machine.fs_type) +
               "\",directory=\"" + label_value(r.machine.directory) + "\"} 1\n";
    }
    out += "# EOF\n";
    return out;
}

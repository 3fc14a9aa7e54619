// Writing the run record as JSON; built only where nlohmann-json is installed.
#if defined(OVREL_HAVE_JSON)

#include <cmath>

#include <nlohmann/json.hpp>

#include "record/run_record.h"

namespace {

// Keys keep the order they are written in, so the document reads top-down.
using json = nlohmann::ordered_json;

// JSON has no inf or nan: a rate that cannot be a number is null.
json rate_value(double rate)
{
    return std::isfinite(rate) ? json(rate) : json(nullptr);
}

json known(bool is_known, uint64_t value)
{
    return is_known ? json(value) : json(nullptr);
}

json runnable_value(int64_t count)
{
    return count >= 0 ? json(count) : json(nullptr);
}

json witness_json(const Witness& w)
{
    json document{{"cpu_us", w.cpu_us},
                  {"involuntary_switches", w.involuntary_switches},
                  {"minor_faults", w.minor_faults},
                  {"major_faults", w.major_faults},
                  {"steal_us", known(w.steal_known, static_cast<uint64_t>(w.steal_us))},
                  {"others_runnable", json::array({runnable_value(w.others_runnable[0]),
                                                   runnable_value(w.others_runnable[1])})},
                  {"device_read_bytes", known(w.device_known, w.device_read_bytes)},
                  {"device_write_bytes", known(w.device_known, w.device_write_bytes)},
                  {"swap_bytes", known(w.swap_known, w.swap_bytes)}};
    if (w.has_flush)
        document["flush_us"] = w.flush_us;
    if (w.has_resident)
        document["resident_bytes"] = w.resident_bytes;
    if (w.has_blocks)
        document["block_us"] = json{{"p50", w.block_us.p50_us}, {"p99", w.block_us.p99_us}, {"max", w.block_us.max_us}};
    document["disturbed"] = disturbed_names(w.disturbed);
    return document;
}

json measurement_json(const MeasurementRecord& m)
{
    json document{{"id", m.id},         {"label", m.label}, {"size_bytes", m.size_bytes},
                  {"sweeps", m.sweeps}, {"block_bytes", m.block_bytes}, {"ms", m.ms}};
    if (m.has_us)
        document["us"] = m.us;
    if (!m.sweep_us.empty())
        document["sweep_us"] = m.sweep_us;
    if (!m.worker_us.empty())
        document["worker_us"] = m.worker_us;
    document["mib_per_s"] = rate_value(m.mib_per_s);
    if (m.has_witness)
        document["witness"] = witness_json(m.witness);
    return document;
}

} // namespace

std::string record_to_json(const RunRecord& r)
{
    json document;
    document["program"] = r.program;
    document["schema_version"] = r.schema_version;
    document["version"] = r.version;
    document["compiler"] = r.compiler;
    document["label"] = r.label.empty() ? json(nullptr) : json(r.label);
    document["started_at"] = r.started_at;
    document["ended_at"] = r.ended_at;
    document["complete"] = r.complete;
    document["seed"] = r.seed;
    document["command_line"] = r.command_line;
    const MachineRecord& m = r.machine;
    document["machine"] = {
        {"host_name", m.host_name}, {"system", m.system},         {"release", m.release},
        {"architecture", m.architecture}, {"cpu_model", m.cpu_model}, {"logical_cpus", m.logical_cpus},
        {"ram_bytes", m.ram_bytes}, {"directory", m.directory},   {"fs_type", m.fs_type},
        {"fs_device", m.fs_device}, {"fs_options", m.fs_options},
        {"fs_properties", m.fs_properties.empty() ? json(nullptr) : json(m.fs_properties)},
    };
    const ParametersRecord& p = r.parameters;
    document["parameters"] = {
        {"trials", p.trials},
        {"file_size_bytes", p.file_size_bytes},
        {"block_bytes", p.block_bytes},
        {"small_array_bytes", p.small_array_bytes},
        {"small_array_sweeps", p.small_array_sweeps},
        {"large_array_bytes", p.large_array_bytes},
        {"large_array_sweeps", p.large_array_sweeps},
        {"direct_io", p.direct_io},
        {"cold", p.cold},
        {"cores", p.cores},
        {"jobs", p.jobs},
        {"phases", p.phases},
    };
    json trials = json::array();
    for (const TrialRecord& trial : r.trials) {
        json measurements = json::array();
        for (const MeasurementRecord& item : trial.measurements)
            measurements.push_back(measurement_json(item));
        trials.push_back({{"trial", trial.trial}, {"measurements", measurements}});
    }
    document["trials"] = trials;
    json averages = json::array();
    for (const AverageRecord& average : r.averages) {
        json item = measurement_json(average.average);
        item["line"] = average.line;
        averages.push_back(item);
    }
    document["averages"] = averages;
    json statistics = json::array();
    for (const StatisticsRecord& s : r.statistics)
        statistics.push_back({{"id", s.id},
                              {"min_mib_per_s", rate_value(s.min_mib_per_s)},
                              {"median_mib_per_s", rate_value(s.median_mib_per_s)},
                              {"max_mib_per_s", rate_value(s.max_mib_per_s)},
                              {"stddev_mib_per_s", rate_value(s.stddev_mib_per_s)}});
    document["statistics"] = statistics;
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

#endif

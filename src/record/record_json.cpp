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

json measurement_json(const MeasurementRecord& m)
{
    return json{{"id", m.id},         {"label", m.label}, {"size_bytes", m.size_bytes},
                {"sweeps", m.sweeps}, {"block_bytes", m.block_bytes}, {"ms", m.ms},
                {"mib_per_s", rate_value(m.mib_per_s)}};
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

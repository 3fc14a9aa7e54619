// The run record in JSON; built only where nlohmann-json is installed.
#if defined(OVREL_HAVE_JSON)

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "record/run_record.h"
#include "run/measurements.h"

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

// Reading: each step checks one field and, on a fault, says where it is.
struct Reader {
    std::string error;

    bool fail(const std::string& where, const char* what)
    {
        if (error.empty())
            error = where + ": " + what;
        return false;
    }

    const json* field(const json& object, const std::string& where, const char* key)
    {
        const auto found = object.find(key);
        if (found == object.end()) {
            fail(where + key, "missing");
            return nullptr;
        }
        return &*found;
    }

    bool text(const json& object, const std::string& where, const char* key, std::string* value,
              bool nullable = false)
    {
        const json* item = field(object, where, key);
        if (item == nullptr)
            return false;
        if (nullable && item->is_null()) {
            value->clear();
            return true;
        }
        if (!item->is_string())
            return fail(where + key, nullable ? "not a string or null" : "not a string");
        *value = item->get_ref<const std::string&>();
        return true;
    }

    bool whole(const json& object, const std::string& where, const char* key, uint64_t* value)
    {
        const json* item = field(object, where, key);
        if (item == nullptr)
            return false;
        if (!item->is_number_unsigned())
            return fail(where + key, "not a whole number of 0 or more");
        *value = item->get<uint64_t>();
        return true;
    }

    bool signed_whole(const json& object, const std::string& where, const char* key, int64_t* value)
    {
        const json* item = field(object, where, key);
        if (item == nullptr)
            return false;
        if (!item->is_number_integer() || (item->is_number_unsigned() && item->get<uint64_t>() > INT64_MAX))
            return fail(where + key, "not a whole number");
        *value = item->get<int64_t>();
        return true;
    }

    bool flag(const json& object, const std::string& where, const char* key, bool* value)
    {
        const json* item = field(object, where, key);
        if (item == nullptr)
            return false;
        if (!item->is_boolean())
            return fail(where + key, "not true or false");
        *value = item->get<bool>();
        return true;
    }

    // A rate: finite and not negative, or null for none.
    bool rate(const json& object, const std::string& where, const char* key, double* value)
    {
        const json* item = field(object, where, key);
        if (item == nullptr)
            return false;
        if (item->is_null()) {
            *value = NAN;
            return true;
        }
        if (!item->is_number())
            return fail(where + key, "not a number or null");
        *value = item->get<double>();
        if (!std::isfinite(*value) || *value < 0)
            return fail(where + key, "not a finite rate of 0 or more");
        return true;
    }

    bool texts(const json& object, const std::string& where, const char* key, std::vector<std::string>* values)
    {
        const json* item = field(object, where, key);
        if (item == nullptr)
            return false;
        if (!item->is_array())
            return fail(where + key, "not an array");
        values->clear();
        for (const json& element : *item) {
            if (!element.is_string())
                return fail(where + key, "holds something other than strings");
            values->push_back(element.get_ref<const std::string&>());
        }
        return true;
    }

    const json* object_field(const json& object, const std::string& where, const char* key)
    {
        const json* item = field(object, where, key);
        if (item != nullptr && !item->is_object()) {
            fail(where + key, "not an object");
            return nullptr;
        }
        return item;
    }

    const json* array_field(const json& object, const std::string& where, const char* key)
    {
        const json* item = field(object, where, key);
        if (item != nullptr && !item->is_array()) {
            fail(where + key, "not an array");
            return nullptr;
        }
        return item;
    }

    bool measurement(const json& item, const std::string& where, MeasurementRecord* m)
    {
        if (!item.is_object())
            return fail(where, "not an object");
        const std::string at = where + ".";
        return text(item, at, "id", &m->id) && text(item, at, "label", &m->label) &&
               whole(item, at, "size_bytes", &m->size_bytes) && signed_whole(item, at, "sweeps", &m->sweeps) &&
               whole(item, at, "block_bytes", &m->block_bytes) && whole(item, at, "ms", &m->ms) &&
               rate(item, at, "mib_per_s", &m->mib_per_s);
    }
};

// The ids a record must hold, in the table's order, for the phases it ran.
std::vector<std::string> expected_ids(const std::vector<std::string>& phases)
{
    std::vector<std::string> ids;
    for (const Measurement& m : MEASUREMENTS) {
        const char* phase = measurement_phase(m) == PHASE_MEMORY ? "memory" : "disk";
        for (const std::string& ran : phases)
            if (ran == phase)
                ids.push_back(m.id);
    }
    return ids;
}

template <typename Item, typename Id>
bool ids_match(Reader& reader, const std::vector<Item>& items, Id id_of, const std::vector<std::string>& ids,
               const std::string& where)
{
    if (items.size() != ids.size())
        return reader.fail(where, ("holds " + std::to_string(items.size()) + " measurements, not " +
                                   std::to_string(ids.size()))
                                      .c_str());
    for (size_t i = 0; i < ids.size(); ++i)
        if (id_of(items[i]) != ids[i])
            return reader.fail(where + "[" + std::to_string(i) + "].id",
                               ("is \"" + id_of(items[i]) + "\", not \"" + ids[i] + "\"").c_str());
    return true;
}

bool read_document(Reader& reader, const json& document, RunRecord* r)
{
    if (!document.is_object())
        return reader.fail("document", "not a JSON object");
    if (!reader.text(document, "", "program", &r->program))
        return false;
    if (r->program != "ovrel-bench")
        return reader.fail("program", "not a record of ovrel-bench");
    if (!reader.signed_whole(document, "", "schema_version", &r->schema_version))
        return false;
    if (r->schema_version != RECORD_SCHEMA_VERSION)
        return reader.fail("schema_version", ("is " + std::to_string(r->schema_version) + "; this program reads " +
                                              std::to_string(RECORD_SCHEMA_VERSION))
                                                 .c_str());
    if (!reader.text(document, "", "version", &r->version) || !reader.text(document, "", "compiler", &r->compiler) ||
        !reader.text(document, "", "label", &r->label, true) ||
        !reader.text(document, "", "started_at", &r->started_at) ||
        !reader.text(document, "", "ended_at", &r->ended_at) || !reader.flag(document, "", "complete", &r->complete) ||
        !reader.whole(document, "", "seed", &r->seed) ||
        !reader.texts(document, "", "command_line", &r->command_line))
        return false;

    const json* machine = reader.object_field(document, "", "machine");
    if (machine == nullptr)
        return false;
    MachineRecord& m = r->machine;
    const std::string at_machine = "machine.";
    if (!reader.text(*machine, at_machine, "host_name", &m.host_name) ||
        !reader.text(*machine, at_machine, "system", &m.system) ||
        !reader.text(*machine, at_machine, "release", &m.release) ||
        !reader.text(*machine, at_machine, "architecture", &m.architecture) ||
        !reader.text(*machine, at_machine, "cpu_model", &m.cpu_model) ||
        !reader.signed_whole(*machine, at_machine, "logical_cpus", &m.logical_cpus) ||
        !reader.whole(*machine, at_machine, "ram_bytes", &m.ram_bytes) ||
        !reader.text(*machine, at_machine, "directory", &m.directory) ||
        !reader.text(*machine, at_machine, "fs_type", &m.fs_type) ||
        !reader.text(*machine, at_machine, "fs_device", &m.fs_device) ||
        !reader.text(*machine, at_machine, "fs_options", &m.fs_options))
        return false;

    const json* parameters = reader.object_field(document, "", "parameters");
    if (parameters == nullptr)
        return false;
    ParametersRecord& p = r->parameters;
    const std::string at_parameters = "parameters.";
    if (!reader.signed_whole(*parameters, at_parameters, "trials", &p.trials) ||
        !reader.whole(*parameters, at_parameters, "file_size_bytes", &p.file_size_bytes) ||
        !reader.whole(*parameters, at_parameters, "block_bytes", &p.block_bytes) ||
        !reader.whole(*parameters, at_parameters, "small_array_bytes", &p.small_array_bytes) ||
        !reader.signed_whole(*parameters, at_parameters, "small_array_sweeps", &p.small_array_sweeps) ||
        !reader.whole(*parameters, at_parameters, "large_array_bytes", &p.large_array_bytes) ||
        !reader.signed_whole(*parameters, at_parameters, "large_array_sweeps", &p.large_array_sweeps) ||
        !reader.flag(*parameters, at_parameters, "direct_io", &p.direct_io) ||
        !reader.texts(*parameters, at_parameters, "phases", &p.phases))
        return false;
    std::set<std::string> phases(p.phases.begin(), p.phases.end());
    for (const std::string& phase : p.phases)
        if (phase != "memory" && phase != "disk")
            return reader.fail("parameters.phases", ("names an unknown phase \"" + phase + "\"").c_str());
    if (p.phases.empty() || phases.size() != p.phases.size())
        return reader.fail("parameters.phases", "must name memory, disk or both, once each");
    if (p.trials < 1)
        return reader.fail("parameters.trials", "less than 1");
    const std::vector<std::string> ids = expected_ids(p.phases);
    const auto id_of_measurement = [](const MeasurementRecord& item) { return item.id; };

    const json* trials = reader.array_field(document, "", "trials");
    if (trials == nullptr)
        return false;
    r->trials.clear();
    for (size_t t = 0; t < trials->size(); ++t) {
        const json& trial = (*trials)[t];
        const std::string at = "trials[" + std::to_string(t) + "]";
        if (!trial.is_object())
            return reader.fail(at, "not an object");
        TrialRecord record{};
        if (!reader.signed_whole(trial, at + ".", "trial", &record.trial))
            return false;
        if (record.trial != static_cast<int64_t>(t) + 1)
            return reader.fail(at + ".trial", "out of sequence");
        const json* measurements = reader.array_field(trial, at + ".", "measurements");
        if (measurements == nullptr)
            return false;
        for (size_t i = 0; i < measurements->size(); ++i) {
            MeasurementRecord m{};
            if (!reader.measurement((*measurements)[i], at + ".measurements[" + std::to_string(i) + "]", &m))
                return false;
            record.measurements.push_back(m);
        }
        if (!ids_match(reader, record.measurements, id_of_measurement, ids, at + ".measurements"))
            return false;
        r->trials.push_back(record);
    }
    if (r->trials.empty() || static_cast<int64_t>(r->trials.size()) > p.trials ||
        (r->complete && static_cast<int64_t>(r->trials.size()) != p.trials))
        return reader.fail("trials", ("holds " + std::to_string(r->trials.size()) + " trials of the " +
                                      std::to_string(p.trials) + " asked for" +
                                      (r->complete ? " in a complete run" : ""))
                                         .c_str());

    const json* averages = reader.array_field(document, "", "averages");
    if (averages == nullptr)
        return false;
    r->averages.clear();
    for (size_t i = 0; i < averages->size(); ++i) {
        const std::string at = "averages[" + std::to_string(i) + "]";
        AverageRecord average{};
        if (!reader.measurement((*averages)[i], at, &average.average) ||
            !reader.text((*averages)[i], at + ".", "line", &average.line))
            return false;
        r->averages.push_back(average);
    }
    if (!ids_match(reader, r->averages, [](const AverageRecord& item) { return item.average.id; }, ids, "averages"))
        return false;

    const json* statistics = reader.array_field(document, "", "statistics");
    if (statistics == nullptr)
        return false;
    r->statistics.clear();
    for (size_t i = 0; i < statistics->size(); ++i) {
        const json& item = (*statistics)[i];
        const std::string at = "statistics[" + std::to_string(i) + "]";
        if (!item.is_object())
            return reader.fail(at, "not an object");
        StatisticsRecord s{};
        const std::string at_item = at + ".";
        if (!reader.text(item, at_item, "id", &s.id) || !reader.rate(item, at_item, "min_mib_per_s", &s.min_mib_per_s) ||
            !reader.rate(item, at_item, "median_mib_per_s", &s.median_mib_per_s) ||
            !reader.rate(item, at_item, "max_mib_per_s", &s.max_mib_per_s) ||
            !reader.rate(item, at_item, "stddev_mib_per_s", &s.stddev_mib_per_s))
            return false;
        r->statistics.push_back(s);
    }
    return ids_match(reader, r->statistics, [](const StatisticsRecord& item) { return item.id; }, ids, "statistics");
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

bool record_from_json(const std::string& text, RunRecord* record, std::string* error)
{
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        *error = text.empty() ? "empty, not a JSON document" : "not valid JSON (truncated or damaged)";
        return false;
    }
    Reader reader;
    RunRecord read{};
    if (!read_document(reader, document, &read)) {
        *error = reader.error;
        return false;
    }
    *record = std::move(read);
    return true;
}

bool read_record_file(const char* path, RunRecord* record, std::string* error)
{
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        *error = strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    const bool failed = ferror(file) != 0;
    const int read_error = errno;
    fclose(file);
    if (failed) {
        *error = strerror(read_error != 0 ? read_error : EIO);
        return false;
    }
    return record_from_json(text, record, error);
}

#endif

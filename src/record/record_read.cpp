// Reading run records back, strictly. simdjson parses them: a fleet's
// thousands of records are read in a fraction of a second.
#if defined(OVREL_HAVE_SIMDJSON)

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <set>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>

#include "measure/result.h"
#include "measure/statistics.h"
#include "record/run_record.h"
#include "platform/platform.h"
#include "run/measurements.h"

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

// Each step checks one field and, on a fault, says where it is.
struct Reader {
    std::string error;

    bool fail(const std::string& where, const char* what)
    {
        if (error.empty())
            error = where + ": " + what;
        return false;
    }

    bool field(const object& parent, const std::string& where, const char* key, element* item)
    {
        if (parent.at_key(key).get(*item) != simdjson::SUCCESS)
            return fail(where + key, "missing");
        return true;
    }

    bool text(const object& parent, const std::string& where, const char* key, std::string* value,
              bool nullable = false)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        if (nullable && item.is_null()) {
            value->clear();
            return true;
        }
        std::string_view view;
        if (item.get_string().get(view) != simdjson::SUCCESS)
            return fail(where + key, nullable ? "not a string or null" : "not a string");
        value->assign(view);
        return true;
    }

    bool whole(const object& parent, const std::string& where, const char* key, uint64_t* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        const element_type type = item.type();
        if ((type != element_type::INT64 && type != element_type::UINT64) || item.get_uint64().get(*value) != simdjson::SUCCESS)
            return fail(where + key, "not a whole number of 0 or more");
        return true;
    }

    bool signed_whole(const object& parent, const std::string& where, const char* key, int64_t* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        if (item.type() != element_type::INT64 || item.get_int64().get(*value) != simdjson::SUCCESS)
            return fail(where + key, "not a whole number");
        return true;
    }

    bool flag(const object& parent, const std::string& where, const char* key, bool* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        if (item.get_bool().get(*value) != simdjson::SUCCESS)
            return fail(where + key, "not true or false");
        return true;
    }

    // A rate: finite and not negative, or null for none.
    bool rate(const object& parent, const std::string& where, const char* key, double* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        if (item.is_null()) {
            *value = NAN;
            return true;
        }
        if (!item.is_number() || item.get_double().get(*value) != simdjson::SUCCESS)
            return fail(where + key, "not a number or null");
        if (!std::isfinite(*value) || *value < 0)
            return fail(where + key, "not a finite rate of 0 or more");
        return true;
    }

    bool texts(const object& parent, const std::string& where, const char* key, std::vector<std::string>* values)
    {
        array items;
        if (!array_field(parent, where, key, &items))
            return false;
        values->clear();
        for (element item : items) {
            std::string_view view;
            if (item.get_string().get(view) != simdjson::SUCCESS)
                return fail(where + key, "holds something other than strings");
            values->emplace_back(view);
        }
        return true;
    }

    bool object_field(const object& parent, const std::string& where, const char* key, object* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        if (item.get_object().get(*value) != simdjson::SUCCESS)
            return fail(where + key, "not an object");
        return true;
    }

    bool array_field(const object& parent, const std::string& where, const char* key, array* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        if (item.get_array().get(*value) != simdjson::SUCCESS)
            return fail(where + key, "not an array");
        return true;
    }

    bool as_object(const element& item, const std::string& where, object* value)
    {
        if (item.get_object().get(*value) != simdjson::SUCCESS)
            return fail(where, "not an object");
        return true;
    }

    // A whole number of 0 or more, or null for one the system does not count.
    bool known_whole(const object& parent, const std::string& where, const char* key, bool* known, uint64_t* value)
    {
        element item;
        if (!field(parent, where, key, &item))
            return false;
        *known = !item.is_null();
        *value = 0;
        return !*known || whole(parent, where, key, value);
    }

    bool counter(const object& parent, const std::string& where, const char* key, int64_t* value)
    {
        uint64_t count = 0;
        if (!whole(parent, where, key, &count))
            return false;
        *value = static_cast<int64_t>(count);
        return true;
    }

    // `file_bytes`: the run's scratch file, which no reading of it exceeds.
    bool witness(const object& parent, const std::string& where, int64_t version, uint64_t file_bytes, Witness* w)
    {
        object fields;
        if (!object_field(parent, where, "witness", &fields))
            return false;
        const std::string at = where + "witness.";
        uint64_t steal = 0;
        if (!counter(fields, at, "cpu_us", &w->cpu_us) ||
            !counter(fields, at, "involuntary_switches", &w->involuntary_switches) ||
            !counter(fields, at, "minor_faults", &w->minor_faults) ||
            !counter(fields, at, "major_faults", &w->major_faults) ||
            !known_whole(fields, at, "steal_us", &w->steal_known, &steal) ||
            !known_whole(fields, at, "device_read_bytes", &w->device_known, &w->device_read_bytes) ||
            !known_whole(fields, at, "device_write_bytes", &w->device_known, &w->device_write_bytes) ||
            !known_whole(fields, at, "swap_bytes", &w->swap_known, &w->swap_bytes))
            return false;
        w->steal_us = static_cast<int64_t>(steal);
        array runnable;
        if (!array_field(fields, at, "others_runnable", &runnable))
            return false;
        size_t count = 0;
        for (element item : runnable) {
            uint64_t value = 0;
            if (count >= 2 || (!item.is_null() && item.get_uint64().get(value) != simdjson::SUCCESS))
                return fail(at + "others_runnable", "not two whole numbers or nulls");
            w->others_runnable[count++] = item.is_null() ? -1 : static_cast<int64_t>(value);
        }
        if (count != 2)
            return fail(at + "others_runnable", "not two whole numbers or nulls");
        element item;
        w->has_flush = fields.at_key("flush_us").get(item) == simdjson::SUCCESS;
        if (w->has_flush && !counter(fields, at, "flush_us", &w->flush_us))
            return false;
        w->has_resident = fields.at_key("resident_bytes").get(item) == simdjson::SUCCESS;
        w->resident_bytes = 0;
        if (w->has_resident && version < 3)
            return fail(at + "resident_bytes", "is not in records before version 3");
        if (w->has_resident && !whole(fields, at, "resident_bytes", &w->resident_bytes))
            return false;
        if (w->resident_bytes > file_bytes)
            return fail(at + "resident_bytes", "is more than the file's size");
        object blocks;
        w->has_blocks = fields.at_key("block_us").get(item) == simdjson::SUCCESS;
        if (w->has_blocks &&
            (!object_field(fields, at, "block_us", &blocks) ||
             !counter(blocks, at + "block_us.", "p50", &w->block_us.p50_us) ||
             !counter(blocks, at + "block_us.", "p99", &w->block_us.p99_us) ||
             !counter(blocks, at + "block_us.", "max", &w->block_us.max_us)))
            return false;
        if (w->has_blocks && !(w->block_us.p50_us <= w->block_us.p99_us && w->block_us.p99_us <= w->block_us.max_us))
            return fail(at + "block_us", "p50, p99 and max are not in that order");
        std::vector<std::string> reasons;
        if (!texts(fields, at, "disturbed", &reasons))
            return false;
        w->disturbed = 0;
        for (const std::string& reason : reasons) {
            const auto named = std::find(std::begin(DISTURBED_NAMES), std::end(DISTURBED_NAMES), reason);
            if (named == std::end(DISTURBED_NAMES))
                return fail(at + "disturbed", ("names an unknown reason \"" + reason + "\"").c_str());
            const unsigned bit = 1u << (named - std::begin(DISTURBED_NAMES));
            if ((w->disturbed & bit) != 0)
                return fail(at + "disturbed", ("names \"" + reason + "\" twice").c_str());
            w->disturbed |= bit;
        }
        return true;
    }

    // The seed of random(), which takes an unsigned int.
    bool seed_below_2_32(uint64_t seed)
    {
        return seed <= UINT32_MAX || fail("seed", "is not below 2^32: not a seed of this program");
    }

    // A time as the benchmark writes it: 2026-12-11T06:40:11Z.
    bool utc_time(const char* key, const std::string& value)
    {
        static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
        bool ok = value.size() == sizeof shape - 1;
        for (size_t i = 0; ok && i < value.size(); ++i)
            ok = shape[i] == 'd' ? value[i] >= '0' && value[i] <= '9' : value[i] == shape[i];
        const auto number = [&](size_t at) { return (value[at] - '0') * 10 + (value[at + 1] - '0'); };
        ok = ok && number(5) >= 1 && number(5) <= 12 && number(8) >= 1 && number(8) <= 31 && number(11) <= 23 &&
             number(14) <= 59 && number(17) <= 60;
        return ok || fail(key, "is not a UTC time as 2026-12-11T06:40:11Z");
    }

    bool measurement(const element& item, const std::string& where, MeasurementRecord* m)
    {
        object fields;
        if (!as_object(item, where, &fields))
            return false;
        const std::string at = where + ".";
        if (!(text(fields, at, "id", &m->id) && text(fields, at, "label", &m->label) &&
              whole(fields, at, "size_bytes", &m->size_bytes) && signed_whole(fields, at, "sweeps", &m->sweeps) &&
              whole(fields, at, "block_bytes", &m->block_bytes) && whole(fields, at, "ms", &m->ms) &&
              rate(fields, at, "mib_per_s", &m->mib_per_s)))
            return false;
        // The rate is what the size and the time give, as the benchmark
        // works it out: anything else is not a measurement of ours.
        if (m->sweeps < 0 || m->sweeps > INT32_MAX)
            return fail(at + "sweeps", "not a count of sweeps");
        const double expected = rate_mib_per_s(m->ms, m->size_bytes, static_cast<int32_t>(m->sweeps));
        if (!std::isfinite(expected)) {
            if (!std::isnan(m->mib_per_s))
                return fail(at + "mib_per_s", "must be null: a measurement of 0 ms has no rate");
        } else if (std::isnan(m->mib_per_s) || std::fabs(m->mib_per_s - expected) > 1e-9 * expected) {
            return fail(at + "mib_per_s", ("is not the rate of size_bytes, sweeps and ms (" +
                                           std::to_string(expected) + ")").c_str());
        }
        return true;
    }

    // A trial's measurement: version 2 adds the microseconds and the witness.
    // The milliseconds are the microseconds rounded down, as the benchmark
    // reads one clock for both.
    bool trial_measurement(const element& item, const std::string& where, int64_t version, uint64_t file_bytes,
                           int64_t width, MeasurementRecord* m)
    {
        if (!measurement(item, where, m))
            return false;
        if (version < 2)
            return true;
        object fields;
        m->has_us = m->has_witness = true;
        if (!as_object(item, where, &fields) || !whole(fields, where + ".", "us", &m->us))
            return false;
        if (m->ms != m->us / 1000)
            return fail(where + ".ms", ("is not us / 1000 rounded down (" + std::to_string(m->us / 1000) + ")").c_str());
        return witness(fields, where + ".", version, file_bytes, &m->witness) && sweep_times(fields, where + ".", m) &&
               worker_times(fields, where + ".", version, width, m);
    }

    // An array of microseconds, each within the measurement's `us`, into `*times`.
    bool times_within(const object& fields, const std::string& at, const char* key, uint64_t us,
                      std::vector<int64_t>* times)
    {
        array items;
        if (!array_field(fields, at, key, &items))
            return false;
        for (element item : items) {
            uint64_t value = 0;
            if (item.get_uint64().get(value) != simdjson::SUCCESS || value > us)
                return fail(at + key, "not whole numbers of microseconds within the measurement");
            times->push_back(static_cast<int64_t>(value));
        }
        return true;
    }

    // Each worker's or job's time, in a measurement of several (`width`):
    // one each, within the measurement, the last of them its end.
    bool worker_times(const object& fields, const std::string& at, int64_t version, int64_t width, MeasurementRecord* m)
    {
        element item;
        if (fields.at_key("worker_us").get(item) != simdjson::SUCCESS)
            return width <= 1 || fail(at + "worker_us", ("is missing: the run had " + std::to_string(width) +
                                                         " workers or jobs").c_str());
        if (version < 4)
            return fail(at + "worker_us", "is not in records before version 4");
        if (width <= 1)
            return fail(at + "worker_us", "is only in a measurement of several workers or jobs");
        if (!times_within(fields, at, "worker_us", m->us, &m->worker_us))
            return false;
        if (static_cast<int64_t>(m->worker_us.size()) != width)
            return fail(at + "worker_us", ("holds " + std::to_string(m->worker_us.size()) + " times for " +
                                           std::to_string(width) + " workers or jobs").c_str());
        // Two or more: the width is more than one.
        if (static_cast<uint64_t>(*std::max_element(m->worker_us.begin(), m->worker_us.end())) != m->us)
            return fail(at + "worker_us", "the last to end does not end the measurement");
        return true;
    }

    // Each sweep's time, where the record has them: one a sweep, together
    // no longer than the measurement.
    bool sweep_times(const object& fields, const std::string& at, MeasurementRecord* m)
    {
        element item;
        if (fields.at_key("sweep_us").get(item) != simdjson::SUCCESS)
            return true;
        if (!times_within(fields, at, "sweep_us", m->us, &m->sweep_us))
            return false;
        uint64_t sum = 0;
        for (int64_t time : m->sweep_us)
            sum += static_cast<uint64_t>(time);
        if (static_cast<int64_t>(m->sweep_us.size()) != m->sweeps || m->sweep_us.size() > SWEEP_TIMES_MAX)
            return fail(at + "sweep_us", ("holds " + std::to_string(m->sweep_us.size()) + " times for " +
                                          std::to_string(m->sweeps) + " sweeps").c_str());
        if (sum > m->us)
            return fail(at + "sweep_us", "adds up to more than the measurement's microseconds");
        return true;
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

// The statistics are those of the trials' rates, as the benchmark works them
// out from the microseconds: a record whose figures disagree with its
// trials is not one the benchmark wrote.
bool statistics_match(Reader& reader, const RunRecord& r)
{
    // The i-th statistics and the i-th measurement of every trial share their
    // id (checked before). One buffer for every record: a fleet has
    // thousands.
    static std::vector<double> rates;
    for (size_t i = 0; i < r.statistics.size(); ++i) {
        const StatisticsRecord& s = r.statistics[i];
        rates.clear();
        for (const TrialRecord& trial : r.trials) {
            const MeasurementRecord& m = trial.measurements[i];
            rates.push_back(rate_mib_per_s_us(m.us, m.size_bytes, static_cast<int32_t>(m.sweeps)));
        }
        const RateStatistics expected = rate_statistics_in_place(&rates);
        const struct {
            const char* key;
            double read;
            double expected;
            const char* what;
        } figures[] = {{"min_mib_per_s", s.min_mib_per_s, expected.min, "lowest"},
                       {"median_mib_per_s", s.median_mib_per_s, expected.median, "median"},
                       {"max_mib_per_s", s.max_mib_per_s, expected.max, "highest"},
                       {"stddev_mib_per_s", s.stddev_mib_per_s, expected.stddev, "standard deviation"}};
        for (const auto& f : figures) {
            // A figure without a value is written as null, and read as nan.
            const double want = std::isfinite(f.expected) ? f.expected : NAN;
            const bool same = std::isnan(want) ? std::isnan(f.read)
                                               : std::fabs(f.read - want) <= 1e-9 * std::max(std::fabs(want), 1e-300);
            if (!same)
                return reader.fail("statistics[" + std::to_string(i) + "]." + f.key,
                                   (std::string("is not the ") + f.what + " of the trials' rates (" +
                                    (std::isnan(want) ? std::string("null") : std::to_string(want)) + ")")
                                       .c_str());
        }
    }
    return true;
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

bool read_machine(Reader& reader, const object& document, int64_t version, MachineRecord* m)
{
    object machine;
    const std::string at = "machine.";
    return reader.object_field(document, "", "machine", &machine) && reader.text(machine, at, "host_name", &m->host_name) &&
           reader.text(machine, at, "system", &m->system) && reader.text(machine, at, "release", &m->release) &&
           reader.text(machine, at, "architecture", &m->architecture) &&
           reader.text(machine, at, "cpu_model", &m->cpu_model) &&
           reader.signed_whole(machine, at, "logical_cpus", &m->logical_cpus) &&
           reader.whole(machine, at, "ram_bytes", &m->ram_bytes) &&
           reader.text(machine, at, "directory", &m->directory) && reader.text(machine, at, "fs_type", &m->fs_type) &&
           reader.text(machine, at, "fs_device", &m->fs_device) &&
           reader.text(machine, at, "fs_options", &m->fs_options) &&
           (version < 2 || reader.text(machine, at, "fs_properties", &m->fs_properties, true));
}

bool read_parameters(Reader& reader, const object& document, int64_t version, ParametersRecord* p)
{
    p->cold = false;
    p->cores = 1;
    p->jobs = 1;
    object parameters;
    const std::string at = "parameters.";
    if (!reader.object_field(document, "", "parameters", &parameters) ||
        !reader.signed_whole(parameters, at, "trials", &p->trials) ||
        !reader.whole(parameters, at, "file_size_bytes", &p->file_size_bytes) ||
        !reader.whole(parameters, at, "block_bytes", &p->block_bytes) ||
        !reader.whole(parameters, at, "small_array_bytes", &p->small_array_bytes) ||
        !reader.signed_whole(parameters, at, "small_array_sweeps", &p->small_array_sweeps) ||
        !reader.whole(parameters, at, "large_array_bytes", &p->large_array_bytes) ||
        !reader.signed_whole(parameters, at, "large_array_sweeps", &p->large_array_sweeps) ||
        !reader.flag(parameters, at, "direct_io", &p->direct_io) ||
        (version >= 3 && !reader.flag(parameters, at, "cold", &p->cold)) ||
        (version < 3 && parameters.at_key("cold").error() == simdjson::SUCCESS &&
         !reader.fail("parameters.cold", "is not in records before version 3")) ||
        (version >= 4 && !reader.signed_whole(parameters, at, "cores", &p->cores)) ||
        (version >= 4 && !reader.signed_whole(parameters, at, "jobs", &p->jobs)) ||
        (version < 4 && parameters.at_key("cores").error() == simdjson::SUCCESS &&
         !reader.fail("parameters.cores", "is not in records before version 4")) ||
        (version < 4 && parameters.at_key("jobs").error() == simdjson::SUCCESS &&
         !reader.fail("parameters.jobs", "is not in records before version 4")) ||
        !reader.texts(parameters, at, "phases", &p->phases))
        return false;
    if (p->cores < 1 || p->cores > CPUS_MAX)
        return reader.fail("parameters.cores", "is not from 1 to 1024");
    if (p->jobs < 1 || p->jobs > JOBS_MAX)
        return reader.fail("parameters.jobs", "is not from 1 to 256");
    for (const std::string& phase : p->phases)
        if (phase != "memory" && phase != "disk")
            return reader.fail("parameters.phases", ("names an unknown phase \"" + phase + "\"").c_str());
    const std::set<std::string> distinct(p->phases.begin(), p->phases.end());
    if (p->phases.empty() || distinct.size() != p->phases.size())
        return reader.fail("parameters.phases", "must name memory, disk or both, once each");
    if (p->trials < 1)
        return reader.fail("parameters.trials", "less than 1");
    return true;
}

// The workers (memory) or jobs (disk) of the measurement `item` names; 1
// for an id the reader will refuse anyway.
int64_t width_of(const element& item, const ParametersRecord& p)
{
    std::string_view id;
    if (item.at_key("id").get(id) != simdjson::SUCCESS)
        return 1;
    const int index = measurement_index(std::string(id).c_str());
    if (index < 0)
        return 1;
    return measurement_phase(MEASUREMENTS[index]) == PHASE_MEMORY ? p.cores : p.jobs;
}

bool read_document(Reader& reader, const element& root, RunRecord* r)
{
    object document;
    if (root.get_object().get(document) != simdjson::SUCCESS)
        return reader.fail("document", "not a JSON object");
    if (!reader.text(document, "", "program", &r->program))
        return false;
    if (r->program != "ovrel-bench")
        return reader.fail("program", "not a record of ovrel-bench");
    if (!reader.signed_whole(document, "", "schema_version", &r->schema_version))
        return false;
    if (r->schema_version < 1 || r->schema_version > RECORD_SCHEMA_VERSION)
        return reader.fail("schema_version", ("is " + std::to_string(r->schema_version) + "; this program reads 1 to " +
                                              std::to_string(RECORD_SCHEMA_VERSION))
                                                 .c_str());
    if (!reader.text(document, "", "version", &r->version) || !reader.text(document, "", "compiler", &r->compiler) ||
        !reader.text(document, "", "label", &r->label, true) ||
        !reader.text(document, "", "started_at", &r->started_at) ||
        !reader.text(document, "", "ended_at", &r->ended_at) || !reader.flag(document, "", "complete", &r->complete) ||
        !reader.whole(document, "", "seed", &r->seed) || !reader.seed_below_2_32(r->seed) ||
        !reader.utc_time("started_at", r->started_at) || !reader.utc_time("ended_at", r->ended_at) ||
        !reader.texts(document, "", "command_line", &r->command_line) ||
        !read_machine(reader, document, r->schema_version, &r->machine) || !read_parameters(reader, document, r->schema_version, &r->parameters))
        return false;
    const ParametersRecord& p = r->parameters;
    const std::vector<std::string> ids = expected_ids(p.phases);
    const auto id_of_measurement = [](const MeasurementRecord& item) { return item.id; };

    array trials;
    if (!reader.array_field(document, "", "trials", &trials))
        return false;
    r->trials.clear();
    // Exactly as many as the record holds (the reader keeps thousands of
    // records), within what a valid record can hold.
    r->trials.reserve(std::min<size_t>(trials.size(), static_cast<size_t>(std::max<int64_t>(p.trials, 1))));
    size_t t = 0;
    for (element trial : trials) {
        const std::string at = "trials[" + std::to_string(t) + "]";
        object fields;
        if (!reader.as_object(trial, at, &fields))
            return false;
        TrialRecord record{};
        if (!reader.signed_whole(fields, at + ".", "trial", &record.trial))
            return false;
        if (record.trial != static_cast<int64_t>(t) + 1)
            return reader.fail(at + ".trial", "out of sequence");
        array measurements;
        if (!reader.array_field(fields, at + ".", "measurements", &measurements))
            return false;
        record.measurements.reserve(std::min<size_t>(measurements.size(), MEASUREMENT_COUNT));
        size_t i = 0;
        for (element item : measurements) {
            MeasurementRecord m{};
            const std::string where = at + ".measurements[" + std::to_string(i++) + "]";
            // The width of a measurement is known once its id is: the
            // memory sweeps have the run's cores, the disk passes its jobs.
            if (!reader.trial_measurement(item, where, r->schema_version, p.file_size_bytes, width_of(item, p), &m))
                return false;
            record.measurements.push_back(std::move(m));
        }
        if (!ids_match(reader, record.measurements, id_of_measurement, ids, at + ".measurements"))
            return false;
        r->trials.push_back(std::move(record));
        ++t;
    }
    if (r->trials.empty() || static_cast<int64_t>(r->trials.size()) > p.trials ||
        (r->complete && static_cast<int64_t>(r->trials.size()) != p.trials))
        return reader.fail("trials", ("holds " + std::to_string(r->trials.size()) + " trials of the " +
                                      std::to_string(p.trials) + " asked for" +
                                      (r->complete ? " in a complete run" : ""))
                                         .c_str());

    array averages;
    if (!reader.array_field(document, "", "averages", &averages))
        return false;
    r->averages.clear();
    r->averages.reserve(std::min<size_t>(averages.size(), MEASUREMENT_COUNT));
    size_t i = 0;
    for (element item : averages) {
        const std::string at = "averages[" + std::to_string(i++) + "]";
        AverageRecord average{};
        object fields;
        if (!reader.measurement(item, at, &average.average) || !reader.as_object(item, at, &fields) ||
            !reader.text(fields, at + ".", "line", &average.line))
            return false;
        r->averages.push_back(std::move(average));
    }
    if (!ids_match(reader, r->averages, [](const AverageRecord& item) { return item.average.id; }, ids, "averages"))
        return false;

    array statistics;
    if (!reader.array_field(document, "", "statistics", &statistics))
        return false;
    r->statistics.clear();
    r->statistics.reserve(std::min<size_t>(statistics.size(), MEASUREMENT_COUNT));
    i = 0;
    for (element item : statistics) {
        const std::string at = "statistics[" + std::to_string(i++) + "]";
        object fields;
        if (!reader.as_object(item, at, &fields))
            return false;
        StatisticsRecord s{};
        const std::string at_item = at + ".";
        if (!reader.text(fields, at_item, "id", &s.id) || !reader.rate(fields, at_item, "min_mib_per_s", &s.min_mib_per_s) ||
            !reader.rate(fields, at_item, "median_mib_per_s", &s.median_mib_per_s) ||
            !reader.rate(fields, at_item, "max_mib_per_s", &s.max_mib_per_s) ||
            !reader.rate(fields, at_item, "stddev_mib_per_s", &s.stddev_mib_per_s))
            return false;
        r->statistics.push_back(std::move(s));
    }
    return ids_match(reader, r->statistics, [](const StatisticsRecord& item) { return item.id; }, ids, "statistics") &&
           (r->schema_version < 2 || statistics_match(reader, *r));
}

// One parser for the process: its buffers are reused from record to record.
simdjson::dom::parser& shared_parser()
{
    static simdjson::dom::parser parser;
    return parser;
}

} // namespace

bool record_from_json(const std::string& text, RunRecord* record, std::string* error)
{
    element root;
    const simdjson::padded_string padded(text);
    if (shared_parser().parse(padded).get(root) != simdjson::SUCCESS) {
        *error = text.empty() ? "empty, not a JSON document" : "not valid JSON (truncated or damaged)";
        return false;
    }
    Reader reader;
    RunRecord read{};
    if (!read_document(reader, root, &read)) {
        *error = reader.error;
        return false;
    }
    *record = std::move(read);
    return true;
}

bool read_record_file(const char* path, RunRecord* record, std::string* error, uint64_t identity[2])
{
    // Without blocking, so that a FIFO nobody writes to reads as empty
    // instead of holding the program; then blocking for whoever writes.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        *error = strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        close(fd);
        *error = strerror(EISDIR);
        return false;
    }
    if (identity != nullptr) {
        identity[0] = static_cast<uint64_t>(status.st_dev);
        identity[1] = static_cast<uint64_t>(status.st_ino);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A cap, so that /dev/zero or an endless pipe ends in a message, not
    // in all the memory there is.
    std::string text;
    char buffer[65536];
    int read_error = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            read_error = errno;
        if (n <= 0)
            break;
        if (text.size() + static_cast<size_t>(n) > RECORD_MAX_BYTES) {
            close(fd);
            *error = "larger than " + std::to_string(RECORD_MAX_BYTES >> 20) + " MiB: not a run record";
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (read_error != 0) {
        *error = strerror(read_error);
        return false;
    }
    return record_from_json(text, record, error);
}

#endif

#include "driver/export.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disktest/scratch.h"
#include "driver/signals.h"
#include "measure/result.h"
#include "measure/statistics.h"
#include "measure/visible.h"
#include "record/replace_file.h"
#include "sysreport/report.h"

namespace {

std::string utc_now()
{
    const time_t now = time(nullptr);
    struct tm utc;
    char stamp[32];
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return stamp;
}

// The compiler this binary was built with; the report's "Compiler =" line
// keeps its fixed text.
const char* compiler()
{
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "gcc " __VERSION__;
#else
    return "unknown";
#endif
}

MeasurementRecord measurement_record(const Measurement& m, const RunParameters& parameters, uint64_t ms)
{
    const MeasuredObject object = measured_object(m, parameters);
    MeasurementRecord record{};
    record.id = m.id;
    record.label = m.label;
    record.size_bytes = object.size;
    record.sweeps = object.sweeps;
    record.block_bytes = object.block;
    record.ms = ms;
    record.mib_per_s = rate_mib_per_s(ms, object.size, object.sweeps);
    return record;
}

} // namespace

#if defined(OVREL_HAVE_JSON)

namespace {

// Where the record waits before it is renamed into place.
const char* const EXPORT_TEMPORARY = ".ovrel-bench-export.XXXXXX";

[[noreturn]] void refuse(const char* path, const char* reason)
{
    fprintf(stderr, "Cannot write %s: %s\n", visible(path).c_str(), reason);
    exit(1);
}

} // namespace

#endif

ExportTarget prepare_export(const char* path, const char* measured_directory, int arg_count, char** arg_vector)
{
#if !defined(OVREL_HAVE_JSON)
    (void)path;
    (void)measured_directory;
    (void)arg_count;
    (void)arg_vector;
    fputs("This build of ovrel-bench has no JSON export (nlohmann-json was missing).\n", stderr);
    exit(1);
#else
    ExportTarget target;
    if (path[0] == '\0')
        refuse(path, "No file name");
    target.path = path;
    if (path[0] != '/')
        target.path = working_directory() + "/" + target.path;
    // The record replaces the target by a rename: only a regular file (or
    // nothing) is accepted there.
    bool exists = false;
    struct stat status;
    if (const char* reason = why_not_replaceable(target.path, &exists, &status))
        refuse(path, reason);
    // The next run would take a record under the scratch file's name for
    // its own leftover and overwrite it.
    struct stat measured;
    struct stat parent;
    const std::string name = target.path.substr(target.path.rfind('/') + 1);
    if (name.compare(0, strlen(SCRATCH_FILE), SCRATCH_FILE) == 0 && stat(measured_directory != nullptr ? measured_directory : ".", &measured) == 0 &&
        stat(directory_of(target.path).c_str(), &parent) == 0 && measured.st_dev == parent.st_dev &&
        measured.st_ino == parent.st_ino)
        refuse(path, "Is the scratch file of the directory to measure");
    std::string temporary;
    const int fd = create_beside(target.path, EXPORT_TEMPORARY, &temporary);
    if (fd < 0)
        refuse(path, strerror(errno));
    close(fd);
    unlink(temporary.c_str());

    for (int i = 0; i < arg_count; ++i)
        target.command_line.push_back(arg_vector[i]);
    return target;
#endif
}

void mark_export_started(ExportTarget* target)
{
    target->started_at = utc_now();
}

RunRecord make_run_record(const ExportTarget& target, const RunParameters& parameters,
                          const std::vector<TrialTimes>& times, uint64_t seed)
{
    RunRecord r{};
    r.schema_version = RECORD_SCHEMA_VERSION;
    r.program = "ovrel-bench";
    r.version = OVREL_VERSION;
    r.compiler = compiler();
    r.label = parameters.label != nullptr ? parameters.label : "";
    r.started_at = target.started_at;
    r.ended_at = utc_now();
    // An interrupt may come after the last trial, before the averages: the
    // record is whole all the same.
    r.complete = times.size() == static_cast<size_t>(parameters.trials);
    r.seed = seed;
    r.command_line = target.command_line;

    const MachineInfo machine = machine_info();
    r.machine = MachineRecord{machine.host_name,  machine.system,    machine.release,
                              machine.architecture, machine.cpu_model, machine.logical_cpus,
                              parameters.phys_mem, machine.directory, machine.fs_type,
                              machine.fs_device,  machine.fs_options,  machine.fs_properties};
    ParametersRecord& p = r.parameters;
    p.trials = parameters.trials;
    p.file_size_bytes = parameters.file_size;
    p.block_bytes = parameters.block_size;
    p.small_array_bytes = measured_object(MEASUREMENTS[0], parameters).size;
    p.small_array_sweeps = SMALL_ARRAY_PASSES;
    p.large_array_bytes = parameters.large_array_size;
    p.large_array_sweeps = LARGE_ARRAY_PASSES;
    p.direct_io = parameters.direct_io;
    p.cold = parameters.cold;
    p.cores = parameters.cores;
    p.jobs = parameters.jobs;
    if ((parameters.phases & PHASE_MEMORY) != 0)
        p.phases.push_back("memory");
    if ((parameters.phases & PHASE_DISK) != 0)
        p.phases.push_back("disk");

    for (size_t t = 0; t < times.size(); ++t) {
        TrialRecord trial{static_cast<int64_t>(t) + 1, {}};
        for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
            if (!measurement_runs(MEASUREMENTS[index], parameters))
                continue;
            MeasurementRecord item =
                measurement_record(MEASUREMENTS[index], parameters, static_cast<uint64_t>(times[t].ms[index]));
            item.has_us = true;
            item.us = static_cast<uint64_t>(times[t].us[index]);
            item.has_witness = true;
            item.witness = times[t].witness[index];
            item.sweep_us.assign(times[t].sweep_us[index], times[t].sweep_us[index] + times[t].sweeps_timed[index]);
            item.worker_us = times[t].worker_us[index];
            trial.measurements.push_back(item);
        }
        r.trials.push_back(trial);
    }

    // The averages are those of the trials the record holds.
    const int32_t count = static_cast<int32_t>(times.size());
    for (int index = 0; index < MEASUREMENT_COUNT && count > 0; ++index) {
        const Measurement& m = MEASUREMENTS[index];
        if (!measurement_runs(m, parameters))
            continue;
        AverageRecord average{measurement_record(m, parameters, average_ms(times, index, count)), ""};
        char line[RESULT_LINE_LEN];
        format_result(line, average.average.ms, m.label, average.average.size_bytes,
                      static_cast<int32_t>(average.average.sweeps), average.average.block_bytes);
        line[strcspn(line, "\n")] = '\0';
        average.line = line;
        r.averages.push_back(average);

        std::vector<double> rates;
        for (const TrialRecord& trial : r.trials)
            for (const MeasurementRecord& item : trial.measurements)
                if (item.id == m.id)
                    // Finer than the printed whole milliseconds.
                    rates.push_back(rate_mib_per_s_us(item.us, item.size_bytes, static_cast<int32_t>(item.sweeps)));
        const RateStatistics spread = rate_statistics(rates.data(), rates.size());
        r.statistics.push_back(StatisticsRecord{m.id, spread.min, spread.median, spread.max, spread.stddev});
    }
    return r;
}

#if !defined(OVREL_HAVE_JSON)

bool write_export(const ExportTarget&, const RunRecord&)
{
    return false;
}

#else

bool write_export(const ExportTarget& target, const RunRecord& record)
{
    const std::string text = record_to_json(record);
    // A signal now would leave the temporary file behind: it waits until
    // the record is in place or gone.
    signals_hold(true);
    const int error = replace_file(target.path, EXPORT_TEMPORARY, text);
    signals_hold(false);
    if (error != 0)
        fprintf(stderr, "Cannot write %s: %s\n", visible(target.path).c_str(), strerror(error));
    return error == 0;
}

#endif

#include "driver/json_export.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/result.h"
#include "measure/statistics.h"
#include "sysreport/report.h"

#if defined(OVREL_HAVE_JSON)
#include <cmath>
#include <nlohmann/json.hpp>
#endif

namespace {

std::string directory_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A temporary file beside `path`, created and opened; -1 with errno on failure.
int create_temporary(const std::string& path, std::string* temporary)
{
    *temporary = directory_of(path) + "/.ovrel-bench-export.XXXXXX";
    return mkstemp(&(*temporary)[0]);
}

[[noreturn]] void refuse(const char* path, const char* reason)
{
    fprintf(stderr, "Cannot write %s: %s\n", path, reason);
    exit(1);
}

} // namespace

ExportTarget prepare_export(const char* path, int arg_count, char** arg_vector)
{
#if !defined(OVREL_HAVE_JSON)
    (void)path;
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
    struct stat status;
    if (stat(target.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        refuse(path, strerror(EISDIR));
    std::string temporary;
    const int fd = create_temporary(target.path, &temporary);
    if (fd < 0)
        refuse(path, strerror(errno));
    close(fd);
    unlink(temporary.c_str());

    const time_t now = time(nullptr);
    struct tm utc;
    char stamp[32];
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    target.started_at = stamp;
    for (int i = 0; i < arg_count; ++i)
        target.command_line.push_back(arg_vector[i]);
    return target;
#endif
}

#if !defined(OVREL_HAVE_JSON)

bool write_export(const ExportTarget&, const RunParameters&, const std::vector<TrialTimes>&,
                  const TrialTotals&)
{
    return false;
}

#else

namespace {

// Keys keep the order they are written in, so the document reads top-down.
using json = nlohmann::ordered_json;

// JSON has no inf or nan: a rate that cannot be a number is null.
json rate_value(double rate)
{
    return std::isfinite(rate) ? json(rate) : json(nullptr);
}

json measurement_json(const Measurement& m, uint64_t ms)
{
    return json{{"id", m.id},         {"label", m.label},         {"size_bytes", m.size},
                {"sweeps", m.sweeps}, {"block_bytes", m.block},   {"ms", ms},
                {"mib_per_s", rate_value(rate_mib_per_s(ms, m.size, m.sweeps))}};
}

json export_document(const ExportTarget& target, const RunParameters& parameters,
                     const std::vector<TrialTimes>& times, const TrialTotals& totals)
{
    const MachineInfo machine = machine_info();
    json document;
    document["program"] = "ovrel-bench";
    document["version"] = OVREL_VERSION;
    document["started_at"] = target.started_at;
    document["command_line"] = target.command_line;
    document["machine"] = {
        {"host_name", machine.host_name},   {"system", machine.system},
        {"release", machine.release},       {"architecture", machine.architecture},
        {"cpu_model", machine.cpu_model},   {"logical_cpus", machine.logical_cpus},
        {"ram_bytes", parameters.phys_mem}, {"directory", machine.directory},
        {"fs_type", machine.fs_type},       {"fs_device", machine.fs_device},
    };
    document["parameters"] = {
        {"trials", parameters.trials},
        {"file_size_bytes", parameters.file_size},
        {"block_bytes", BLOCK_SIZE},
        {"small_array_bytes", SMALL_ARRAY_SIZE},
        {"small_array_sweeps", SMALL_ARRAY_PASSES},
        {"large_array_bytes", parameters.large_array_size},
        {"large_array_sweeps", LARGE_ARRAY_PASSES},
        {"direct_io", parameters.direct_io},
    };

    json trials = json::array();
    for (size_t t = 0; t < times.size(); ++t) {
        json measurements = json::array();
        for (int index = 0; index < MEASUREMENT_COUNT; ++index)
            measurements.push_back(measurement_json(measurement(index, parameters),
                                                    static_cast<uint64_t>(times[t].ms[index])));
        trials.push_back({{"trial", t + 1}, {"measurements", measurements}});
    }
    document["trials"] = trials;

    json averages = json::array();
    json statistics = json::array();
    for (int index = 0; index < MEASUREMENT_COUNT; ++index) {
        const Measurement m = measurement(index, parameters);
        const uint64_t ms = average_ms(totals, index, parameters.trials);
        json average = measurement_json(m, ms);
        char line[RESULT_LINE_LEN];
        format_result(line, ms, m.label, m.size, m.sweeps, m.block);
        line[strcspn(line, "\n")] = '\0';
        average["line"] = line;
        averages.push_back(average);

        std::vector<double> rates;
        for (const TrialTimes& trial : times)
            rates.push_back(rate_mib_per_s(static_cast<uint64_t>(trial.ms[index]), m.size, m.sweeps));
        const RateStatistics spread = rate_statistics(rates.data(), rates.size());
        statistics.push_back({{"id", m.id},
                              {"min_mib_per_s", rate_value(spread.min)},
                              {"median_mib_per_s", rate_value(spread.median)},
                              {"max_mib_per_s", rate_value(spread.max)},
                              {"stddev_mib_per_s", rate_value(spread.stddev)}});
    }
    document["averages"] = averages;
    document["statistics"] = statistics;
    return document;
}

} // namespace

bool write_export(const ExportTarget& target, const RunParameters& parameters,
                  const std::vector<TrialTimes>& times, const TrialTotals& totals)
{
    // Host names and paths need not be UTF-8: such bytes become U+FFFD
    // instead of an exception.
    const std::string text = export_document(target, parameters, times, totals)
                                 .dump(2, ' ', false, json::error_handler_t::replace) +
                             "\n";
    std::string temporary;
    const int fd = create_temporary(target.path, &temporary);
    if (fd < 0) {
        fprintf(stderr, "Cannot write %s: %s\n", target.path.c_str(), strerror(errno));
        return false;
    }
    // mkstemp makes the file private; the document gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd, 0666 & ~mask) == 0;
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    written = written && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (written && rename(temporary.c_str(), target.path.c_str()) == 0)
        return true;
    fprintf(stderr, "Cannot write %s: %s\n", target.path.c_str(), strerror(errno));
    unlink(temporary.c_str());
    return false;
}

#endif

// How long ovrel-compare takes over many run records: writes N records of
// three trials (all twelve measurements) into a scratch directory, then
// times reading them through the validating reader and both modes, in this
// process; then the program itself as the user runs it, against cat(1) of
// the same files: wall time, CPU time and peak memory of each.
//
//   compare_speed [N [OVREL-COMPARE]]   (N defaults to 10000; the program to
//                                        the one built beside bench/)
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "compare/compare.h"
#include "driver/export.h"
#include "measure/timing.h"

namespace {

double since_ms(const TimeReading& start)
{
    return static_cast<double>(elapsed_us(time_reading(), start)) / 1000.0;
}

struct ChildCost {
    double wall_ms;
    double cpu_ms;
    double peak_mib;
    bool ok;
};

// Runs `argv` with standard output to /dev/null; its wall and CPU time and
// peak resident memory, from wait4.
ChildCost run_child(const std::vector<std::string>& words)
{
    const TimeReading start = time_reading();
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const std::string& word : words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    return ChildCost{since_ms(start), cpu, static_cast<double>(usage.ru_maxrss) / 1024.0,
                     WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? atoi(argv[1]) : 10000;
    char directory[] = "/tmp/ovrel-compare-speed.XXXXXX";
    if (mkdtemp(directory) == nullptr)
        return 1;

    RunParameters parameters = parameters_for_memory(uint64_t{16} << 30);
    parameters.file_size = uint64_t{32} << 30;
    const ExportTarget target{"/nowhere", "2026-12-10T00:00:00Z", {"ovrel-bench"}};
    std::vector<std::string> files;
    srandom(1);
    for (int i = 0; i < count; ++i) {
        std::vector<TrialTimes> times(3);
        for (TrialTimes& trial : times)
            for (int i = 0; i < MEASUREMENT_COUNT; ++i) {
                trial.us[i] = 1000000 + random() % 100000;
                trial.ms[i] = trial.us[i] / 1000;
            }
        RunRecord record = make_run_record(target, parameters, times, 1);
        // Every record a host of its own: the fleet's hardest case.
        record.machine.host_name = "host-" + std::to_string(i);
        const std::string file = std::string(directory) + "/run-" + std::to_string(i) + ".json";
        FILE* out = fopen(file.c_str(), "w");
        const std::string text = record_to_json(record);
        fwrite(text.data(), 1, text.size(), out);
        fclose(out);
        files.push_back(file);
    }

    // The program as a user runs it, on the directory of records: first,
    // while this process is small (a child starts with its peak memory).
    std::string program = argc > 2 ? argv[2] : "";
    if (program.empty()) {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        const std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
        program = path.substr(0, path.rfind("/bench/") + 1) + "ovrel-compare";
    }
    const struct {
        const char* name;
        std::vector<std::string> words;
    } children[] = {
        {"cat of the records", {"sh", "-c", "cat \"$0\"/*.json", directory}},
        {"ovrel-compare DIR", {program, directory}},
        {"ovrel-compare --format json DIR", {program, "--format", "json", directory}},
        {"ovrel-compare --fleet DIR", {program, "--fleet", directory}},
        {"ovrel-compare --fleet --format json DIR", {program, "--fleet", "--format", "json", directory}},
    };
    bool all_ok = true;
    for (const auto& child : children) {
        const ChildCost cost = run_child(child.words);
        all_ok = all_ok && cost.ok;
        printf("%-40s wall %6.0f ms  cpu %6.0f ms  peak %6.1f MiB%s\n", child.name, cost.wall_ms, cost.cpu_ms,
               cost.peak_mib, cost.ok ? "" : "  FAILED");
    }

    TimeReading start = time_reading();
    std::vector<LoadedRun> runs;
    std::string error;
    if (!load_runs(files, &runs, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const double read_ms = since_ms(start);
    start = time_reading();
    const size_t rows = compare_runs(runs).size();
    const double statistics_ms = since_ms(start);
    start = time_reading();
    const std::string compared = render_comparison(runs, Format::Csv);
    const double compare_ms = since_ms(start);
    start = time_reading();
    const std::string fleet = render_fleet(runs, fleet_of(runs), Format::Text);
    const double fleet_ms = since_ms(start);

    printf("%d records: read and checked %.0f ms; %zu compared against the first %.0f ms (of which the "
           "statistics alone %.0f ms); fleet of %d hosts %.0f ms\n",
           count, read_ms, rows, compare_ms, statistics_ms, count, fleet_ms);
    printf("read + compare: %.0f ms; read + fleet: %.0f ms\n", read_ms + compare_ms, read_ms + fleet_ms);

    for (const std::string& file : files)
        unlink(file.c_str());
    rmdir(directory);
    return compared.empty() || fleet.empty() || !all_ok;
}

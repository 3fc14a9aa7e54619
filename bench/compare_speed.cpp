// How long ovrel-compare takes over many run records: writes N records of
// three trials (all twelve measurements) into a scratch directory, then
// times reading them through the validating reader and both modes.
//
//   compare_speed [N]          (N defaults to 10000; prints milliseconds)
#include <cstdio>
#include <cstdlib>
#include <string>
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
            for (int64_t& ms : trial.ms)
                ms = 1000 + random() % 100;
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
    return compared.empty() || fleet.empty();
}

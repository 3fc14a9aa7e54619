// ovrel-bench: memory store and file system throughput of one machine.
#include <vector>

#include "disktest/scratch.h"
#include "driver/json_export.h"
#include "driver/run_parameters.h"
#include "driver/safety.h"
#include "driver/trials.h"
#include "sysreport/report.h"

int main(int argc, char** argv)
{
    RunParameters parameters = init_run_parameters();
    parse_command_line(argc, argv, parameters);

    // Everything that can refuse the run does so before the notice, so that
    // nobody waits through a run that cannot finish.
    ExportTarget target;
    if (parameters.export_json != nullptr)
        target = prepare_export(parameters.export_json, argc, argv);
    if (parameters.directory != nullptr)
        enter_directory(parameters.directory);
    if (parameters.direct_io) {
        check_direct_io(parameters.directory != nullptr ? parameters.directory : working_directory().c_str());
        scratch_use_direct_io();
    }
    check_free_space(parameters);

    print_notice();
    print_system_report(parameters);
    // Output that cannot be written now would be lost after every trial.
    check_report_written();

    install_signal_handlers();
    TrialTotals totals{};
    std::vector<TrialTimes> times;
    run_trials(parameters, totals, &times);
    print_averages(parameters, totals);
    check_report_written();

    if (parameters.export_json != nullptr && !write_export(target, parameters, times, totals))
        return 1;
    return 0;
}

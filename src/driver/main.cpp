// ovrel-bench: memory store and file system throughput of one machine.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "disktest/scratch.h"
#include "driver/command_line.h"
#include "driver/export.h"
#include "driver/preflight.h"
#include "driver/signals.h"
#include "driver/trials.h"
#include "measure/interrupt.h"
#include "measure/progress.h"
#include "measure/visible.h"
#include "measure/witness.h"
#include "platform/platform.h"
#include "sysreport/report.h"

int main(int argc, char** argv)
{
    ensure_standard_descriptors();
    RunParameters parameters = init_run_parameters();
    parse_command_line(argc, argv, parameters);
    if ((parameters.phases & PHASE_DISK) != 0 && !scratch_set_shape(parameters.jobs, parameters.block_size)) {
        fprintf(stderr, "Could not allocate the buffers of %d jobs.\n", parameters.jobs);
        return 1;
    }

    // Everything that can refuse the run does so before the notice, so that
    // nobody waits through a run that cannot finish.
    ExportTarget target;
    if (parameters.export_json != nullptr)
        target = prepare_export(parameters.export_json, parameters.directory, argc, argv);
    if (parameters.directory != nullptr)
        enter_directory(parameters.directory);
    const std::string shown = visible(parameters.directory != nullptr ? parameters.directory : working_directory());
    if ((parameters.phases & PHASE_DISK) != 0) {
        check_directory_writable(shown.c_str());
        lock_directory(shown.c_str());
        uint64_t leftover = 0;
        for (int32_t job = 0; job < parameters.jobs; ++job)
            leftover += check_scratch_name(shown.c_str(), job);
        if (parameters.direct_io) {
            check_direct_io(shown.c_str());
            scratch_set_open_flag(platform_direct_io_flag());
        }
        if (parameters.cold) {
            check_cold();
            scratch_set_cold(true);
        }
        check_free_space(parameters, leftover);
    }
    install_signal_handlers();
    witness_watch(".");

    print_plan(parameters, shown.c_str());
    print_notice(!parameters.assume_yes);
    mark_export_started(&target);
    print_system_report(parameters);
    // Output that cannot be written now would be lost after every trial.
    check_report_written();

    // One seed for the run: the write passes' random bytes and the shuffles
    // draw on from it, and the record keeps it (--seed replays it).
    const unsigned seed = parameters.seed_given ? parameters.seed : static_cast<unsigned>(time(nullptr));
    srandom(seed);
    scratch_set_seed(seed);
    // The read buffers' pages come in now, not inside trial 1's read passes.
    scratch_touch_buffers();
    progress_find_terminal();
    std::vector<TrialTimes> times;
    const bool exporting = parameters.export_json != nullptr;
    run_trials(parameters, exporting, &times);

    // An interrupt between two blocks or steps drops the trial in progress.
    // Printing the averages may itself be cut short by a signal, or find
    // standard output gone: the record is saved first in every case, and
    // only then is the report's fate told.
    const bool stopped = interrupt_signal() != 0;
    if (stopped) {
        scratch_remove();
    } else {
        print_averages(parameters, times);
        for (const std::string& warning : first_trial_warnings(parameters, times))
            fprintf(stderr, "%s\n", warning.c_str());
    }
    const bool saved =
        exporting && !times.empty() && write_export(target, make_run_record(target, parameters, times, seed));
    // The last of the report goes out when no signal has come; a signal that
    // cuts this short ends the run by that signal, the record being safe.
    const bool written = interrupt_signal() == 0 && report_written();
    const int signal_number = interrupt_signal();
    if (signal_number != 0) {
        if (saved)
            fprintf(stderr, "Interrupted: %s holds the %zu complete trial%s.\n", visible(target.path).c_str(),
                    times.size(), times.size() == 1 ? "" : "s");
        die_by_signal(signal_number);
    }
    if (!written)
        fail_report();
    return exporting && !saved ? 1 : 0;
}

// Checks before the run that protect the machine, and the clean stop on a signal.
#pragma once

#include "driver/run_parameters.h"

// Moves into the directory to measure; a missing or unusable one ends the run.
void enter_directory(const char* directory);
// Ends the run when direct I/O is asked for and the platform or the file
// system of the working directory cannot do it; `shown` names the directory.
void check_direct_io(const char* shown);
// Ends the run when the scratch file's whole blocks would not fit in the
// space the user may still take on the working directory's file system.
void check_free_space(const RunParameters& parameters);
// Ends the run with status 1 when the report could not be written to
// standard output (a full disk under a redirected report, say): a run whose
// figures were lost must not look like a success.
void check_report_written();
// SIGINT, SIGTERM, SIGHUP and SIGPIPE remove this run's scratch file, then
// end the process as the signal would have. Signals ignored at start stay ignored.
void install_signal_handlers();

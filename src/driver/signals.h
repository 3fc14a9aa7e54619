// How the run ends on a signal: the scratch file goes, and the process dies
// by the signal, as the shell that started it expects.
#pragma once

// INT, TERM, HUP, QUIT and PIPE remove this run's scratch file, then end the
// process by the signal; signals ignored at start (nohup) stay ignored.
// The status signal (SIGINFO on FreeBSD, SIGUSR1 on Linux) prints what is
// being measured on standard error and nothing else.
// SIGXFSZ is ignored, so that a file size limit is a write error with its
// reason rather than a silent death.
void install_signal_handlers();
// From now on the first signal is only recorded: the measurements stop at
// their next block or step, and the run saves its finished trials before it
// dies. A second signal ends the process at once.
void signals_keep_for_record();
// Blocks or unblocks the handled signals around work that must not be cut
// in half (writing the record).
void signals_hold(bool hold);
// Ends the process by `signal_number` with its default action.
[[noreturn]] void die_by_signal(int signal_number);

// The signal that asked the run to stop, recorded by the signal handler and
// read by the measurements between their blocks and steps.
#pragma once

// Async-signal-safe: only stores the number.
void interrupt_record(int signal_number);
// The recorded signal, or 0 when none has come.
int interrupt_signal();

#include "measure/interrupt.h"

#include <csignal>

namespace {
volatile sig_atomic_t recorded_signal = 0;
}

void interrupt_record(int signal_number)
{
    recorded_signal = signal_number;
}

int interrupt_signal()
{
    return recorded_signal;
}

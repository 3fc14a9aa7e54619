#include "driver/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "measure/status.h"
#include "platform/platform.h"

namespace {

const int HANDLED[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

volatile sig_atomic_t keep_for_record = 0;

void on_signal(int signal_number)
{
    // Only async-signal-safe work here. A SIGPIPE is never the operator
    // asking twice: every write to a reader that has gone raises one more.
    const bool again = interrupt_signal() != 0 && signal_number != SIGPIPE;
    if (interrupt_signal() == 0)
        interrupt_record(signal_number);
    if (keep_for_record && !again)
        return;
    scratch_remove_from_signal();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// The operator's question "how far is it?": answered on standard error, and
// the run goes on. The measurement in progress loses only the print's time.
void on_status_signal(int)
{
    const int saved = errno;
    status_print();
    errno = saved;
}

sigset_t handled_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : HANDLED)
        sigaddset(&set, signal_number);
    return set;
}

} // namespace

void install_signal_handlers()
{
    signal(SIGXFSZ, SIG_IGN);
    for (int signal_number : HANDLED) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action{};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
    // Restarted system calls: a status request must not cut short a read of
    // the return key, a transfer or a wait.
    const int status_signal = platform_status_signal();
    struct sigaction previous;
    if (sigaction(status_signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
        return;
    struct sigaction action{};
    action.sa_handler = on_status_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(status_signal, &action, nullptr);
}

void signals_keep_for_record()
{
    keep_for_record = 1;
}

void signals_hold(bool hold)
{
    const sigset_t set = handled_set();
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void die_by_signal(int signal_number)
{
    // What the report still holds goes out where that cannot hang the end
    // of the run: not to a reader that has gone (SIGPIPE), nor into a pipe
    // or terminal that takes nothing now.
    struct pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (signal_number != SIGPIPE && poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0)
        fflush(stdout);
    signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    // Only a signal that cannot kill (none of the handled ones) gets here.
    _exit(128 + signal_number);
}

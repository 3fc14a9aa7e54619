#include "measure/workers.h"

#include <csignal>
#include <pthread.h>
#include <vector>

#include "platform/platform.h"

namespace {

struct Start {
    const WorkerTeam* team;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    unsigned ready;        // workers started and pinned
    bool go;               // the interval has begun, or the start was cancelled
    bool cancelled;        // a worker could not be started or pinned
    std::vector<int> pin_error;
};

struct Seat {
    Start* start;
    int32_t index;
};

void* worker_main(void* argument)
{
    const Seat* seat = static_cast<const Seat*>(argument);
    Start* start = seat->start;
    const WorkerTeam& team = *start->team;
    const int pin_error = team.cpus != nullptr ? platform_pin_thread(team.cpus[seat->index]) : 0;
    pthread_mutex_lock(&start->lock);
    start->pin_error[static_cast<size_t>(seat->index)] = pin_error;
    ++start->ready;
    pthread_cond_broadcast(&start->changed);
    while (!start->go)
        pthread_cond_wait(&start->changed, &start->lock);
    const bool cancelled = start->cancelled;
    pthread_mutex_unlock(&start->lock);
    if (!cancelled)
        team.body(seat->index, team.context);
    return nullptr;
}

} // namespace

int workers_run(const WorkerTeam& team, Interval* interval, int32_t* failed)
{
    const unsigned count = team.count > 0 ? static_cast<unsigned>(team.count) : 0;
    Start start{&team, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, false, false,
                std::vector<int>(count, 0)};
    std::vector<Seat> seats(count);
    std::vector<pthread_t> threads(count);
    // The workers inherit a mask that blocks every signal: the handlers run
    // on this thread, which only waits, and the workers see an interrupt
    // as the measurements always have, between two steps.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    unsigned started = 0;
    int error = 0;
    for (; started < count; ++started) {
        seats[started] = Seat{&start, static_cast<int32_t>(started)};
        error = pthread_create(&threads[started], nullptr, worker_main, &seats[started]);
        if (error != 0) {
            *failed = static_cast<int32_t>(started);
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    pthread_mutex_lock(&start.lock);
    while (start.ready < started)
        pthread_cond_wait(&start.changed, &start.lock);
    for (unsigned i = 0; i < started && error == 0; ++i)
        if (start.pin_error[i] != 0) {
            error = start.pin_error[i];
            *failed = static_cast<int32_t>(i);
        }
    start.cancelled = error != 0;
    // Every worker is waiting: the clock starts now, and they all go.
    if (error == 0)
        *interval = interval_begin();
    start.go = true;
    pthread_cond_broadcast(&start.changed);
    pthread_mutex_unlock(&start.lock);
    for (unsigned i = 0; i < started; ++i)
        pthread_join(threads[i], nullptr);
    pthread_mutex_destroy(&start.lock);
    pthread_cond_destroy(&start.changed);
    return error;
}

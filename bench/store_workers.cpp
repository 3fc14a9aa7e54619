// The large array's sweeps on N pinned workers at once, as --cores N runs
// them, next to reference loops with the same workers over the same bytes.
//
// Each worker maps its part and touches it before the clock (so that no
// figure holds page faults), all start at one signal, and a sweep's time is
// from the common start to the last worker's end, as in ovrel-bench. Kernels:
//   ours     sweep_array, 8-byte words (the project's kernel)
//   plain    an exact-width loop the compiler may widen and unroll
//   memset   the C library's (wide and, for large sizes, non-temporal stores)
// Rounds alternate the kernels; each prints its MiB/s.
//
//   store_workers [--cores N] [--mib-per-worker M] [--sweeps S] [--rounds R]
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <vector>

#include "measure/timing.h"
#include "memtest/sweep.h"
#include "platform/platform.h"

namespace {

struct Shared {
    int32_t workers;
    uint64_t part;
    int32_t sweeps;
    int kernel;
    std::vector<unsigned char*> parts;
    std::vector<int32_t> cpus;
    pthread_barrier_t start;
    pthread_barrier_t ready;
    std::vector<TimeReading> end;
    TimeReading begin;
};

void plain_loop(unsigned char* array, uint64_t bytes)
{
    uint64_t* words = reinterpret_cast<uint64_t*>(array);
    for (uint64_t i = 0; i < bytes / 8; ++i)
        words[i] = reinterpret_cast<uintptr_t>(words + i);
}

void* worker(void* argument)
{
    Shared& shared = *static_cast<Shared*>(static_cast<void**>(argument)[0]);
    const int32_t index = static_cast<int32_t>(reinterpret_cast<intptr_t>(static_cast<void**>(argument)[1]));
    platform_pin_thread(shared.cpus[static_cast<size_t>(index)]);
    unsigned char* const part = shared.parts[static_cast<size_t>(index)];
    pthread_barrier_wait(&shared.ready);
    pthread_barrier_wait(&shared.start);
    for (int32_t s = 0; s < shared.sweeps; ++s) {
        if (shared.kernel == 0)
            sweep_array(part, shared.part, 1, 8);
        else if (shared.kernel == 1)
            plain_loop(part, shared.part);
        else
            memset(part, s, shared.part);
    }
    shared.end[static_cast<size_t>(index)] = time_reading();
    return nullptr;
}

double round_of(Shared& shared, int kernel)
{
    shared.kernel = kernel;
    const size_t n = static_cast<size_t>(shared.workers);
    pthread_barrier_init(&shared.ready, nullptr, static_cast<unsigned>(n + 1));
    pthread_barrier_init(&shared.start, nullptr, static_cast<unsigned>(n + 1));
    std::vector<pthread_t> threads(n);
    std::vector<void*> arguments(2 * n);
    for (size_t i = 0; i < n; ++i) {
        arguments[2 * i] = &shared;
        arguments[2 * i + 1] = reinterpret_cast<void*>(static_cast<intptr_t>(i));
        pthread_create(&threads[i], nullptr, worker, &arguments[2 * i]);
    }
    pthread_barrier_wait(&shared.ready);
    shared.begin = time_reading();
    pthread_barrier_wait(&shared.start);
    int64_t last = 0;
    for (size_t i = 0; i < n; ++i) {
        pthread_join(threads[i], nullptr);
        const int64_t us = elapsed_us(shared.end[i], shared.begin);
        last = us > last ? us : last;
    }
    pthread_barrier_destroy(&shared.ready);
    pthread_barrier_destroy(&shared.start);
    const double bytes = static_cast<double>(shared.part) * static_cast<double>(n) * shared.sweeps;
    return bytes / 1048576.0 / (static_cast<double>(last) / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    int32_t cores = 0;
    uint64_t mib = 1024;
    int32_t sweeps = 7;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--cores")
            cores = atoi(argv[i + 1]);
        else if (option == "--mib-per-worker")
            mib = strtoull(argv[i + 1], nullptr, 10);
        else if (option == "--sweeps")
            sweeps = atoi(argv[i + 1]);
        else if (option == "--rounds")
            rounds = atoi(argv[i + 1]);
    }
    Shared shared{};
    shared.cpus.resize(CPUS_MAX);
    const int32_t usable = platform_usable_cpus(shared.cpus.data(), CPUS_MAX);
    shared.workers = cores > 0 && cores <= usable ? cores : usable;
    shared.part = mib << 20;
    shared.sweeps = sweeps;
    shared.end.resize(static_cast<size_t>(shared.workers));
    for (int32_t i = 0; i < shared.workers; ++i) {
        unsigned char* part = static_cast<unsigned char*>(platform_map_memory(shared.part));
        memset(part, 1, shared.part);
        shared.parts.push_back(part);
    }
    const char* const names[] = {"ours", "plain", "memset"};
    printf("workers %d, %" PRIu64 " MiB each, %d sweeps\n", shared.workers, mib, sweeps);
    for (int r = 0; r < rounds; ++r)
        for (int k = 0; k < 3; ++k) {
            const int kernel = (k + r) % 3;
            printf("round %d %s %.1f\n", r + 1, names[kernel], round_of(shared, kernel));
            fflush(stdout);
        }
    return 0;
}

#include "run/run_parameters.h"

#include <unistd.h>

#include "run/measurements.h"

uint64_t cold_file_size(uint64_t phys_mem)
{
    const uint64_t quarter = phys_mem / 4 / BLOCK_SIZE * BLOCK_SIZE;
    return quarter < BLOCK_SIZE ? BLOCK_SIZE : quarter;
}

bool page_cache_can_hold(uint64_t file_bytes, uint64_t phys_mem)
{
    // file_bytes + BLOCK_SIZE < 2 * phys_mem, halved so that nothing wraps.
    return file_bytes > 0 && file_bytes / 2 + BLOCK_SIZE / 2 < phys_mem;
}

uint64_t job_file_size(const RunParameters& parameters)
{
    const uint64_t jobs = parameters.jobs > 0 ? static_cast<uint64_t>(parameters.jobs) : 1;
    const uint64_t block = parameters.block_size > 0 ? parameters.block_size : BLOCK_SIZE;
    return parameters.file_size / jobs / block * block;
}

uint64_t run_file_bytes(const RunParameters& parameters)
{
    return job_file_size(parameters) * static_cast<uint64_t>(parameters.jobs > 0 ? parameters.jobs : 1);
}

RunParameters parameters_for_memory(uint64_t phys_mem)
{
    RunParameters parameters{};
    parameters.phys_mem = phys_mem;
    // Twice the memory, so that the page cache cannot hold the file and the
    // read passes reach the disk.
    parameters.file_size = 2 * phys_mem;
    parameters.trials = 3;
    const uint64_t three_quarters = (phys_mem * 3) >> 2;
    parameters.large_array_size = three_quarters >= LARGE_ARRAY_CAP ? LARGE_ARRAY_CAP : three_quarters;
    parameters.phases = PHASE_ALL;
    parameters.cores = 1;
    parameters.jobs = 1;
    parameters.block_size = BLOCK_SIZE;
    return parameters;
}

RunParameters init_run_parameters()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    uint64_t phys_mem = 0;
    if (pages > 0 && page_size > 0)
        phys_mem = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
    return parameters_for_memory(phys_mem);
}

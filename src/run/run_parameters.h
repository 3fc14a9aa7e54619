// The parameters of a run: measured from the machine, then set by the command line.
#pragma once

#include <cstdint>

constexpr uint64_t LARGE_ARRAY_CAP = 2147483648;

// The groups of measurements a run may be limited to.
constexpr unsigned PHASE_MEMORY = 1;
constexpr unsigned PHASE_DISK = 2;
constexpr unsigned PHASE_ALL = PHASE_MEMORY | PHASE_DISK;

struct RunParameters {
    uint64_t phys_mem;             // bytes of physical memory
    uint64_t file_size;            // bytes of the scratch file; twice the memory by default
    int32_t trials;                // 3 by default, always at least 1
    uint64_t large_array_size;     // three quarters of the memory, at most LARGE_ARRAY_CAP
    const char* file_size_rounded; // --file-size as given when it was rounded down, else null
    const char* directory;         // --directory, or null for the working directory
    const char* export_json;       // --export-json, or null
    const char* label;             // --label, or null
    unsigned phases;               // PHASE_MEMORY, PHASE_DISK or both (--only)
    bool direct_io;                // --direct
    bool cold;                     // --cold: writes timed to their fsync, cache dropped before reads
    bool file_size_given;          // --file-size was given
    bool assume_yes;               // --yes: do not wait for the return key
    bool seed_given;               // --seed: replay a run's random numbers
    uint32_t seed;                 // its value, when given
    int32_t cores;                 // --cores: memory workers at once, one on each CPU (1)
    const int32_t* cpus;           // the CPU of each worker, or null: no pinning (--cores not given)
    int32_t jobs;                  // --jobs: disk streams at once, each with a file of its own (1)
    uint64_t block_size;           // --block-size: the disk passes' unit of transfer (BLOCK_SIZE)
    uint64_t file_size_asked;      // --file-size as given, in bytes, before rounding to whole blocks
};


// The bytes each of the run's jobs writes: its share of the file, in whole blocks.
uint64_t job_file_size(const RunParameters& parameters);
// The bytes all the jobs write together: each job's share times the jobs.
uint64_t run_file_bytes(const RunParameters& parameters);
// The file of a cold run when --file-size is not given: a quarter of the
// memory in whole blocks (at least one), which writes and reads an eighth of
// what the default run's file of twice the memory does.
uint64_t cold_file_size(uint64_t phys_mem);
// Whether the page cache of a machine with `phys_mem` bytes of memory can
// serve the read passes over a file of `file_bytes` (whole blocks): a file
// shorter than twice the memory by more than a block. The default file, twice
// the memory rounded down to whole blocks, is not one; an empty file moves
// no data at all.
bool page_cache_can_hold(uint64_t file_bytes, uint64_t phys_mem);
// Defaults for a machine with `phys_mem` bytes of memory.
RunParameters parameters_for_memory(uint64_t phys_mem);
// Defaults for this machine.
RunParameters init_run_parameters();

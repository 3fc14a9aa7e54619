// The parameters of a run: measured from the machine, then set by the command line.
#pragma once

#include <cstdint>

constexpr uint64_t LARGE_ARRAY_CAP = 2147483648;

struct RunParameters {
    uint64_t phys_mem;          // bytes of physical memory
    uint64_t file_size;         // bytes of the scratch file; twice the memory by default
    int32_t trials;             // 3 by default, always at least 1
    uint64_t large_array_size;  // three quarters of the memory, at most LARGE_ARRAY_CAP
    const char* directory;      // --directory, or null for the working directory
    const char* export_json;    // --export-json, or null
    bool direct_io;             // --direct
};

// Defaults for a machine with `phys_mem` bytes of memory.
RunParameters parameters_for_memory(uint64_t phys_mem);
// Defaults for this machine.
RunParameters init_run_parameters();
// Applies the options to `parameters`, which already holds the defaults.
// "--help", "--version" and bad values end the process.
void parse_command_line(int arg_count, char** arg_vector, RunParameters& parameters);
// Writes the usage message to standard error and exits with status 64.
[[noreturn]] void print_usage(char** arg_vector);

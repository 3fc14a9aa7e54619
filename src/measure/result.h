// Byte counts in binary units and the one-line result of every measurement.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SIZE_LABEL_LEN = 100;
// Long enough for any result line, however wide its columns grow.
constexpr size_t RESULT_LINE_LEN = 512;

// Writes "%0.2f GiB/MiB/KiB/B" for `bytes` into `buffer` (SIZE_LABEL_LEN bytes) and returns it.
char* format_size(uint64_t bytes, char* buffer);

// A block size in its whole unit: "4 KiB", "64 MiB" ("%u B" below 1 KiB).
char* format_block(uint64_t bytes, char* buffer);

// MiB/s for `sweeps` sweeps over `size` bytes in `ms` milliseconds: inf when
// bytes moved in 0 ms, nan when nothing moved in 0 ms.
double rate_mib_per_s(uint64_t ms, uint64_t size, int32_t sweeps);
// The same for an interval of `us` microseconds.
double rate_mib_per_s_us(uint64_t us, uint64_t size, int32_t sweeps);

// Formats the result line (with its newline) into `line` (RESULT_LINE_LEN bytes).
void format_result(char* line, uint64_t ms, const char* label, uint64_t size, int32_t sweeps,
                   uint64_t block);

// Prints the result line on standard output.
void print_result(uint64_t ms, const char* label, uint64_t size, int32_t sweeps, uint64_t block);

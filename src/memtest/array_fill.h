// The array fill test: timed sweeps of a freshly mapped array with one word size.
#pragma once

#include <cstdint>

// Maps `size` fresh bytes, sweeps them `sweeps` times with `wsize`-byte words,
// prints the header and result lines and returns the elapsed milliseconds.
// An allocation failure or an invalid word size ends the process with status 1.
int64_t array_test(uint64_t size, int32_t sweeps, int32_t wsize);

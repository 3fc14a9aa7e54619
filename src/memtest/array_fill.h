// The array fill test: timed sweeps of a freshly mapped array with one word size.
#pragma once

#include <cstdint>
#include <string>

#include "measure/witness.h"

// Maps `size` fresh bytes, sweeps them `sweeps` times with `wsize`-byte words,
// prints the header and result lines (and a note when the witness finds the
// figure disturbed) and returns the interval with its witness.
// An allocation failure or an invalid word size ends the process with status 1.
// With `cpus`, `cores` workers sweep at once, worker i pinned to cpus[i],
// each an equal part of the `size` bytes.
Measured array_fill(uint64_t size, int32_t sweeps, int32_t wsize, int32_t cores = 1, const int32_t* cpus = nullptr);
// The note of such a measurement, with the rate of the sweeps after the
// first; empty when its sweeps were not timed one by one or the first took
// no more than that share.
std::string first_touch_note(const Measured& measured, uint64_t size);
// The same, milliseconds only.
int64_t array_test(uint64_t size, int32_t sweeps, int32_t wsize);

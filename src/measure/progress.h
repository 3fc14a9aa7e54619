// The 64-cell progress bar that every disk pass draws on standard output.
#pragma once

#include <cstdint>

constexpr int32_t PROGRESS_MARKS = 64;

// Multiples of the step reached in the current pass; the first `cells` draw a mark.
extern int32_t progress_count;

// Draws "[", `cells` blanks, "]" and backs the cursor up onto the first blank.
void progress_begin(int32_t cells);
// Called after block `index` (from 0) of `total` has been transferred; draws at most one mark.
void progress_tick(uint64_t index, uint64_t total, uint64_t cells);

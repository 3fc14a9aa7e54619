// The store kernels of the memory test: no timing, no output.
#pragma once

#include <cstdint>

// Sweeps `array` (`size` bytes) `sweeps` times, storing at every word of
// `wsize` bytes its own address cut to the word's width. Only whole words
// are stored: a tail shorter than a word is left alone. Returns false, and
// stores nothing, when `wsize` is not 1, 2, 4 or 8.
bool sweep_array(void* array, uint64_t size, int32_t sweeps, int32_t wsize);

// True for the word sizes that have a kernel: 1, 2, 4 and 8.
bool valid_word_size(int32_t wsize);

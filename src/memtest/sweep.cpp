#include "memtest/sweep.h"

#include <cstddef>

namespace {

// Every store goes through a volatile pointer of the word's own type: the
// compiler must emit exactly one store of that width per word, in order, and
// may neither merge neighbours into wider or vector stores nor drop them
// because the array is freed unread. Unrolling by eight keeps the loop's
// compare and branch off the store port's critical path.
template <typename Word>
void sweep_words(void* array, uint64_t size, int32_t sweeps)
{
    volatile Word* const begin = static_cast<volatile Word*>(array);
    const uint64_t words = size / sizeof(Word);
    volatile Word* const unrolled_end = begin + (words & ~uint64_t{7});
    volatile Word* const end = begin + words;
    for (int32_t sweep = 0; sweep < sweeps; ++sweep) {
        volatile Word* word = begin;
        for (; word != unrolled_end; word += 8) {
            const uintptr_t address = reinterpret_cast<uintptr_t>(word);
            word[0] = static_cast<Word>(address);
            word[1] = static_cast<Word>(address + 1 * sizeof(Word));
            word[2] = static_cast<Word>(address + 2 * sizeof(Word));
            word[3] = static_cast<Word>(address + 3 * sizeof(Word));
            word[4] = static_cast<Word>(address + 4 * sizeof(Word));
            word[5] = static_cast<Word>(address + 5 * sizeof(Word));
            word[6] = static_cast<Word>(address + 6 * sizeof(Word));
            word[7] = static_cast<Word>(address + 7 * sizeof(Word));
        }
        for (; word != end; ++word)
            *word = static_cast<Word>(reinterpret_cast<uintptr_t>(word));
    }
}

struct SweepKernel {
    int32_t wsize;
    void (*sweep)(void* array, uint64_t size, int32_t sweeps);
};

constexpr SweepKernel SWEEP_KERNELS[] = {
    {1, sweep_words<uint8_t>},
    {2, sweep_words<uint16_t>},
    {4, sweep_words<uint32_t>},
    {8, sweep_words<uint64_t>},
};

const SweepKernel* find_kernel(int32_t wsize)
{
    for (const SweepKernel& kernel : SWEEP_KERNELS)
        if (kernel.wsize == wsize)
            return &kernel;
    return nullptr;
}

} // namespace

bool valid_word_size(int32_t wsize)
{
    return find_kernel(wsize) != nullptr;
}

bool sweep_array(void* array, uint64_t size, int32_t sweeps, int32_t wsize)
{
    const SweepKernel* kernel = find_kernel(wsize);
    if (kernel == nullptr)
        return false;
    // A size that reads as negative in 64 bits is no array to sweep.
    if (static_cast<int64_t>(size) > 0)
        kernel->sweep(array, size, sweeps);
    return true;
}

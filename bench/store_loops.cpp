// The project's store sweeps next to reference loops over the same bytes.
//
// For each word size and array: ours (sweep_array, one sweep per iteration),
// a plain exact-width volatile loop, the same unrolled by 8, memset (wide
// stores, for scale only) and, for the large array, non-temporal 16-byte
// stores as the memory's ceiling. The arrays are touched once before timing,
// so page faults stay out of every figure. A table of ours against the best
// exact-width reference closes the run.
//
//   store_loops [--large-mib N] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "memtest/sweep.h"

namespace {

constexpr uint64_t SMALL_BYTES = 262144;
uint64_t large_bytes = uint64_t{2} << 30;

unsigned char* arena(uint64_t bytes)
{
    static std::map<uint64_t, unsigned char*> arenas;
    unsigned char*& array = arenas[bytes];
    if (array == nullptr) {
        array = static_cast<unsigned char*>(aligned_alloc(4096, bytes));
        if (array == nullptr) {
            fprintf(stderr, "cannot allocate %llu bytes\n", static_cast<unsigned long long>(bytes));
            exit(1);
        }
        memset(array, 1, bytes);
    }
    return array;
}

template <typename Word>
void plain_loop(unsigned char* array, uint64_t bytes)
{
    volatile Word* const end = reinterpret_cast<volatile Word*>(array + bytes);
    for (volatile Word* word = reinterpret_cast<volatile Word*>(array); word != end; ++word)
        *word = static_cast<Word>(reinterpret_cast<uintptr_t>(word));
}

template <typename Word>
void unrolled_loop(unsigned char* array, uint64_t bytes)
{
    volatile Word* const end = reinterpret_cast<volatile Word*>(array + bytes);
    for (volatile Word* word = reinterpret_cast<volatile Word*>(array); word != end; word += 8) {
        const uintptr_t a = reinterpret_cast<uintptr_t>(word);
        word[0] = static_cast<Word>(a);
        word[1] = static_cast<Word>(a + 1 * sizeof(Word));
        word[2] = static_cast<Word>(a + 2 * sizeof(Word));
        word[3] = static_cast<Word>(a + 3 * sizeof(Word));
        word[4] = static_cast<Word>(a + 4 * sizeof(Word));
        word[5] = static_cast<Word>(a + 5 * sizeof(Word));
        word[6] = static_cast<Word>(a + 6 * sizeof(Word));
        word[7] = static_cast<Word>(a + 7 * sizeof(Word));
    }
}

void memset_loop(unsigned char* array, uint64_t bytes)
{
    memset(array, static_cast<int>(reinterpret_cast<uintptr_t>(array)), bytes);
    benchmark::ClobberMemory();
}

void non_temporal_loop(unsigned char* array, uint64_t bytes)
{
    const __m128i value = _mm_set1_epi64x(static_cast<long long>(reinterpret_cast<uintptr_t>(array)));
    for (__m128i* line = reinterpret_cast<__m128i*>(array); line != reinterpret_cast<__m128i*>(array + bytes); line += 4) {
        _mm_stream_si128(line, value);
        _mm_stream_si128(line + 1, value);
        _mm_stream_si128(line + 2, value);
        _mm_stream_si128(line + 3, value);
    }
    _mm_sfence();
}

template <typename Word>
void ours(unsigned char* array, uint64_t bytes)
{
    sweep_array(array, bytes, 1, static_cast<int32_t>(sizeof(Word)));
}

using Kernel = void (*)(unsigned char*, uint64_t);

void run_kernel(benchmark::State& state, Kernel kernel, bool large)
{
    const uint64_t bytes = large ? large_bytes : SMALL_BYTES;
    unsigned char* array = arena(bytes);
    for (auto _ : state) {
        kernel(array, bytes);
        benchmark::DoNotOptimize(array);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

struct Entry {
    const char* name;
    int wsize;  // 0: not an exact-width reference
    Kernel kernel;
    bool is_ours;
    bool large_only;
};

const Entry ENTRIES[] = {
    {"ours", 1, ours<uint8_t>, true, false},      {"plain", 1, plain_loop<uint8_t>, false, false},
    {"unrolled8", 1, unrolled_loop<uint8_t>, false, false},
    {"ours", 2, ours<uint16_t>, true, false},     {"plain", 2, plain_loop<uint16_t>, false, false},
    {"unrolled8", 2, unrolled_loop<uint16_t>, false, false},
    {"ours", 4, ours<uint32_t>, true, false},     {"plain", 4, plain_loop<uint32_t>, false, false},
    {"unrolled8", 4, unrolled_loop<uint32_t>, false, false},
    {"ours", 8, ours<uint64_t>, true, false},     {"plain", 8, plain_loop<uint64_t>, false, false},
    {"unrolled8", 8, unrolled_loop<uint64_t>, false, false},
    {"memset", 0, memset_loop, false, false},     {"nontemporal16", 0, non_temporal_loop, false, true},
};

// Keeps each run's bytes per second for the closing table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        // With repetitions the median stands for the benchmark.
        for (const Run& run : runs)
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name == "median")
                rates[run.run_name.function_name] = run.counters.at("bytes_per_second");
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

std::string name_of(const Entry& entry, bool large)
{
    std::string name = std::string(large ? "large/" : "small/") + entry.name;
    if (entry.wsize != 0)
        name += "/" + std::to_string(entry.wsize);
    return name;
}

double rate_of(const std::map<std::string, double>& rates, const std::string& name)
{
    const auto found = rates.find(name);
    return found == rates.end() ? 0.0 : found->second;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--large-mib") == 0 && i + 1 < argc)
            large_bytes = strtoull(argv[++i], nullptr, 10) << 20;
        else
            rest.push_back(argv[i]);
    }
    large_bytes = large_bytes / 4096 * 4096;
    int rest_count = static_cast<int>(rest.size());
    for (bool large : {false, true})
        for (const Entry& entry : ENTRIES)
            if (large || !entry.large_only)
                benchmark::RegisterBenchmark(name_of(entry, large).c_str(),
                                             [entry, large](benchmark::State& state) {
                                                 run_kernel(state, entry.kernel, large);
                                             })
                    ->UseRealTime();
    benchmark::Initialize(&rest_count, rest.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n%-6s %5s %14s %14s %14s %7s\n", "array", "wsize", "ours GiB/s", "plain GiB/s",
           "unroll8 GiB/s", "ratio");
    for (bool large : {false, true})
        for (int wsize : {1, 2, 4, 8}) {
            const std::string suffix = "/" + std::to_string(wsize);
            const std::string prefix = large ? "large/" : "small/";
            const double mine = rate_of(reporter.rates, prefix + "ours" + suffix);
            const double plain = rate_of(reporter.rates, prefix + "plain" + suffix);
            const double unrolled = rate_of(reporter.rates, prefix + "unrolled8" + suffix);
            const double best = plain > unrolled ? plain : unrolled;
            if (mine > 0 && best > 0)
                printf("%-6s %5d %14.2f %14.2f %14.2f %7.3f\n", large ? "large" : "small", wsize,
                       mine / 0x1p30, plain / 0x1p30, unrolled / 0x1p30, mine / best);
        }
    for (bool large : {false, true})
        for (const char* name : {"memset", "nontemporal16"}) {
            const double rate = rate_of(reporter.rates, std::string(large ? "large/" : "small/") + name);
            if (rate > 0)
                printf("%-6s %-13s %7.2f GiB/s\n", large ? "large" : "small", name, rate / 0x1p30);
        }
    benchmark::Shutdown();
    return 0;
}

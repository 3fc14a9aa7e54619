// The project's store sweeps next to reference loops over the same bytes.
//
// For each word size and array: ours (sweep_array, one sweep per iteration),
// a plain exact-width volatile loop, the same unrolled by 8, memset (wide
// stores, for scale only) and, for the large array, non-temporal 16-byte
// stores as the memory's ceiling. The arrays are touched once before timing,
// so page faults stay out of every figure. A table of ours against the best
// exact-width reference closes the run.
//
// Then the same kernels run in alternation, round by round, for ratios that a
// drifting machine cannot skew.
//
//   store_loops [--large-mib N] [--paired-rounds R] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
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

double seconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Bytes per second of `repeats` back-to-back calls of `kernel`.
double sample_rate(Kernel kernel, unsigned char* array, uint64_t bytes, int repeats)
{
    const double start = seconds_now();
    for (int i = 0; i < repeats; ++i) {
        kernel(array, bytes);
        benchmark::DoNotOptimize(array);
    }
    return static_cast<double>(bytes) * repeats / (seconds_now() - start);
}

double median_of(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Ratios taken pair by pair: in each round ours and both references run back
// to back, in a rotating order, and the round's ratios are ours over each
// reference. The medians of those ratios hold on a shared, drifting machine
// where figures taken minutes apart do not.
void paired_ratios(int rounds)
{
    printf("\npaired ratios, median of %d rounds (min-max of ours/best reference)\n", rounds);
    printf("%-6s %5s %12s %12s %22s\n", "array", "wsize", "ours/plain", "ours/unroll8", "ours/best (min-max)");
    for (bool large : {false, true})
        for (int wsize : {1, 2, 4, 8}) {
            Kernel kernels[3] = {};
            for (const Entry& entry : ENTRIES)
                if (entry.wsize == wsize)
                    kernels[entry.is_ours ? 0 : (strcmp(entry.name, "plain") == 0 ? 1 : 2)] = entry.kernel;
            const uint64_t bytes = large ? large_bytes : SMALL_BYTES;
            unsigned char* array = arena(bytes);
            // About 20 ms a sample for the small array; one sweep for the large one.
            const int repeats = large ? 1 : static_cast<int>(64 * (1 << 20) / bytes) * wsize;
            std::vector<double> over_plain, over_unrolled, over_best;
            for (int round = 0; round < rounds; ++round) {
                double rate[3];
                for (int k = 0; k < 3; ++k) {
                    const int which = (k + round) % 3;
                    rate[which] = sample_rate(kernels[which], array, bytes, repeats);
                }
                over_plain.push_back(rate[0] / rate[1]);
                over_unrolled.push_back(rate[0] / rate[2]);
                over_best.push_back(rate[0] / std::max(rate[1], rate[2]));
            }
            printf("%-6s %5d %12.3f %12.3f %10.3f (%.3f-%.3f)\n", large ? "large" : "small", wsize,
                   median_of(over_plain), median_of(over_unrolled), median_of(over_best),
                   *std::min_element(over_best.begin(), over_best.end()),
                   *std::max_element(over_best.begin(), over_best.end()));
            fflush(stdout);
        }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    int paired = 21;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--large-mib") == 0 && i + 1 < argc)
            large_bytes = strtoull(argv[++i], nullptr, 10) << 20;
        else if (strcmp(argv[i], "--paired-rounds") == 0 && i + 1 < argc)
            paired = atoi(argv[++i]);
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
    if (paired > 0)
        paired_ratios(paired);
    benchmark::Shutdown();
    return 0;
}

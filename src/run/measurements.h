// The twelve measurements of a trial, in the order they run: one table that
// the trial loop, the averages, the run record and its reader all follow.
#pragma once

#include <cstdint>

#include "run/run_parameters.h"

constexpr uint64_t SMALL_ARRAY_SIZE = 262144;
constexpr int32_t SMALL_ARRAY_PASSES = 65536;
constexpr int32_t LARGE_ARRAY_PASSES = 8;
// A large-array measurement whose first sweep took more than this share of
// its time measured mostly the bringing in of fresh pages.
constexpr double FIRST_TOUCH_SHARE = 0.5;
// The unit of every transfer of the disk passes.
constexpr uint64_t BLOCK_SIZE = 4194304;
// The block sizes --block-size may choose, and the most jobs --jobs may run.
constexpr uint64_t BLOCK_SIZE_MIN = 4096;
constexpr uint64_t BLOCK_SIZE_MAX = 67108864;
constexpr int32_t JOBS_MAX = 256;

enum class MeasurementKind { SmallArray, LargeArray, DiskPass };
enum class DiskPassKind { None, Write, Read, Rewrite, Seek };

struct Measurement {
    const char* id;            // stable name in the run record
    const char* label;         // label of its average line
    const char* group_header;  // printed before it in every trial, or null
    MeasurementKind kind;
    int32_t wsize;             // word size of an array fill
    DiskPassKind pass;         // which pass of the scratch file
};

constexpr int MEASUREMENT_COUNT = 12;
extern const Measurement MEASUREMENTS[MEASUREMENT_COUNT];

// What one run of a measurement moves: `sweeps` times `size` bytes, in units of `block`.
struct MeasuredObject {
    uint64_t size;
    int32_t sweeps;
    uint64_t block;
};

MeasuredObject measured_object(const Measurement& m, const RunParameters& parameters);
// PHASE_MEMORY or PHASE_DISK.
unsigned measurement_phase(const Measurement& m);
// The index of the measurement called `id`, or -1.
int measurement_index(const char* id);

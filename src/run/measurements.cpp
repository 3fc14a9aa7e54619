#include "run/measurements.h"

#include <cstring>

const Measurement MEASUREMENTS[MEASUREMENT_COUNT] = {
    {"small-1", "array", "Testing small array, high cache hit-ratio...", MeasurementKind::SmallArray, 1, DiskPassKind::None},
    {"small-2", "array", nullptr, MeasurementKind::SmallArray, 2, DiskPassKind::None},
    {"small-4", "array", nullptr, MeasurementKind::SmallArray, 4, DiskPassKind::None},
    {"small-8", "array", nullptr, MeasurementKind::SmallArray, 8, DiskPassKind::None},
    {"large-1", "array", "Testing large array, low cache hit-ratio...", MeasurementKind::LargeArray, 1, DiskPassKind::None},
    {"large-2", "array", nullptr, MeasurementKind::LargeArray, 2, DiskPassKind::None},
    {"large-4", "array", nullptr, MeasurementKind::LargeArray, 4, DiskPassKind::None},
    {"large-8", "array", nullptr, MeasurementKind::LargeArray, 8, DiskPassKind::None},
    {"write", "write", nullptr, MeasurementKind::DiskPass, 0, DiskPassKind::Write},
    {"read", "read", nullptr, MeasurementKind::DiskPass, 0, DiskPassKind::Read},
    // The same routine as the write, over the file the first pass left.
    {"rewrite", "rewrite", nullptr, MeasurementKind::DiskPass, 0, DiskPassKind::Rewrite},
    {"seek", "seek", nullptr, MeasurementKind::DiskPass, 0, DiskPassKind::Seek},
};

MeasuredObject measured_object(const Measurement& m, const RunParameters& parameters)
{
    switch (m.kind) {
    case MeasurementKind::SmallArray:
        // Each worker sweeps a small array of its own.
        return {SMALL_ARRAY_SIZE * static_cast<uint64_t>(parameters.cores > 0 ? parameters.cores : 1),
                SMALL_ARRAY_PASSES, static_cast<uint64_t>(m.wsize)};
    case MeasurementKind::LargeArray:
        return {parameters.large_array_size, LARGE_ARRAY_PASSES, static_cast<uint64_t>(m.wsize)};
    case MeasurementKind::DiskPass:
        break;
    }
    return {parameters.file_size, 1, parameters.block_size};
}

unsigned measurement_phase(const Measurement& m)
{
    return m.kind == MeasurementKind::DiskPass ? PHASE_DISK : PHASE_MEMORY;
}

int measurement_index(const char* id)
{
    for (int index = 0; index < MEASUREMENT_COUNT; ++index)
        if (strcmp(MEASUREMENTS[index].id, id) == 0)
            return index;
    return -1;
}

// The record of one run: what was measured, where, and how fast. The
// benchmark writes it as JSON; the compare tool reads it back, strictly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measure/witness.h"

// Written by the benchmark and checked by the reader: a reader meets only
// records whose layout it knows.
// Version 2 added each trial measurement's microseconds and witness;
// version 3 whether the run was cold, and the witness's resident bytes of a
// cold read; version 4 how wide the run was (its cores and jobs) and each
// worker's or job's time. The reader takes every version from 1.
constexpr int64_t RECORD_SCHEMA_VERSION = 4;

struct MeasurementRecord {
    std::string id;     // one of the ids of the table of measurements
    std::string label;
    uint64_t size_bytes;
    int64_t sweeps;
    uint64_t block_bytes;
    uint64_t ms;
    double mib_per_s;   // nan where no rate can be given (null in JSON)
    // Trial measurements of version 2: the same interval in microseconds,
    // and what else the machine did meanwhile. Absent from averages.
    bool has_us;
    bool has_witness;
    uint64_t us;
    Witness witness;
    // The large array's trial measurements: each sweep's time, the first
    // paying for the fresh pages; empty elsewhere and in older records.
    std::vector<int64_t> sweep_us;
    // Version 4, a measurement of several workers (memory) or jobs (disk):
    // each one's time from the common start to its own end; empty for one.
    std::vector<int64_t> worker_us;
};

struct TrialRecord {
    int64_t trial;  // from 1
    std::vector<MeasurementRecord> measurements;
};

struct AverageRecord {
    MeasurementRecord average;
    std::string line;  // the average line as printed
};

// The spread of one measurement's rates over the trials; nan where undefined.
struct StatisticsRecord {
    std::string id;
    double min_mib_per_s;
    double median_mib_per_s;
    double max_mib_per_s;
    double stddev_mib_per_s;
};

struct MachineRecord {
    std::string host_name;
    std::string system;
    std::string release;
    std::string architecture;
    std::string cpu_model;
    int64_t logical_cpus;
    uint64_t ram_bytes;
    std::string directory;
    std::string fs_type;
    std::string fs_device;
    std::string fs_options;
    std::string fs_properties;  // ZFS data set properties, empty when none (null in JSON; version 2)
};

struct ParametersRecord {
    int64_t trials;  // asked for; the record holds fewer when it is incomplete
    uint64_t file_size_bytes;
    uint64_t block_bytes;
    uint64_t small_array_bytes;
    int64_t small_array_sweeps;
    uint64_t large_array_bytes;
    int64_t large_array_sweeps;
    bool direct_io;
    bool cold;                        // false before version 3
    int64_t cores;                    // memory workers at once (1 before version 4)
    int64_t jobs;                     // disk streams at once (1 before version 4)
    std::vector<std::string> phases;  // "memory", "disk"
};

struct RunRecord {
    int64_t schema_version;
    std::string program;
    std::string version;
    std::string compiler;
    std::string label;       // empty when none was given (null in JSON)
    std::string started_at;  // UTC, ISO 8601
    std::string ended_at;
    bool complete;           // false when an interrupt ended the run early
    uint64_t seed;           // of random(): the write passes' bytes and the shuffles
    std::vector<std::string> command_line;
    MachineRecord machine;
    ParametersRecord parameters;
    std::vector<TrialRecord> trials;
    std::vector<AverageRecord> averages;
    std::vector<StatisticsRecord> statistics;
};

// The record as a JSON document, keys in a fixed order, ending in a newline.
// Bytes that are not UTF-8 (host names, paths) become U+FFFD.
std::string record_to_json(const RunRecord& record);
// Reads a document back and checks every field: presence, type, the ids of
// the measurements, rates that are finite and not negative (or null), the
// schema version. False with `*error` naming the field and the fault.
bool record_from_json(const std::string& text, RunRecord* record, std::string* error);
// The largest record read: ten thousand trials fit many times over.
constexpr size_t RECORD_MAX_BYTES = size_t{64} << 20;
// record_from_json of a file (a FIFO without a writer reads as empty, any
// input stops at RECORD_MAX_BYTES); `*error` does not name the file. With
// `identity`, the file's device and inode as it was read.
bool read_record_file(const char* path, RunRecord* record, std::string* error, uint64_t identity[2] = nullptr);

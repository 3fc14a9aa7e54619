// The witness of a measurement: what else the machine did while it ran,
// read just outside its two clock readings, and the verdict on whether the
// figure can be trusted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure/timing.h"
#include "platform/platform.h"

// What a measurement is, for judging its witness.
enum class WitnessKind { Memory, Write, Read };

// Reasons a figure is not to be trusted, as bits of Witness::disturbed.
constexpr unsigned DISTURBED_CPU_TAKEN = 1u << 0;
constexpr unsigned DISTURBED_STEAL = 1u << 1;
constexpr unsigned DISTURBED_OTHER_IO = 1u << 2;
constexpr unsigned DISTURBED_PAGE_CACHE = 1u << 3;
constexpr unsigned DISTURBED_SWAP = 1u << 4;
constexpr unsigned DISTURBED_STALL = 1u << 5;
// Their names in the record, in the order of the bits.
extern const char* const DISTURBED_NAMES[6];
// The names of the bits set in `disturbed`, in the order of the bits.
std::vector<std::string> disturbed_names(unsigned disturbed);

// When a figure is marked disturbed: one table, chosen from measurements on
// an idle and a loaded machine (the benchmark document has them) and
// written in the manual page.
struct WitnessThresholds {
    double cpu_share_min;              // a memory sweep's CPU time below this share of its time
    int64_t switches_per_s_max;        // involuntary switches per second beyond an idle machine's...
    int64_t switches_min;              // ...and at least this many (one switch in a short sweep is no trend)
    double steal_share_max;            // CPU time a hypervisor took, as a share of one core's time
    uint64_t other_io_min_bytes;       // device bytes beyond the measurement's own, at least this...
    double other_io_min_share;         // ...and this share of its own bytes
    double page_cache_device_share;    // a read pass that got less than this share from the device
    double page_cache_resident_share;  // a cold read that began with more than this share cached
    uint64_t swap_min_bytes;           // swapping of at least this much
    int64_t stall_factor;              // a block this many times the pass's median...
    int64_t stall_min_us;              // ...and at least this long
};

constexpr WitnessThresholds WITNESS_THRESHOLDS = {0.90, 50, 5, 0.05, 64 << 20, 0.02, 0.50, 0.02, 1 << 20, 20, 100000};
// Steal is counted in clock ticks (10 ms on Linux): a share is believed only
// when it is made of at least this many.
constexpr int64_t STEAL_TICKS_MIN = 3;

// The single 4 MiB transfers of a disk pass.
struct BlockLatency {
    int64_t p50_us;
    int64_t p99_us;
    int64_t max_us;
};

struct Witness {
    int64_t cpu_us;                 // user + system CPU time of this process
    int64_t involuntary_switches;
    int64_t minor_faults;
    int64_t major_faults;
    int64_t steal_us;               // taken by a hypervisor, all CPUs (where steal_known)
    int64_t others_runnable[2];     // other runnable threads at the start and the end; -1 unknown
    uint64_t device_read_bytes;     // where device_known
    uint64_t device_write_bytes;
    uint64_t swap_bytes;            // where swap_known
    int64_t flush_us;               // where has_flush
    uint64_t resident_bytes;        // of the file in the page cache as the pass began (has_resident)
    BlockLatency block_us;          // where has_blocks
    unsigned disturbed;             // DISTURBED_* bits
    int32_t drop_error;             // cold reads: errno of a failed drop of the cached pages, else 0
    int32_t count_error;            // cold reads: errno of a failed count of them after the drop, else 0
    // Together, so that a record's thousands of witnesses waste no padding.
    bool steal_known;
    bool device_known;              // false where no block device holds the directory
    bool swap_known;
    bool has_flush;                 // write passes: the fsync after the interval
    bool has_resident;              // read passes of a cold run
    bool has_blocks;                // disk passes
};

// The sweeps of an array fill timed one by one, at most.
constexpr int SWEEP_TIMES_MAX = 8;

// One measurement: the interval, and its witness.
struct Measured {
    int64_t ms;
    int64_t us;
    Witness witness;
    // An array fill of at most SWEEP_TIMES_MAX sweeps: each sweep's time,
    // from one clock reading between two sweeps (0 sweeps timed otherwise).
    int32_t sweeps_timed;
    int64_t sweep_us[SWEEP_TIMES_MAX];
    // Several workers or jobs: each one's time from the common start to
    // its own end (empty for one).
    std::vector<int64_t> worker_us;
};

// The counters a witness is the difference of.
struct WitnessSample {
    int64_t cpu_us;
    int64_t involuntary_switches;
    int64_t minor_faults;
    int64_t major_faults;
    MachineCounters machine;
    bool device_known;
    uint64_t device_read_bytes;
    uint64_t device_write_bytes;
};

// The measurement's own threads that run at once (1 by default): a memory
// sweep of N workers should have N cores' CPU time, and N threads' switches.
void witness_set_threads(int32_t threads);

// Chooses the device whose transfers the witnesses count: the one holding
// `path`.
void witness_watch(const char* path);
// For the machine description: the device's name, or that there is none and why.
const std::string& witness_device_description();

// Reads the counters (getrusage, the machine's counters, the watched
// device's bytes). Called just before the first and just after the second
// clock reading, never between them; getrusage sits next to the clock, so
// that the witness's own reads of the system's files are not charged to the
// measurement's CPU time.
enum class SampleAt { Start, End };
WitnessSample witness_sample(SampleAt at);
// The witness of what happened between two samples; not yet judged.
Witness witness_between(const WitnessSample& before, const WitnessSample& after);

// The start and end of a measured interval, with the samples around them.
struct Interval {
    WitnessSample before;
    TimeReading start;
};
Interval interval_begin();
// Ends the interval: the second clock reading, then the sample.
Measured interval_end(const Interval& interval);
// Reads the watched device again once a write pass's data have been flushed
// after its interval, so that the witness holds the device's bytes from the
// interval's start to the end of the flush: the pass's own bytes are then
// all on the device, and whatever else was written meanwhile shows.
void witness_extend_device(Measured* measured, const Interval& interval);

// Judges the witness of a measurement of `kind` that moved `bytes` in
// `us` microseconds (what the device may be expected to move), sets its
// `disturbed` bits and prints, for a disturbed one, the note line that
// follows its result line: two spaces, "note:" and the reasons in words.
void witness_judge(Measured* measured, WitnessKind kind, uint64_t bytes);
// The words of that note, empty when nothing disturbed the measurement.
std::string witness_note(const Measured& measured, WitnessKind kind, uint64_t bytes);

// p50, p99 (each by nearest rank: the smallest time that at least that
// share of the blocks did not exceed) and max of `count` block times,
// reordering them.
BlockLatency block_latency(int64_t* block_us, uint64_t count);

#include "measure/witness.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

#include "measure/result.h"

const char* const DISTURBED_NAMES[6] = {"cpu-taken", "steal", "other-io", "page-cache", "swap", "stall"};

std::vector<std::string> disturbed_names(unsigned disturbed)
{
    std::vector<std::string> names;
    for (size_t bit = 0; bit < sizeof DISTURBED_NAMES / sizeof DISTURBED_NAMES[0]; ++bit)
        if ((disturbed & (1u << bit)) != 0)
            names.push_back(DISTURBED_NAMES[bit]);
    return names;
}

namespace {

// When a figure is marked disturbed: one table, chosen from measurements on
// an idle and a loaded machine (the benchmark document has them) and
// written in the manual page.
struct Thresholds {
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

constexpr Thresholds THRESHOLDS = {0.90, 50, 5, 0.05, 64 << 20, 0.02, 0.50, 0.02, 1 << 20, 20, 100000};

// The device's name for the notes, or empty; and what the machine
// description says of it.
std::string watched_device;
std::string device_description = "none (not chosen)";

int64_t microseconds(const timeval& time)
{
    return static_cast<int64_t>(time.tv_sec) * 1000000 + static_cast<int64_t>(time.tv_usec);
}

uint64_t difference(uint64_t later, uint64_t earlier)
{
    // Counters that went back (a device removed and added) count nothing.
    return later >= earlier ? later - earlier : 0;
}

int64_t others(int64_t runnable)
{
    return runnable < 0 ? -1 : std::max<int64_t>(runnable - 1, 0);
}

int64_t logical_cpus()
{
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? count : 1;
}

// Device bytes the measurement explains: a write pass writes its file, a
// read pass reads it, a memory sweep moves nothing.
uint64_t own_read(WitnessKind kind, uint64_t bytes)
{
    return kind == WitnessKind::Read ? bytes : 0;
}

uint64_t own_write(WitnessKind kind, uint64_t bytes)
{
    return kind == WitnessKind::Write ? bytes : 0;
}

uint64_t other_io_bytes(const Witness& w, WitnessKind kind, uint64_t bytes)
{
    return difference(w.device_read_bytes, own_read(kind, bytes)) +
           difference(w.device_write_bytes, own_write(kind, bytes));
}

} // namespace

void witness_watch(const char* path)
{
    std::string name;
    if (platform_watch_device(path, &name)) {
        watched_device = name;
        device_description = name;
    } else {
        watched_device.clear();
        device_description = "none (" + name + "): other I/O and reads from the cache cannot be seen";
    }
}

const std::string& witness_device_description()
{
    return device_description;
}

WitnessSample witness_sample()
{
    WitnessSample sample{};
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        sample.cpu_us = microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
        sample.involuntary_switches = usage.ru_nivcsw;
        sample.minor_faults = usage.ru_minflt;
        sample.major_faults = usage.ru_majflt;
    }
    platform_machine_counters(&sample.machine);
    sample.device_known = platform_device_bytes(&sample.device_read_bytes, &sample.device_write_bytes);
    return sample;
}

Witness witness_between(const WitnessSample& before, const WitnessSample& after)
{
    Witness w{};
    w.cpu_us = after.cpu_us - before.cpu_us;
    w.involuntary_switches = after.involuntary_switches - before.involuntary_switches;
    w.minor_faults = after.minor_faults - before.minor_faults;
    w.major_faults = after.major_faults - before.major_faults;
    w.steal_known = before.machine.steal_known && after.machine.steal_known;
    w.steal_us = w.steal_known ? static_cast<int64_t>(difference(after.machine.steal_us, before.machine.steal_us)) : 0;
    w.others_runnable[0] = others(before.machine.runnable);
    w.others_runnable[1] = others(after.machine.runnable);
    w.device_known = before.device_known && after.device_known;
    if (w.device_known) {
        w.device_read_bytes = difference(after.device_read_bytes, before.device_read_bytes);
        w.device_write_bytes = difference(after.device_write_bytes, before.device_write_bytes);
    }
    w.swap_known = before.machine.swap_known && after.machine.swap_known;
    w.swap_bytes = w.swap_known ? difference(after.machine.swap_bytes, before.machine.swap_bytes) : 0;
    return w;
}

Interval interval_begin()
{
    Interval interval;
    interval.before = witness_sample();
    interval.start = time_reading();
    return interval;
}

Measured interval_end(const Interval& interval)
{
    const TimeReading stop = time_reading();
    const WitnessSample after = witness_sample();
    Measured measured{};
    measured.us = elapsed_us(stop, interval.start);
    measured.ms = elapsed_ms(stop, interval.start);
    measured.witness = witness_between(interval.before, after);
    return measured;
}

BlockLatency block_latency(int64_t* block_us, uint64_t count)
{
    if (count == 0)
        return BlockLatency{0, 0, 0};
    const auto at = [&](uint64_t rank) {
        std::nth_element(block_us, block_us + rank, block_us + count);
        return block_us[rank];
    };
    const int64_t max = *std::max_element(block_us, block_us + count);
    const int64_t p99 = at(count * 99 / 100);
    const int64_t p50 = at(count / 2);
    return BlockLatency{p50, p99, max};
}

namespace {

unsigned judge(const Measured& m, WitnessKind kind, uint64_t bytes)
{
    const Witness& w = m.witness;
    const Thresholds& t = THRESHOLDS;
    unsigned reasons = 0;
    const double seconds = static_cast<double>(m.us) / 1e6;
    const int64_t busiest = std::max(w.others_runnable[0], w.others_runnable[1]);
    // A sweep runs on the CPU all along: less CPU time than elapsed time
    // means the core went to others. A pass waits on the disk, so only
    // competition seen directly counts there.
    if (kind == WitnessKind::Memory && m.us > 0 && static_cast<double>(w.cpu_us) < t.cpu_share_min * m.us)
        reasons |= DISTURBED_CPU_TAKEN;
    if (busiest >= 1 && w.involuntary_switches >= t.switches_min &&
        static_cast<double>(w.involuntary_switches) > t.switches_per_s_max * seconds)
        reasons |= DISTURBED_CPU_TAKEN;
    if (w.steal_known && m.us > 0 &&
        static_cast<double>(w.steal_us) / static_cast<double>(logical_cpus()) > t.steal_share_max * m.us)
        reasons |= DISTURBED_STEAL;
    if (w.device_known) {
        const uint64_t other = other_io_bytes(w, kind, bytes);
        if (other >= t.other_io_min_bytes && static_cast<double>(other) >= t.other_io_min_share * bytes)
            reasons |= DISTURBED_OTHER_IO;
        if (kind == WitnessKind::Read && bytes > 0 &&
            static_cast<double>(w.device_read_bytes) < t.page_cache_device_share * bytes)
            reasons |= DISTURBED_PAGE_CACHE;
    }
    // A cold read whose file stayed in memory after the drop (a file system
    // that ignores the advice) reads the cache whatever the device says.
    if (kind == WitnessKind::Read && w.has_resident && bytes > 0 &&
        static_cast<double>(w.resident_bytes) > t.page_cache_resident_share * bytes)
        reasons |= DISTURBED_PAGE_CACHE;
    if (w.swap_known && w.swap_bytes >= t.swap_min_bytes)
        reasons |= DISTURBED_SWAP;
    if (w.has_blocks && w.block_us.max_us >= t.stall_min_us && w.block_us.max_us > t.stall_factor * w.block_us.p50_us)
        reasons |= DISTURBED_STALL;
    return reasons;
}

std::string size_text(uint64_t bytes)
{
    char label[SIZE_LABEL_LEN];
    return format_size(bytes, label);
}

std::string percent(double share)
{
    char text[16];
    snprintf(text, sizeof text, "%.0f%%", 100.0 * share);
    return text;
}

} // namespace

std::string witness_note(const Measured& m, WitnessKind kind, uint64_t bytes)
{
    const Witness& w = m.witness;
    std::string note;
    const auto add = [&note](const std::string& words) { note += (note.empty() ? "" : "; ") + words; };
    const double elapsed = m.us > 0 ? static_cast<double>(m.us) : 1.0;
    if ((w.disturbed & DISTURBED_CPU_TAKEN) != 0) {
        const double share = static_cast<double>(w.cpu_us) / elapsed;
        if (kind == WitnessKind::Memory && share < THRESHOLDS.cpu_share_min)
            add("the core ran " + percent(share) + " of the time");
        else
            add(std::to_string(std::max(w.others_runnable[0], w.others_runnable[1])) +
                " other threads ready to run, " + std::to_string(w.involuntary_switches) + " switches forced");
    }
    if ((w.disturbed & DISTURBED_STEAL) != 0)
        add(percent(static_cast<double>(w.steal_us) / static_cast<double>(logical_cpus()) / elapsed) +
            " taken by the hypervisor");
    if ((w.disturbed & DISTURBED_OTHER_IO) != 0)
        add(size_text(other_io_bytes(w, kind, bytes)) + " of other I/O on " + watched_device);
    const bool stayed = w.has_resident && static_cast<double>(w.resident_bytes) >
                                             THRESHOLDS.page_cache_resident_share * static_cast<double>(bytes);
    if ((w.disturbed & DISTURBED_PAGE_CACHE) != 0 && stayed)
        add(size_text(w.resident_bytes) + " of " + size_text(bytes) +
            " stayed in the page cache after the drop: the figure includes the cache");
    else if ((w.disturbed & DISTURBED_PAGE_CACHE) != 0)
        add("read from the page cache, not the disk (" + size_text(w.device_read_bytes) + " of " +
            size_text(bytes) + " from " + watched_device + ")");
    if ((w.disturbed & DISTURBED_SWAP) != 0)
        add(size_text(w.swap_bytes) + " swapped in or out");
    if ((w.disturbed & DISTURBED_STALL) != 0) {
        char text[96];
        snprintf(text, sizeof text, "a block took %.1f ms, the median %.1f ms",
                 static_cast<double>(w.block_us.max_us) / 1000.0, static_cast<double>(w.block_us.p50_us) / 1000.0);
        add(text);
    }
    return note;
}

void witness_judge(Measured* measured, WitnessKind kind, uint64_t bytes)
{
    measured->witness.disturbed = judge(*measured, kind, bytes);
    const std::string note = witness_note(*measured, kind, bytes);
    if (!note.empty())
        printf("  note: %s\n", note.c_str());
}

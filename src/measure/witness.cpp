#include "measure/witness.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
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

// The measurement's own threads that run at once (its workers or jobs).
int32_t own_threads = 1;

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

void witness_set_threads(int32_t threads)
{
    own_threads = threads > 0 ? threads : 1;
}

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

namespace {

void sample_usage(WitnessSample* sample)
{
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        sample->cpu_us = microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
        sample->involuntary_switches = usage.ru_nivcsw;
        sample->minor_faults = usage.ru_minflt;
        sample->major_faults = usage.ru_majflt;
    }
}

void sample_machine(WitnessSample* sample)
{
    platform_machine_counters(&sample->machine);
    sample->device_known = platform_device_bytes(&sample->device_read_bytes, &sample->device_write_bytes);
}

} // namespace

WitnessSample witness_sample(SampleAt at)
{
    WitnessSample sample{};
    if (at == SampleAt::Start) {
        sample_machine(&sample);
        sample_usage(&sample);
    } else {
        sample_usage(&sample);
        sample_machine(&sample);
    }
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
    interval.before = witness_sample(SampleAt::Start);
    interval.start = time_reading();
    return interval;
}

Measured interval_end(const Interval& interval)
{
    const TimeReading stop = time_reading();
    const WitnessSample after = witness_sample(SampleAt::End);
    Measured measured{};
    measured.us = elapsed_us(stop, interval.start);
    measured.ms = elapsed_ms(stop, interval.start);
    measured.witness = witness_between(interval.before, after);
    return measured;
}

void witness_extend_device(Measured* measured, const Interval& interval)
{
    Witness& w = measured->witness;
    uint64_t read_bytes = 0;
    uint64_t written_bytes = 0;
    if (!w.device_known || !platform_device_bytes(&read_bytes, &written_bytes))
        return;
    w.device_read_bytes = difference(read_bytes, interval.before.device_read_bytes);
    w.device_write_bytes = difference(written_bytes, interval.before.device_write_bytes);
}

BlockLatency block_latency(int64_t* block_us, uint64_t count)
{
    if (count == 0)
        return BlockLatency{0, 0, 0};
    // Nearest rank: the ceil(p * count)-th smallest, counted from 1.
    const auto at_percent = [&](uint64_t p) {
        const uint64_t rank = count / 100 * p + (count % 100 * p + 99) / 100;
        const uint64_t index = rank > 0 ? rank - 1 : 0;
        std::nth_element(block_us, block_us + index, block_us + count);
        return block_us[index];
    };
    const int64_t max = *std::max_element(block_us, block_us + count);
    const int64_t p99 = at_percent(99);
    const int64_t p50 = at_percent(50);
    return BlockLatency{p50, p99, max};
}

namespace {

// What a rule looks at: the measurement, what it is and what it moved.
struct Judged {
    const Measured& m;
    const Witness& w;
    WitnessKind kind;
    uint64_t bytes;
    double elapsed_us;  // at least 1, for shares
};

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

int64_t busiest(const Witness& w)
{
    return std::max(w.others_runnable[0], w.others_runnable[1]);
}

double steal_share(const Judged& j)
{
    return static_cast<double>(j.w.steal_us) / static_cast<double>(logical_cpus()) / j.elapsed_us;
}

// The clock tick in which the system counts steal: a share made of fewer
// ticks than STEAL_TICKS_MIN is the counter's resolution, not a hypervisor.
int64_t steal_tick_us()
{
    static const int64_t tick = platform_steal_tick_us();
    return tick;
}

bool resident_stayed(const Judged& j)
{
    return j.w.has_resident && static_cast<double>(j.w.resident_bytes) >
                                   WITNESS_THRESHOLDS.page_cache_resident_share * static_cast<double>(j.bytes);
}

// A sweep runs on the CPU all along: less CPU time than elapsed time means
// the core went to others. A pass waits on the disk, so only competition
// seen directly counts there.
bool core_share_low(const Judged& j)
{
    return j.kind == WitnessKind::Memory && j.m.us > 0 &&
           static_cast<double>(j.w.cpu_us) <
               WITNESS_THRESHOLDS.cpu_share_min * static_cast<double>(own_threads) * static_cast<double>(j.m.us);
}

std::string core_share_words(const Judged& j)
{
    const double share = static_cast<double>(j.w.cpu_us) / j.elapsed_us / own_threads;
    if (own_threads == 1)
        return "the core ran " + percent(share) + " of the time";
    return "the " + std::to_string(own_threads) + " cores ran " + percent(share) + " of the time";
}

bool switches_forced(const Judged& j)
{
    return busiest(j.w) >= 1 && j.w.involuntary_switches >= WITNESS_THRESHOLDS.switches_min &&
           static_cast<double>(j.w.involuntary_switches) >
               static_cast<double>(WITNESS_THRESHOLDS.switches_per_s_max) * own_threads *
                   static_cast<double>(j.m.us) / 1e6;
}

std::string switches_words(const Judged& j)
{
    return std::to_string(busiest(j.w)) + " other threads ready to run, " + std::to_string(j.w.involuntary_switches) +
           " switches forced";
}

bool stolen(const Judged& j)
{
    return j.w.steal_known && j.m.us > 0 && j.w.steal_us >= STEAL_TICKS_MIN * steal_tick_us() &&
           steal_share(j) > WITNESS_THRESHOLDS.steal_share_max;
}

std::string steal_words(const Judged& j)
{
    return percent(steal_share(j)) + " taken by the hypervisor";
}

bool other_io(const Judged& j)
{
    if (!j.w.device_known)
        return false;
    const uint64_t other = other_io_bytes(j.w, j.kind, j.bytes);
    return other >= WITNESS_THRESHOLDS.other_io_min_bytes &&
           static_cast<double>(other) >= WITNESS_THRESHOLDS.other_io_min_share * static_cast<double>(j.bytes);
}

std::string other_io_words(const Judged& j)
{
    return size_text(other_io_bytes(j.w, j.kind, j.bytes)) + " of other I/O on " + watched_device;
}

// A cold read whose cache could not be dropped, or whose file could not be
// counted in memory after the drop, is not known to come from the disk.
bool drop_failed(const Judged& j)
{
    return j.kind == WitnessKind::Read && j.w.drop_error != 0;
}

std::string drop_failed_words(const Judged& j)
{
    return std::string("the cached pages could not be dropped (") + strerror(j.w.drop_error) +
           "): the figure may include the cache";
}

bool count_failed(const Judged& j)
{
    return j.kind == WitnessKind::Read && j.w.count_error != 0;
}

std::string count_failed_words(const Judged& j)
{
    return std::string("what stayed in the page cache could not be counted (") + strerror(j.w.count_error) +
           "): the figure may include the cache";
}

// A cold read whose file stayed in memory after the drop (a file system
// that ignores the advice) reads the cache whatever the device says.
bool stayed_cached(const Judged& j)
{
    return j.kind == WitnessKind::Read && j.bytes > 0 && resident_stayed(j);
}

std::string stayed_words(const Judged& j)
{
    return size_text(j.w.resident_bytes) + " of " + size_text(j.bytes) +
           " stayed in the page cache after the drop: the figure includes the cache";
}

bool read_from_cache(const Judged& j)
{
    return j.w.device_known && j.kind == WitnessKind::Read && j.bytes > 0 &&
           static_cast<double>(j.w.device_read_bytes) <
               WITNESS_THRESHOLDS.page_cache_device_share * static_cast<double>(j.bytes);
}

std::string read_from_cache_words(const Judged& j)
{
    return "read from the page cache, not the disk (" + size_text(j.w.device_read_bytes) + " of " +
           size_text(j.bytes) + " from " + watched_device + ")";
}

bool swapped(const Judged& j)
{
    return j.w.swap_known && j.w.swap_bytes >= WITNESS_THRESHOLDS.swap_min_bytes;
}

std::string swap_words(const Judged& j)
{
    return size_text(j.w.swap_bytes) + " swapped in or out";
}

bool stalled(const Judged& j)
{
    const BlockLatency& b = j.w.block_us;
    return j.w.has_blocks && b.max_us >= WITNESS_THRESHOLDS.stall_min_us && b.max_us > WITNESS_THRESHOLDS.stall_factor * b.p50_us;
}

std::string stall_words(const Judged& j)
{
    char text[96];
    snprintf(text, sizeof text, "a block took %.1f ms, the median %.1f ms",
             static_cast<double>(j.w.block_us.max_us) / 1000.0, static_cast<double>(j.w.block_us.p50_us) / 1000.0);
    return text;
}

// Each reason a figure is not to be trusted: its bit, its rule and its
// words. A reason with several rules says the words of the first that
// holds; the note gives the reasons in the order of their bits.
struct WitnessRule {
    unsigned bit;
    bool (*holds)(const Judged&);
    std::string (*words)(const Judged&);
};

constexpr WitnessRule WITNESS_RULES[] = {
    {DISTURBED_CPU_TAKEN, core_share_low, core_share_words},
    {DISTURBED_CPU_TAKEN, switches_forced, switches_words},
    {DISTURBED_STEAL, stolen, steal_words},
    {DISTURBED_OTHER_IO, other_io, other_io_words},
    {DISTURBED_PAGE_CACHE, drop_failed, drop_failed_words},
    {DISTURBED_PAGE_CACHE, count_failed, count_failed_words},
    {DISTURBED_PAGE_CACHE, stayed_cached, stayed_words},
    {DISTURBED_PAGE_CACHE, read_from_cache, read_from_cache_words},
    {DISTURBED_SWAP, swapped, swap_words},
    {DISTURBED_STALL, stalled, stall_words},
};

Judged judged(const Measured& m, WitnessKind kind, uint64_t bytes)
{
    return Judged{m, m.witness, kind, bytes, m.us > 0 ? static_cast<double>(m.us) : 1.0};
}

unsigned judge(const Measured& m, WitnessKind kind, uint64_t bytes)
{
    const Judged j = judged(m, kind, bytes);
    unsigned reasons = 0;
    for (const WitnessRule& rule : WITNESS_RULES)
        if (rule.holds(j))
            reasons |= rule.bit;
    return reasons;
}

} // namespace

std::string witness_note(const Measured& m, WitnessKind kind, uint64_t bytes)
{
    const Judged j = judged(m, kind, bytes);
    std::string note;
    unsigned said = 0;
    for (unsigned bit = 1; bit <= DISTURBED_STALL; bit <<= 1) {
        if ((m.witness.disturbed & bit) == 0)
            continue;
        for (const WitnessRule& rule : WITNESS_RULES)
            if (rule.bit == bit && (said & bit) == 0 && rule.holds(j)) {
                note += (note.empty() ? "" : "; ") + rule.words(j);
                said |= bit;
            }
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

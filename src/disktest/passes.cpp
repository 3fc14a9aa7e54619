// The four passes over the scratch file: one loop, driven by a row of the
// table of pass kinds (what to prepare, how to open, how to move one
// block, what follows), as an I/O engine drives its operations.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>
#include <atomic>

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "measure/progress.h"
#include "measure/result.h"
#include "measure/status.h"
#include "measure/witness.h"
#include "measure/workers.h"
#include "platform/platform.h"

namespace {

// What the block step of a pass reports: 0, an errno value, or NO_REASON
// for a failure the system gave no reason for (a short read or write).
constexpr int NO_REASON = -1;

// Everything a block step needs: the descriptor, the job's buffers, the
// block size and the shuffled offsets (seek pass only).
struct PassState {
    int fd;
    const uint64_t* offsets;
    unsigned char* write_buffer;
    unsigned char* read_buffer;
    unsigned char* seek_buffer;
    uint64_t block;
};

PassState job_state(int32_t job, const uint64_t* offsets)
{
    return PassState{-1, offsets, scratch_buffer(job, ScratchBuffer::Write), scratch_buffer(job, ScratchBuffer::Read),
                     scratch_buffer(job, ScratchBuffer::Seek), scratch_block()};
}

int write_block(const PassState& state, uint64_t index)
{
    // Inside the interval, as the index changes with every block; its
    // cost is measured in the benchmark document.
    stamp_block(state.write_buffer, index);
    // A short write (a signal on a file system that lets one cut a
    // transfer) carries no reason: asking for the rest of the block either
    // finishes it or brings out the reason the system has (a full disk, a
    // file size limit).
    for (uint64_t done = 0; done < state.block;) {
        const ssize_t written = write(state.fd, state.write_buffer + done, state.block - done);
        if (written < 0)
            return errno;
        if (written == 0)
            return NO_REASON;
        done += static_cast<uint64_t>(written);
    }
    return 0;
}

int read_block(const PassState& state, uint64_t)
{
    // End of file before the block is whole means the file is not what the
    // write pass left: a result from it would be a half-result. A short
    // read that is only cut by a signal reads on.
    for (uint64_t done = 0; done < state.block;) {
        const ssize_t got = read(state.fd, state.read_buffer + done, state.block - done);
        if (got < 0)
            return errno;
        if (got == 0)
            return NO_REASON;
        done += static_cast<uint64_t>(got);
    }
    return 0;
}

int seek_block(const PassState& state, uint64_t index)
{
    // One system call a block, as fio's psync engine makes: the offset
    // goes with the read.
    // A block past a shortened file's end reads short or empty, and the
    // pass goes on; only an error stops it.
    return pread(state.fd, state.seek_buffer, state.block, static_cast<off_t>(state.offsets[index])) < 0 ? errno : 0;
}

struct PassKind {
    DiskPassKind kind;
    const char* label;        // of the result line
    const char* verb;         // of the header line
    const char* order;        // "sequential" or "random"
    bool for_write;           // opened for writing (created by the first write)
    bool shuffled;            // visits the blocks in a shuffled order
    bool refill;              // fresh random bytes before the pass
    bool flush_after;         // the file's data flushed after the interval
    const char* fail_message; // of an open or transfer failure
    WitnessKind witness;
    int (*transfer)(const PassState& state, uint64_t index);
};

constexpr const char* WRITE_ERROR = "Write error.  Aborting...\n";
constexpr const char* READ_ERROR = "Read error.  Aborting...\n";
constexpr const char* CREATE_ERROR = "Error creating file.\n";

// The rewrite is the write again, over the file the first write left: its
// blocks are overwritten where they lie (no O_TRUNC).
constexpr PassKind PASS_KINDS[] = {
    {DiskPassKind::Write, "write", "Writing", "sequential", true, false, true, true, WRITE_ERROR,
     WitnessKind::Write, write_block},
    {DiskPassKind::Read, "read", "Reading", "sequential", false, false, false, false, READ_ERROR,
     WitnessKind::Read, read_block},
    {DiskPassKind::Rewrite, "write", "Writing", "sequential", true, false, true, true, WRITE_ERROR,
     WitnessKind::Write, write_block},
    {DiskPassKind::Seek, "seek", "Reading", "random", false, true, false, false, READ_ERROR, WitnessKind::Read,
     seek_block},
};

const PassKind& pass_kind(DiskPassKind kind)
{
    for (const PassKind& row : PASS_KINDS)
        if (row.kind == kind)
            return row;
    return PASS_KINDS[0];
}

// Memory the pass needs, taken before the clock starts: 8 bytes a block, on
// the heap so that no file size can overflow the stack.
template <typename T>
T* allocate_or_die(uint64_t count)
{
    const uint64_t bytes = count * sizeof(T);
    T* memory = static_cast<T*>(malloc(count == 0 ? 1 : bytes));
    if (memory == nullptr) {
        fprintf(stderr, "Could not allocate %" PRIu64 " bytes.\n", bytes);
        exit(1);
    }
    return memory;
}

// The jobs of one pass and what they share.
struct PassJobs {
    const PassKind* kind;
    int32_t count;
    uint64_t blocks;               // each job's
    uint64_t* offsets;             // job j's shuffled offsets at [j * blocks]
    int64_t* block_us;             // job j's block times at [j * blocks]
    const Interval* interval;      // its start is the common start
    std::atomic<uint64_t> done;    // blocks moved by all jobs
    std::atomic<bool> stop;        // a job failed: the others end
    std::atomic_flag drawing;      // a job is drawing the terminal's bar
    std::vector<int> error;        // 0, an errno value, or NO_REASON
    std::vector<int> open_error;   // the refusal or errno value of a failed open, else 0
    std::vector<TimeReading> end;
    std::vector<int64_t> flush_us; // cold writes: from the last block to the end of the fsync
};

// Counts a moved block for the bars. One job draws as it goes; several
// take the marks by the blocks' shared count, each mark drawn once.
void count_block(PassJobs& jobs, uint64_t index)
{
    const uint64_t total = jobs.blocks * static_cast<uint64_t>(jobs.count);
    if (jobs.count == 1) {
        progress_tick(index, total, PROGRESS_MARKS);
        status_units_done(index + 1);
        return;
    }
    const uint64_t done = jobs.done.fetch_add(1, std::memory_order_relaxed) + 1;
    progress_tick_shared(done - 1, total, PROGRESS_MARKS);
    if (!jobs.drawing.test_and_set(std::memory_order_acquire)) {
        status_units_done(jobs.done.load(std::memory_order_relaxed));
        jobs.drawing.clear(std::memory_order_release);
    }
}

// One job's part of a pass: open, the timed transfers of its blocks, the
// fsync of a cold write, and the close.
void run_job(int32_t job, void* context)
{
    PassJobs& jobs = *static_cast<PassJobs*>(context);
    const PassKind& kind = *jobs.kind;
    const size_t j = static_cast<size_t>(job);
    const uint64_t first = j * jobs.blocks;
    int error = 0;
    PassState state = job_state(job, jobs.offsets != nullptr ? jobs.offsets + first : nullptr);
    state.fd = scratch_open(kind.for_write, &error, job);
    TimeReading last = jobs.interval->start;
    if (state.fd < 0) {
        jobs.open_error[j] = error;
        error = 0;
    } else {
        for (uint64_t i = 0; i < jobs.blocks; ++i) {
            if (interrupt_signal() != 0 || jobs.stop.load(std::memory_order_relaxed))
                break;
            error = kind.transfer(state, i);
            if (error != 0)
                break;
            const TimeReading now = time_reading();
            jobs.block_us[first + i] = elapsed_us(now, last);
            last = now;
            count_block(jobs, i);
        }
    }
    // A cold write is timed until its data are on the disk: the rate a
    // sustained write reaches, whatever the cache could hide.
    if (error == 0 && state.fd >= 0 && scratch_cold() && kind.for_write && interrupt_signal() == 0 &&
        !jobs.stop.load(std::memory_order_relaxed)) {
        if (platform_flush_file(state.fd) != 0)
            error = errno;
        jobs.flush_us[j] = elapsed_us(time_reading(), last);
    }
    // A network or FUSE file system may report a deferred write error only
    // at close; a read pass's close has nothing to say.
    if (state.fd >= 0 && close(state.fd) != 0 && kind.for_write && error == 0)
        error = errno;
    jobs.end[j] = time_reading();
    jobs.error[j] = error;
    if (error != 0 || jobs.open_error[j] != 0)
        jobs.stop.store(true, std::memory_order_relaxed);
}

} // namespace

Measured run_pass(DiskPassKind which, uint64_t file_size)
{
    const PassKind& kind = pass_kind(which);
    const int32_t count = scratch_jobs();
    const uint64_t block = scratch_block();
    const uint64_t job_blocks = file_size / static_cast<uint64_t>(count) / block;
    const uint64_t blocks = job_blocks * static_cast<uint64_t>(count);
    // Fresh random bytes for every write pass, so that no file system can
    // compress the block; the stamp of each block's index keeps storage
    // that deduplicates (ZFS dedup=on, VDO, many SAN arrays) from keeping
    // one copy of a block written `blocks` times.
    if (kind.refill) {
        unsigned char* const first = scratch_buffer(0, ScratchBuffer::Write);
        for (uint64_t at = 0; at < block; ++at)
            first[at] = static_cast<unsigned char>(random());
        for (int32_t job = 1; job < count; ++job)
            memcpy(scratch_buffer(job, ScratchBuffer::Write), first, block);
    }

    print_pass_header(kind.verb, blocks, kind.order);
    PassJobs jobs{&kind, count, job_blocks, nullptr, nullptr, nullptr, {0}, {false}, ATOMIC_FLAG_INIT,
                  std::vector<int>(static_cast<size_t>(count), 0),
                  std::vector<int>(static_cast<size_t>(count), 0),
                  std::vector<TimeReading>(static_cast<size_t>(count)), std::vector<int64_t>(static_cast<size_t>(count), 0)};
    if (kind.shuffled) {
        // Each job visits its own file's blocks in an order of its own.
        jobs.offsets = allocate_or_die<uint64_t>(blocks);
        shuffled_job_offsets(jobs.offsets, count, job_blocks, block);
    }
    // One clock reading a block, for the latencies of the single transfers.
    jobs.block_us = allocate_or_die<int64_t>(blocks);
    // A cold read starts from the device: the files' pages (clean, as every
    // write pass flushed them) leave the cache before the clock starts, and
    // what stays is counted for the witness.
    const bool cold = scratch_cold();
    uint64_t resident = 0;
    int drop_error = 0;
    int count_error = 0;
    if (cold && !kind.for_write)
        for (int32_t job = 0; job < count; ++job) {
            uint64_t job_resident = 0;
            int job_count_error = 0;
            const int error = scratch_drop_cache(job_blocks * block, &job_resident, &job_count_error, job);
            if (error != 0 && drop_error == 0) {
                drop_error = error;
                fprintf(stderr, "Cannot drop the cached pages of %s: %s\n", scratch_name(job), strerror(error));
            }
            if (job_count_error != 0 && count_error == 0)
                count_error = job_count_error;
            resident += job_resident;
        }
    progress_begin(PROGRESS_MARKS);
    status_show_bar(true);

    // Each job's first block is timed from the interval's start, which
    // workers_run takes before it lets the jobs go.
    Interval interval{};
    jobs.interval = &interval;
    if (count == 1) {
        interval = interval_begin();
        run_job(0, &jobs);
    } else {
        int32_t failed = 0;
        const int error = workers_run(WorkerTeam{count, nullptr, run_job, &jobs}, &interval, &failed);
        if (error != 0) {
            terminal_bar_end();
            fprintf(stderr, "Cannot start job %" PRId32 ": %s\n", failed + 1, strerror(error));
            scratch_fatal("", 0);
        }
    }
    Measured measured = interval_end(interval);
    terminal_bar_end();
    // The first job that failed, by its file, ends the run; every file goes.
    for (int32_t job = 0; job < count; ++job) {
        const size_t j = static_cast<size_t>(job);
        if (jobs.open_error[j] != 0)
            scratch_fatal(kind.for_write ? CREATE_ERROR : READ_ERROR, jobs.open_error[j], job);
        if (jobs.error[j] != 0)
            scratch_fatal(kind.fail_message, jobs.error[j] == NO_REASON ? 0 : jobs.error[j], job);
    }
    if (interrupt_signal() != 0) {
        free(jobs.offsets);
        free(jobs.block_us);
        Measured stopped{};
        stopped.ms = abandon_pass(-1);
        progress_end();
        return stopped;
    }
    // From the common start to the last job's end, each job's time kept.
    if (count > 1) {
        int64_t last = 0;
        for (const TimeReading& end : jobs.end) {
            measured.worker_us.push_back(elapsed_us(end, interval.start));
            last = std::max(last, measured.worker_us.back());
        }
        measured.us = last;
        measured.ms = last / 1000;
    }
    free(jobs.offsets);
    measured.witness.has_blocks = true;
    measured.witness.block_us = block_latency(jobs.block_us, blocks);
    free(jobs.block_us);
    // A cold read that could not drop or count the file's cached pages is
    // not known to read the disk: its witness says why.
    measured.witness.has_resident = cold && !kind.for_write && count_error == 0;
    measured.witness.resident_bytes = resident;
    measured.witness.drop_error = drop_error;
    measured.witness.count_error = drop_error != 0 ? 0 : count_error;

    if (cold && kind.for_write) {
        measured.witness.has_flush = true;
        measured.witness.flush_us = *std::max_element(jobs.flush_us.begin(), jobs.flush_us.end());
    } else if (kind.flush_after) {
        // The file's own data reaches the disk outside the measurement, so
        // that the next pass does not pay for this one's write-back; a
        // failure to get there is a write error like any other.
        const TimeReading flush_start = time_reading();
        for (int32_t job = 0; job < count; ++job) {
            const int flush_error = scratch_flush(job);
            if (flush_error != 0)
                scratch_fatal(WRITE_ERROR, flush_error, job);
        }
        measured.witness.has_flush = true;
        measured.witness.flush_us = elapsed_us(time_reading(), flush_start);
        // Most of a buffered write reaches the disk in this flush: the
        // witness counts the device up to its end, where the pass's own
        // bytes are all written, so that another writer cannot hide in
        // the part the interval did not see.
        witness_extend_device(&measured, interval);
    }
    putchar('\n');
    progress_end();
    print_result(static_cast<uint64_t>(measured.ms), kind.label, file_size, 1, block);
    // N jobs may switch among themselves: the witness expects N threads' switches.
    witness_set_threads(count);
    witness_judge(&measured, kind.witness, blocks * block);
    witness_set_threads(1);
    putchar('\n');
    return measured;
}

int warm_up_transfers(uint64_t file_size)
{
    // The first transfers of a fresh process are slower than any later
    // ones; they are made here, untimed, on the run's own scratch file,
    // which is then removed so that trial 1 creates it as every trial does.
    const uint64_t block = scratch_block();
    const uint64_t blocks = std::min<uint64_t>(file_size / static_cast<uint64_t>(scratch_jobs()) / block, WARM_UP_BLOCKS);
    if (blocks == 0)
        return 0;
    PassState state = job_state(0, nullptr);
    state.fd = scratch_open_or_die(true, CREATE_ERROR);
    for (uint64_t i = 0; i < blocks; ++i) {
        const int error = write_block(state, i);
        if (error != 0)
            scratch_fatal(WRITE_ERROR, error == NO_REASON ? 0 : error);
    }
    if (close(state.fd) != 0)
        scratch_fatal(WRITE_ERROR, errno);
    // Read back once in order and once backwards, into each pass's buffer.
    uint64_t offsets[WARM_UP_BLOCKS];
    for (uint64_t i = 0; i < blocks; ++i)
        offsets[i] = (blocks - 1 - i) * block;
    state.fd = scratch_open_or_die(false, READ_ERROR);
    state.offsets = offsets;
    for (int (*transfer)(const PassState&, uint64_t) : {read_block, seek_block})
        for (uint64_t i = 0; i < blocks; ++i) {
            const int error = transfer(state, i);
            if (error != 0)
                scratch_fatal(READ_ERROR, error == NO_REASON ? 0 : error);
        }
    close(state.fd);
    return scratch_remove();
}

int64_t write_pass(uint64_t file_size)
{
    return run_pass(DiskPassKind::Write, file_size).ms;
}

int64_t read_pass(uint64_t file_size)
{
    return run_pass(DiskPassKind::Read, file_size).ms;
}

int64_t seek_pass(uint64_t file_size)
{
    return run_pass(DiskPassKind::Seek, file_size).ms;
}

void shuffled_job_offsets(uint64_t* offsets, int32_t jobs, uint64_t job_blocks, uint64_t block)
{
    for (int32_t job = 0; job < jobs; ++job) {
        uint64_t* const own = offsets + static_cast<uint64_t>(job) * job_blocks;
        for (uint64_t i = 0; i < job_blocks; ++i)
            own[i] = i * block;
        shuffle_offsets(own, job_blocks);
    }
}

void shuffle_offsets(uint64_t* array, uint64_t n)
{
    constexpr uint64_t RANDOM_MAX = 2147483647;
    for (uint64_t k = 0, remaining = n; remaining > 1; ++k, --remaining) {
        const uint64_t r = static_cast<uint64_t>(random());
        const uint64_t j = r / (RANDOM_MAX / remaining + 1);
        std::swap(array[k + j], array[k]);
    }
}

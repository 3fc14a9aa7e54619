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

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "measure/progress.h"
#include "measure/result.h"
#include "measure/status.h"
#include "measure/witness.h"
#include "platform/platform.h"

namespace {

// What the block step of a pass reports: 0, an errno value, or NO_REASON
// for a failure the system gave no reason for (a short read or write).
constexpr int NO_REASON = -1;

// Everything a block step needs: the descriptor, the block's place in the
// pass and the shuffled offsets (seek pass only).
struct PassState {
    int fd;
    const uint64_t* offsets;
};

int write_block(const PassState& state, uint64_t index)
{
    // Inside the interval, as the index changes with every block; its
    // cost is measured in the benchmark document.
    stamp_block(write_buffer, index);
    // A short write (a signal on a file system that lets one cut a
    // transfer) carries no reason: asking for the rest of the block either
    // finishes it or brings out the reason the system has (a full disk, a
    // file size limit).
    for (uint64_t done = 0; done < BLOCK_SIZE;) {
        const ssize_t written = write(state.fd, write_buffer + done, BLOCK_SIZE - done);
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
    for (uint64_t done = 0; done < BLOCK_SIZE;) {
        const ssize_t got = read(state.fd, read_buffer + done, BLOCK_SIZE - done);
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
    lseek(state.fd, static_cast<off_t>(state.offsets[index]), SEEK_SET);
    // A block past a shortened file's end reads short or empty, and the
    // pass goes on; only an error stops it.
    return read(state.fd, seek_buffer, BLOCK_SIZE) < 0 ? errno : 0;
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

} // namespace

Measured run_pass(DiskPassKind which, uint64_t file_size)
{
    const PassKind& kind = pass_kind(which);
    // Fresh random bytes for every write pass, so that no file system can
    // compress the block; the stamp of each block's index keeps storage
    // that deduplicates (ZFS dedup=on, VDO, many SAN arrays) from keeping
    // one copy of a block written `blocks` times.
    if (kind.refill)
        for (unsigned char& byte : write_buffer)
            byte = static_cast<unsigned char>(random());

    const uint64_t blocks = file_size / BLOCK_SIZE;
    print_pass_header(kind.verb, blocks, kind.order);
    uint64_t* offsets = nullptr;
    if (kind.shuffled) {
        offsets = allocate_or_die<uint64_t>(blocks);
        for (uint64_t i = 0; i < blocks; ++i)
            offsets[i] = i * BLOCK_SIZE;
        shuffle_offsets(offsets, blocks);
    }
    // One clock reading a block, for the latencies of the single transfers.
    int64_t* block_us = allocate_or_die<int64_t>(blocks);
    // A cold read starts from the device: the file's pages (clean, as every
    // write pass flushed them) leave the cache before the clock starts, and
    // what stays is counted for the witness.
    const bool cold = scratch_cold();
    uint64_t resident = 0;
    int drop_error = 0;
    int count_error = 0;
    if (cold && !kind.for_write) {
        drop_error = scratch_drop_cache(blocks * BLOCK_SIZE, &resident, &count_error);
        if (drop_error != 0)
            fprintf(stderr, "Cannot drop the cached pages of %s: %s\n", SCRATCH_FILE, strerror(drop_error));
    }
    progress_begin(PROGRESS_MARKS);
    status_show_bar(true);

    const Interval interval = interval_begin();
    PassState state{scratch_open_or_die(kind.for_write, kind.for_write ? "Error creating file.\n" : READ_ERROR),
                    offsets};
    TimeReading last = interval.start;
    for (uint64_t i = 0; i < blocks; ++i) {
        if (interrupt_signal() != 0) {
            terminal_bar_end();
            free(offsets);
            free(block_us);
            Measured stopped{};
            stopped.ms = abandon_pass(state.fd);
            progress_end();
            return stopped;
        }
        const int error = kind.transfer(state, i);
        if (error != 0)
            scratch_fatal(kind.fail_message, error == NO_REASON ? 0 : error);
        const TimeReading now = time_reading();
        block_us[i] = elapsed_us(now, last);
        last = now;
        progress_tick(i, blocks, PROGRESS_MARKS);
        status_units_done(i + 1);
    }
    terminal_bar_end();
    // A cold write is timed until its data are on the disk: the rate a
    // sustained write reaches, whatever the cache could hide.
    int64_t cold_flush_us = 0;
    if (cold && kind.for_write) {
        if (platform_flush_file(state.fd) != 0)
            scratch_fatal(WRITE_ERROR, errno);
        cold_flush_us = elapsed_us(time_reading(), last);
    }
    // A network or FUSE file system may report a deferred write error only
    // at close; a read pass's close has nothing to say.
    const int closed = close(state.fd);
    const int close_error = errno;
    Measured measured = interval_end(interval);
    if (kind.for_write && closed != 0)
        scratch_fatal(WRITE_ERROR, close_error);
    free(offsets);
    measured.witness.has_blocks = true;
    measured.witness.block_us = block_latency(block_us, blocks);
    free(block_us);
    // A cold read that could not drop or count the file's cached pages is
    // not known to read the disk: its witness says why.
    measured.witness.has_resident = cold && !kind.for_write && count_error == 0;
    measured.witness.resident_bytes = resident;
    measured.witness.drop_error = drop_error;
    measured.witness.count_error = drop_error != 0 ? 0 : count_error;

    if (cold && kind.for_write) {
        measured.witness.has_flush = true;
        measured.witness.flush_us = cold_flush_us;
    } else if (kind.flush_after) {
        // The file's own data reaches the disk outside the measurement, so
        // that the next pass does not pay for this one's write-back; a
        // failure to get there is a write error like any other.
        const TimeReading flush_start = time_reading();
        const int flush_error = scratch_flush();
        if (flush_error != 0)
            scratch_fatal(WRITE_ERROR, flush_error);
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
    print_result(static_cast<uint64_t>(measured.ms), kind.label, file_size, 1, BLOCK_SIZE);
    witness_judge(&measured, kind.witness, blocks * BLOCK_SIZE);
    putchar('\n');
    return measured;
}

int warm_up_transfers(uint64_t file_size)
{
    // The first transfers of a fresh process are slower than any later
    // ones; they are made here, untimed, on the run's own scratch file,
    // which is then removed so that trial 1 creates it as every trial does.
    const uint64_t blocks = std::min<uint64_t>(file_size / BLOCK_SIZE, WARM_UP_BLOCKS);
    if (blocks == 0)
        return 0;
    PassState state{scratch_open_or_die(true, "Error creating file.\n"), nullptr};
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
        offsets[i] = (blocks - 1 - i) * BLOCK_SIZE;
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

void shuffle_offsets(uint64_t* array, uint64_t n)
{
    constexpr uint64_t RANDOM_MAX = 2147483647;
    for (uint64_t k = 0, remaining = n; remaining > 1; ++k, --remaining) {
        const uint64_t r = static_cast<uint64_t>(random());
        const uint64_t j = r / (RANDOM_MAX / remaining + 1);
        std::swap(array[k + j], array[k]);
    }
}

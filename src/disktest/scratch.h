// The scratch file and everything the disk passes share: the transfer
// block, the static buffers, the pass's header and result lines. This module
// alone knows the file's name and whether this run made it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "measure/timing.h"
#include "measure/witness.h"
#include "run/measurements.h"

constexpr const char* SCRATCH_FILE = "ovrel-bench.tempfile";
// Page alignment serves both the cached path (copies run at full speed) and
// direct I/O (which demands it).
constexpr size_t BUFFER_ALIGN = 4096;

// The first job's buffers up to the default block.
extern unsigned char write_buffer[BLOCK_SIZE];
extern unsigned char read_buffer[BLOCK_SIZE];
extern unsigned char seek_buffer[BLOCK_SIZE];

// How many files the passes move at once and in what unit: `jobs` files,
// named SCRATCH_FILE for one job and SCRATCH_FILE.1 to .N for several,
// each with buffers of `block` bytes aligned to the block. Before any file
// exists; false when the buffers cannot be had (or the shape is no shape).
bool scratch_set_shape(int32_t jobs, uint64_t block);
int32_t scratch_jobs();
uint64_t scratch_block();
// The name of job `job`'s file (from 0).
const char* scratch_name(int32_t job);
enum class ScratchBuffer { Write, Read, Seek };
unsigned char* scratch_buffer(int32_t job, ScratchBuffer which);

// Reasons to refuse what lies under the name, beside the system's errno values.
constexpr int SCRATCH_NOT_REGULAR = -1;
constexpr int SCRATCH_LINKED = -2;
constexpr int SCRATCH_FOREIGN = -3;
constexpr int SCRATCH_SWAPPED = -4;
constexpr int SCRATCH_IS_OUTPUT = -5;
constexpr int SCRATCH_SYMLINK = -6;
// The text of a refusal or of an errno value.
const char* scratch_error_text(int error);

// Every 4 KiB of a written block begins with the block's index and the
// run's seed, so that no two blocks (nor two 4 KiB pieces of the file) are
// alike: storage that deduplicates or compresses cannot shorten the file.
constexpr size_t STAMP_INTERVAL = 4096;
// The seed the stamps carry (the run's; 0 until set).
void scratch_set_seed(uint64_t seed);
// Stamps `block` (one block of the shape's size) as the block at `index` of the file.
void stamp_block(unsigned char* block, uint64_t index);

// Brings the static read buffers' pages in, so that no measurement pays
// for their first touch.
void scratch_touch_buffers();

// The extra open flag of every later open (the platform's direct I/O flag, or 0).
void scratch_set_open_flag(int flag);

// Looks under the name before the run. Returns 0 when nothing is there, or
// when a file of the user's own is (a leftover of an aborted run, which the
// first write pass takes over); `*leftover_bytes` is then the space it holds.
// Anything else (a link of either kind, another user's file, a FIFO, device
// or directory, the file the report goes to) is refused with its reason.
int scratch_check_leftover(uint64_t* leftover_bytes, int32_t job = 0);

// Opens the scratch file for a pass: `for_write` creates it when it does
// not exist. Whatever is found must be a regular file with one link, owned
// by the effective user, and, once this run has created or taken it over,
// the very same file. Returns the descriptor, or -1 with `*error` set.
int scratch_open(bool for_write, int* error, int32_t job = 0);
// scratch_open, ending the run with `message` and the reason when it fails.
int scratch_open_or_die(bool for_write, const char* message, int32_t job = 0);
// Writes the file's data to stable storage; 0 or an errno value.
int scratch_flush(int32_t job = 0);
// A cold run: each write pass's interval ends after the file's fsync, and
// each read pass begins with the file's cached pages dropped.
void scratch_set_cold(bool on);
bool scratch_cold();
// Drops the file's clean pages from the cache and counts what stayed of its
// first `size` bytes. Returns the errno value of a failed drop, or 0;
// `*count_error` is that of a failed count (also when the drop failed, which
// leaves nothing to count), or 0 with `*resident` set.
int scratch_drop_cache(uint64_t size, uint64_t* resident, int* count_error, int32_t job = 0);
// Removes this run's scratch files at the end of a trial, each only while
// its name still holds the file this run made; 0, or the errno value of
// the first failed removal (and `*failed_job`, its job).
int scratch_remove(int32_t* failed_job = nullptr);
// The same from a signal handler: async-signal-safe.
void scratch_remove_from_signal();

// Ends the progress bar's line, removes every scratch file of a run of
// several jobs (one job's file stays, as it is), writes `message` and, when `error` is not 0, a line "NAME: reason" naming
// job `job`'s file on standard error, and exits with status 1.
[[noreturn]] void scratch_fatal(const char* message, int error, int32_t job = 0);

// Prints a pass's header line and its "Total size" line.
void print_pass_header(const char* verb, uint64_t blocks, const char* order);
// What a pass returns when an interrupt stopped it between two blocks.
constexpr int64_t PASS_INTERRUPTED = -1;
// Closes the pass's descriptor, ends the bar's line and returns PASS_INTERRUPTED.
int64_t abandon_pass(int fd);

// One pass over the files, `file_size` bytes in all, in blocks of the
// shape's size: header, bar, the timed transfers with their witness and
// block latencies, result line (and note). Several jobs start together
// and the pass lasts until the last ends; the first to fail stops the
// others. An interrupt between blocks returns PASS_INTERRUPTED as the
// milliseconds.
Measured run_pass(DiskPassKind kind, uint64_t file_size);
// Blocks written and read back before trial 1, untimed.
constexpr uint64_t WARM_UP_BLOCKS = 16;
// Writes and reads back the first WARM_UP_BLOCKS blocks of a scratch file of
// `file_size` bytes, untimed and silent, and removes it: a fresh process's
// first transfers cost more than any later ones, and trial 1 should not pay
// for them. A failed transfer ends the run as in a pass; returns 0, or the
// errno value of a failed removal, as scratch_remove does.
int warm_up_transfers(uint64_t file_size);
// The same, milliseconds only.
int64_t write_pass(uint64_t file_size);
int64_t read_pass(uint64_t file_size);
int64_t seek_pass(uint64_t file_size);
// The shuffled read's order: job j's offsets at [j * job_blocks], each of
// its file's blocks once, in an order drawn by shuffle_offsets.
void shuffled_job_offsets(uint64_t* offsets, int32_t jobs, uint64_t job_blocks, uint64_t block);
// Fisher-Yates shuffle of `n` values driven by random().
void shuffle_offsets(uint64_t* array, uint64_t n);

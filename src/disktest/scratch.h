// The scratch file, the transfer block and the static buffers of the disk passes.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "measure/timing.h"

constexpr uint64_t BLOCK_SIZE = 4194304;
constexpr const char* SCRATCH_FILE = "ovrel-bench.tempfile";
// Page alignment serves both the cached path (copies run at full speed) and
// direct I/O (which demands it).
constexpr size_t BUFFER_ALIGN = 4096;

extern unsigned char write_buffer[BLOCK_SIZE];
extern unsigned char read_buffer[BLOCK_SIZE];
extern unsigned char seek_buffer[BLOCK_SIZE];

// Set once a write pass has opened the scratch file and cleared when the
// trial loop removes it: tells a signal handler whether there is a file of
// this run's to remove.
extern volatile sig_atomic_t scratch_file_live;

// Makes every later open of the scratch file bypass the page cache.
void scratch_use_direct_io();
// The platform's direct I/O open flag, 0 where it has none.
int direct_io_flag();

// The error of an open that found something other than a regular file.
constexpr int NOT_REGULAR_FILE = -1;

// Opens the scratch file with `access` (O_RDONLY, or O_WRONLY | O_CREAT) and
// never through a symbolic link. Whatever is found under the name must be a
// regular file: a FIFO, device or directory is refused before any transfer.
// Returns the descriptor, or -1 with `*error` set to errno or NOT_REGULAR_FILE.
int open_scratch(int access, int* error);

// open_scratch, ending the run with `message` and the reason when it fails.
int open_scratch_or_die(int access, const char* message);

// Ends the progress bar's line, writes `message` and, when `error` is not 0,
// a line "ovrel-bench.tempfile: reason" on standard error, and exits with status 1.
[[noreturn]] void scratch_fatal(const char* message, int error);

// Prints a pass's header line and its "Total size" line.
void print_pass_header(const char* verb, uint64_t blocks, const char* order);
// Ends the bar's line and prints the result line and a blank line; returns the milliseconds.
int64_t finish_pass(const TimeReading& start, const TimeReading& stop, const char* label,
                    uint64_t file_size);

int64_t write_pass(uint64_t file_size);
int64_t read_pass(uint64_t file_size);
int64_t seek_pass(uint64_t file_size);
// Fisher-Yates shuffle of `n` values driven by random().
void shuffle_offsets(uint64_t* array, uint64_t n);

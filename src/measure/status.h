// What the run is doing now, for the operator who asks with a signal while a
// long measurement runs (Ctrl-T, SIGINFO, on FreeBSD; SIGUSR1 on Linux).
#pragma once

#include <cstddef>
#include <cstdint>

void status_trial(int64_t trial, int64_t trials);
// A measurement starts: its record id, and the blocks of a disk pass (0 for
// an array fill).
void status_begin(const char* id, uint64_t blocks);
// The same with the start given, a reading of the monotonic clock in µs.
void status_begin_at(const char* id, uint64_t blocks, int64_t start_us);
// Blocks of the disk pass done so far: one store, cheap enough for every block.
void status_blocks_done(uint64_t done);
void status_end();

// The status line, "ovrel-bench: trial 2 of 3, write: 3.412 s, 812 of 12288
// blocks\n", into `buffer`, cut to `size`; its length. `now_us` is a reading
// of the monotonic clock. Async-signal-safe: no locks, no allocation, no stdio.
size_t status_line(char* buffer, size_t size, int64_t now_us);
// Writes the status line on standard error; async-signal-safe.
void status_print();

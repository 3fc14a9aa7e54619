// What the run is doing now, for the operator who asks with a signal while a
// long measurement runs (Ctrl-T, SIGINFO, on FreeBSD; SIGUSR1 on Linux).
#pragma once

#include <cstddef>
#include <cstdint>

void status_trial(int64_t trial, int64_t trials);
// A measurement starts: its record id, its place in the trial (from 1) of
// `count`, and its units: "blocks" of a disk pass or "sweeps" of an array
// fill, `total` of them.
void status_begin(const char* id, int32_t place, int32_t count, const char* unit, uint64_t total);
// How many workers the measurement runs on at once, and what they are
// ("cores", "jobs"); the line says so where they are more than one.
void status_width(int32_t workers, const char* unit);
// The same with the start given, a reading of the monotonic clock in µs.
void status_begin_at(const char* id, int32_t place, int32_t count, const char* unit, uint64_t total,
                     int64_t start_us);
// The terminal's bar for the measurement begun (see progress.h), drawn now
// with the run's time left; `disk` for a disk pass.
void status_show_bar(bool disk);
// Units done so far: one store, cheap enough for every block, and the
// terminal's bar drawn again when it is due.
void status_units_done(uint64_t done);
// The estimate of what is left: the current measurement's whole time and
// the time of all those after it, in µs (-1 where nothing is known yet);
// `lower_bound` when some of them have no rate of their kind to go by.
void status_estimate(int64_t current_us, int64_t after_us, bool lower_bound);
// The run's time left at `now_us` (a reading of the monotonic clock), in µs;
// -1 when nothing is known. Async-signal-safe.
int64_t status_time_left_us(int64_t now_us, bool* lower_bound);
void status_end();
// The monotonic clock in µs.
int64_t status_clock_us();

// The status line, "ovrel-bench: trial 2 of 3, write, measurement 9 of 12:
// 3.412 s, 812 of 12288 blocks; about 7 min 40 s left\n" (", 8 jobs" after
// the blocks of a measurement of several), into `buffer`, cut
// to `size`; its length. Async-signal-safe: no locks, no allocation, no stdio.
size_t status_line(char* buffer, size_t size, int64_t now_us);
// Writes the status line on standard error, on a line of its own, and draws
// again the bar it interrupted. A standard error that cannot take it at once
// (a full pipe, a stopped terminal) loses it: the run never waits for the
// answer. Async-signal-safe.
void status_print();

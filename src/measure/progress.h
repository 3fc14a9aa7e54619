// The 64-cell progress bar that every disk pass draws on standard output,
// and the bar of the operator's terminal on standard error.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t PROGRESS_MARKS = 64;

// Multiples of the step reached in the current pass; the first `cells` draw a mark.
extern int32_t progress_count;

// Draws "[", `cells` blanks, "]" and backs the cursor up onto the first blank.
void progress_begin(int32_t cells);
// Called after block `index` (from 0) of `total` has been transferred; draws at most one mark.
void progress_tick(uint64_t index, uint64_t total, uint64_t cells);
// The same for blocks that several threads move at once: `index` is the
// block's place in the count of all of them, each given once. Draws the
// marks that progress_tick would, whatever the order of the calls.
void progress_tick_shared(uint64_t index, uint64_t total, uint64_t cells);
// The disk pass's bar is done (its line is about to end).
void progress_end();

// Where the bars show: whether standard error is a terminal, and whether
// standard output shows on that same terminal. Read once, before the trials.
void progress_find_terminal();
// Whether standard error is a terminal.
bool progress_on_terminal();

// The terminal's bar, on standard error only when it is a terminal: one line
// "[*****       ] 3 of 8 sweeps, about 7 min 40 s left", redrawn in place as
// the units (sweeps or blocks) go by and wiped when the measurement ends, so
// that the report around it reads as it did. A disk pass draws it only when
// its own bar on standard output is not on that terminal. Drawn first when
// it is first due.
void terminal_bar_begin(const char* unit, uint64_t total, bool disk);
// Whether the bar, with `done` of its units finished, is due to be drawn
// again: first, when a cell fills, at every unit of a short count, and at the end;
// a pass of millions of blocks draws a few dozen times, not once a block.
bool terminal_bar_due(uint64_t done);
// Draws it with `done` units finished and `left_s`, the run's estimated
// seconds left (-1 when nothing is known; "more than" with `lower_bound`).
void terminal_bar_draw(uint64_t done, int64_t left_s, bool lower_bound);
void terminal_bar_end();

// For the status answer, which takes a line of its own and then draws again
// the bar it interrupted. Async-signal-safe.
// What leaves the cursor at the start of a free line, into `buffer`: the
// terminal's own bar is wiped, the report's bar is left as it stands and a
// new line begun; nothing when no bar is unfinished. Its length.
size_t progress_step_aside(char* buffer, size_t size);
// The unfinished bar as drawn so far, into `buffer`; its length (0 when none).
size_t progress_redraw(char* buffer, size_t size);

// Text put together without stdio, locks or allocation, so that a signal
// handler may use it: what does not fit in the buffer is cut.
#pragma once

#include <cstdint>

struct TextBuffer {
    char* at;
    char* end;
};

void text_put(TextBuffer* text, const char* words);
// `value` in decimal, with leading zeros up to `min_digits`.
void text_put_number(TextBuffer* text, uint64_t value, int min_digits = 1);
// "1 h 05 min", "4 min 10 s" or "37 s"; a negative count is 0 s.
void text_put_duration(TextBuffer* text, int64_t seconds);
// `separator` and "about 7 min 40 s left" ("more than" for a lower bound);
// nothing when `seconds` is negative (nothing known) or a lower bound of 0.
void text_put_time_left(TextBuffer* text, const char* separator, int64_t seconds, bool lower_bound);

// Whether standard error takes a short line now without blocking (poll): the
// run never waits on a reader or a terminal that has stopped.
bool error_takes_a_line_now();

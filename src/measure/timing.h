// Time readings and the interval arithmetic every measurement shares.
#pragma once

#include <cstdint>

// One clock reading as a (seconds, microseconds) pair.
struct TimeReading {
    int64_t seconds;
    int64_t microseconds;
};

// Reads the monotonic clock, so a step of the wall clock (NTP, an operator
// setting the date) can never shorten, lengthen or reverse a measurement.
TimeReading time_reading();

int64_t elapsed_us(const TimeReading& later, const TimeReading& earlier);
// Whole milliseconds, truncated toward zero.
int64_t elapsed_ms(const TimeReading& later, const TimeReading& earlier);

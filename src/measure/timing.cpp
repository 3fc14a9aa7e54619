#include "measure/timing.h"

#include <ctime>

TimeReading time_reading()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return TimeReading{static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_nsec / 1000)};
}

int64_t elapsed_us(const TimeReading& later, const TimeReading& earlier)
{
    return (later.seconds - earlier.seconds) * 1000000 + (later.microseconds - earlier.microseconds);
}

int64_t elapsed_ms(const TimeReading& later, const TimeReading& earlier)
{
    return elapsed_us(later, earlier) / 1000;
}

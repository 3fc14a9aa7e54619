// Spread of one measurement's rates across trials.
#pragma once

#include <cstddef>

struct RateStatistics {
    double min;
    double median;
    double max;
    double stddev;  // sample standard deviation; nan for fewer than two rates
};

// Any inf or nan among the rates carries into the figures it touches.
RateStatistics rate_statistics(const double* rates, size_t count);

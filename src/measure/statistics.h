// The statistics of the program, in one place: the spread of a
// measurement's trials as the benchmark records it, and the means,
// medians and Welch intervals the compare tool builds on them.
#pragma once

#include <cstddef>
#include <vector>

struct RateStatistics {
    double min;
    double median;
    double max;
    double stddev;  // sample standard deviation; nan for fewer than two rates
};

// Any inf or nan among the rates carries into the figures it touches.
RateStatistics rate_statistics(const double* rates, size_t count);
// The same, leaving `rates` sorted, without allocating: for the reader of
// thousands of records.
RateStatistics rate_statistics_in_place(std::vector<double>* rates);

// nan for no values.
double mean_of(const std::vector<double>& values);
// Sample variance about `mean`; nan for fewer than two values.
double variance_of(const std::vector<double>& values, double mean);
double median_of(std::vector<double> values);
// exp of the mean of the logarithms; the values must be above zero.
double geometric_mean_of(const std::vector<double>& values);

struct Spread {
    size_t n;
    double geometric_mean;  // nan when n is 0
    double median;
    double min;
    double max;
};
Spread spread_of(std::vector<double> values);

// The ratio of the geometric means of `other` to `base` with an interval at
// `level` from Welch's t on the logarithms, and the two-sided p-value of
// "the ratio is 1". (Needs Boost.Math: built into the compare tool only.)
struct RatioEstimate {
    bool has_ratio;     // both sides have values
    double ratio;
    bool has_interval;  // both sides have two values or more, and some spread
    double low;
    double high;
    double degrees_of_freedom;
    double p_value;
};
RatioEstimate ratio_estimate(const std::vector<double>& base, const std::vector<double>& other, double level = 0.95);
// The ratio of the geometric mean of `values` to a fixed `reference`, with
// the interval of Student's t on the logarithms (one sample).
RatioEstimate ratio_to(double reference, const std::vector<double>& values, double level = 0.95);

#include "measure/statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

} // namespace

RateStatistics rate_statistics_in_place(std::vector<double>* rates)
{
    RateStatistics statistics{NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER};
    const size_t count = rates->size();
    if (count == 0)
        return statistics;
    if (count >= 2)
        statistics.stddev = std::sqrt(variance_of(*rates, mean_of(*rates)));
    std::vector<double>& sorted = *rates;
    std::sort(sorted.begin(), sorted.end(), [](double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; });
    statistics.min = sorted.front();
    statistics.max = sorted.back();
    statistics.median = count % 2 == 1 ? sorted[count / 2] : (sorted[count / 2 - 1] + sorted[count / 2]) / 2.0;
    return statistics;
}

RateStatistics rate_statistics(const double* rates, size_t count)
{
    RateStatistics statistics{NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER};
    if (count == 0)
        return statistics;
    std::vector<double> sorted(rates, rates + count);
    std::sort(sorted.begin(), sorted.end(), [](double a, double b) {
        // nan sorts last instead of breaking the order.
        return std::isnan(b) ? !std::isnan(a) : a < b;
    });
    statistics.min = sorted.front();
    statistics.max = sorted.back();
    statistics.median =
        count % 2 == 1 ? sorted[count / 2] : (sorted[count / 2 - 1] + sorted[count / 2]) / 2.0;
    if (count >= 2) {
        const std::vector<double> values(rates, rates + count);
        statistics.stddev = std::sqrt(variance_of(values, mean_of(values)));
    }
    return statistics;
}

double mean_of(const std::vector<double>& values)
{
    if (values.empty())
        return NOT_A_NUMBER;
    double sum = 0;
    for (double value : values)
        sum += value;
    return sum / static_cast<double>(values.size());
}

double variance_of(const std::vector<double>& values, double mean)
{
    if (values.size() < 2)
        return NOT_A_NUMBER;
    double squares = 0;
    for (double value : values)
        squares += (value - mean) * (value - mean);
    return squares / static_cast<double>(values.size() - 1);
}

double median_of(std::vector<double> values)
{
    if (values.empty())
        return NOT_A_NUMBER;
    const size_t n = values.size();
    std::nth_element(values.begin(), values.begin() + n / 2, values.end());
    const double upper = values[n / 2];
    if (n % 2 == 1)
        return upper;
    return (*std::max_element(values.begin(), values.begin() + n / 2) + upper) / 2;
}

double geometric_mean_of(const std::vector<double>& values)
{
    if (values.empty())
        return NOT_A_NUMBER;
    double sum = 0;
    for (double value : values)
        sum += std::log(value);
    return std::exp(sum / static_cast<double>(values.size()));
}

Spread spread_of(std::vector<double> values)
{
    Spread spread{values.size(), NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER};
    if (values.empty())
        return spread;
    spread.geometric_mean = geometric_mean_of(values);
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    spread.min = *low;
    spread.max = *high;
    spread.median = median_of(std::move(values));
    return spread;
}

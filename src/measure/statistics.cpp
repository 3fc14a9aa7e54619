#include "measure/statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

RateStatistics rate_statistics(const double* rates, size_t count)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    RateStatistics statistics{nan, nan, nan, nan};
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
        double sum = 0.0;
        for (size_t i = 0; i < count; ++i)
            sum += rates[i];
        const double mean = sum / static_cast<double>(count);
        double squares = 0.0;
        for (size_t i = 0; i < count; ++i)
            squares += (rates[i] - mean) * (rates[i] - mean);
        statistics.stddev = std::sqrt(squares / static_cast<double>(count - 1));
    }
    return statistics;
}

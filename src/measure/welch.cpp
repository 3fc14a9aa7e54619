// Welch's interval for a ratio of geometric means: the part of the
// statistics that needs Student's t, and so Boost.Math.
#include <algorithm>
#include <cmath>

#include <boost/math/distributions/students_t.hpp>

#include "measure/statistics.h"

namespace {

// The interval of Student's t with `df` degrees of freedom about a
// difference of logarithms, and the p-value of no difference.
void set_interval(RatioEstimate* estimate, double difference, double standard_error, double df, double level)
{
    // Computing in double throughout (Boost would otherwise promote to long
    // double) is ten times faster and agrees to 1e-15.
    using Policy = boost::math::policies::policy<boost::math::policies::promote_double<false>>;
    const boost::math::students_t_distribution<double, Policy> distribution(df);
    const double t = boost::math::quantile(distribution, 1 - (1 - level) / 2);
    estimate->has_interval = true;
    estimate->degrees_of_freedom = df;
    estimate->low = std::exp(difference - t * standard_error);
    estimate->high = std::exp(difference + t * standard_error);
    estimate->p_value =
        2 * boost::math::cdf(boost::math::complement(distribution, std::fabs(difference) / standard_error));
}

} // namespace

RatioEstimate ratio_estimate(const std::vector<double>& base, const std::vector<double>& other, double level)
{
    RatioEstimate estimate{false, NAN, false, NAN, NAN, NAN, NAN};
    if (base.empty() || other.empty())
        return estimate;
    std::vector<double> log_base;
    std::vector<double> log_other;
    log_base.reserve(base.size());
    log_other.reserve(other.size());
    for (double rate : base)
        log_base.push_back(std::log(rate));
    for (double rate : other)
        log_other.push_back(std::log(rate));
    const double mean_base = mean_of(log_base);
    const double mean_other = mean_of(log_other);
    const double difference = mean_other - mean_base;
    estimate.has_ratio = true;
    estimate.ratio = std::exp(difference);
    if (base.size() < 2 || other.size() < 2)
        return estimate;

    // Every value on both sides the same (whole milliseconds that tie): the
    // spread is unknown, not zero, and no interval can be given. A
    // zero-width one would call a single millisecond a firm difference.
    // (Compared as they are: a mean of equal logarithms may differ from
    // them in the last bit, and leave a variance of 1e-32.)
    const auto [base_low, base_high] = std::minmax_element(base.begin(), base.end());
    const auto [other_low, other_high] = std::minmax_element(other.begin(), other.end());
    if (*base_low == *base_high && *other_low == *other_high)
        return estimate;
    const double share_base = variance_of(log_base, mean_base) / static_cast<double>(base.size());
    const double share_other = variance_of(log_other, mean_other) / static_cast<double>(other.size());
    const double standard_error = std::sqrt(share_base + share_other);
    if (standard_error == 0)
        return estimate;
    // Welch-Satterthwaite degrees of freedom.
    const double df = (share_base + share_other) * (share_base + share_other) /
                      (share_base * share_base / static_cast<double>(base.size() - 1) +
                       share_other * share_other / static_cast<double>(other.size() - 1));
    set_interval(&estimate, difference, standard_error, df, level);
    return estimate;
}

RatioEstimate ratio_to(double reference, const std::vector<double>& values, double level)
{
    RatioEstimate estimate{false, NAN, false, NAN, NAN, NAN, NAN};
    if (values.empty() || !(reference > 0))
        return estimate;
    std::vector<double> logs;
    logs.reserve(values.size());
    for (double rate : values)
        logs.push_back(std::log(rate));
    const double mean = mean_of(logs);
    const double difference = mean - std::log(reference);
    estimate.has_ratio = true;
    estimate.ratio = std::exp(difference);
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    if (values.size() < 2 || *low == *high)
        return estimate;
    const double standard_error = std::sqrt(variance_of(logs, mean) / static_cast<double>(values.size()));
    if (standard_error == 0)
        return estimate;
    set_interval(&estimate, difference, standard_error, static_cast<double>(values.size() - 1), level);
    return estimate;
}

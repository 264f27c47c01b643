#include "sync/sync_statistics.h"

#include "rules/time_units.h"

#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/students_t.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace skelv {

namespace {

double minutes(int64_t ns)
{
    return double(ns) / double(kNsPerMinute);
}

} // namespace

double median_of(std::vector<double> values)
{
    const size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + half, values.end());
    if (values.size() % 2 == 1)
        return values[half];
    const double upper = values[half];
    return (*std::max_element(values.begin(), values.begin() + half) + upper) / 2;
}

MedianInterval median_interval(std::vector<double> values)
{
    const size_t n = values.size();
    const boost::math::binomial_distribution<double> below_median(double(n), 0.5);
    const auto outside_below = [&](size_t k) { return boost::math::cdf(below_median, double(k - 1)); }; // P(count < k)
    size_t k = 1;
    while (2 * (k + 1) <= n + 1 && outside_below(k + 1) <= 0.025)
        ++k;
    std::sort(values.begin(), values.end());
    return {values[k - 1], values[n - k], 1 - 2 * outside_below(k)};
}

std::optional<Drift> common_drift(const std::vector<std::span<const SyncEvent>>& stretches)
{
    struct Level {
        double mean_t = 0, mean_d = 0;
    };
    std::vector<Level> levels;
    size_t count = 0;
    double sxx = 0, sxy = 0;
    for (std::span<const SyncEvent> events : stretches) {
        const double n = double(events.size());
        Level level;
        for (const SyncEvent& e : events) {
            level.mean_t += minutes(e.video_ns) / n;
            level.mean_d += double(e.delay_ns) / n;
        }
        for (const SyncEvent& e : events) {
            const double t = minutes(e.video_ns) - level.mean_t;
            sxx += t * t;
            sxy += t * (double(e.delay_ns) - level.mean_d);
        }
        levels.push_back(level);
        count += events.size();
    }
    if (count < stretches.size() + 1 || !(sxx > 0))
        return std::nullopt;
    Drift drift{sxy / sxx, std::nullopt, std::nullopt};
    const double dof = double(count) - double(stretches.size()) - 1;
    if (dof < 1)
        return drift;
    double residuals = 0;
    for (size_t i = 0; i < stretches.size(); i++)
        for (const SyncEvent& e : stretches[i]) {
            const double fitted = levels[i].mean_d + drift.ns_per_min * (minutes(e.video_ns) - levels[i].mean_t);
            residuals += (double(e.delay_ns) - fitted) * (double(e.delay_ns) - fitted);
        }
    const double standard_error = std::sqrt(residuals / dof / sxx);
    const double half_width = student_t_975(dof) * standard_error;
    drift.ci95_low = drift.ns_per_min - half_width;
    drift.ci95_high = drift.ns_per_min + half_width;
    return drift;
}

bool Drift::none() const
{
    constexpr double kResolution = 500; // ns/min: half the reported microsecond
    return ci95_low && *ci95_low <= kResolution && *ci95_high >= -kResolution;
}

double student_t_975(double dof)
{
    return boost::math::quantile(boost::math::students_t(dof), 0.975);
}

DelayStatistics delay_statistics(const std::vector<SyncEvent>& events)
{
    DelayStatistics s;
    s.count = events.size();
    if (events.empty())
        return s;
    std::vector<double> delays;
    for (const SyncEvent& e : events)
        delays.push_back(double(e.delay_ns));
    s.mean_ns = std::accumulate(delays.begin(), delays.end(), 0.0) / double(delays.size());
    s.median_ns = median_of(delays);
    double squares = 0;
    for (double d : delays)
        squares += (d - s.mean_ns) * (d - s.mean_ns);
    s.sd_ns = delays.size() > 1 ? std::sqrt(squares / double(delays.size() - 1)) : 0;
    const auto [low, high] = std::minmax_element(events.begin(), events.end(),
                                                 [](const SyncEvent& a, const SyncEvent& b) { return a.delay_ns < b.delay_ns; });
    s.min = {low->delay_ns, low->video_ns};
    s.max = {high->delay_ns, high->video_ns};
    s.drift = common_drift({events});
    return s;
}

} // namespace skelv

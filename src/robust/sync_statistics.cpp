#include "robust/sync_statistics.h"

#include <boost/math/distributions/students_t.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

double median_of(std::vector<double> values)
{
    const size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + half, values.end());
    if (values.size() % 2 == 1)
        return values[half];
    const double upper = values[half];
    return (*std::max_element(values.begin(), values.begin() + half) + upper) / 2;
}

std::optional<Drift> drift_of(const std::vector<SyncEvent>& events)
{
    const double n = double(events.size());
    double mean_t = 0, mean_d = 0;
    for (const SyncEvent& e : events) {
        mean_t += e.video_ms / 60000 / n;
        mean_d += e.delay_ms / n;
    }
    double sxx = 0, sxy = 0;
    for (const SyncEvent& e : events) {
        const double t = e.video_ms / 60000 - mean_t;
        sxx += t * t;
        sxy += t * (e.delay_ms - mean_d);
    }
    if (events.size() < 2 || !(sxx > 0))
        return std::nullopt;
    Drift drift{sxy / sxx, std::nullopt, std::nullopt};
    if (events.size() < 3)
        return drift;
    double residuals = 0;
    for (const SyncEvent& e : events) {
        const double fitted = mean_d + drift.ms_per_min * (e.video_ms / 60000 - mean_t);
        residuals += (e.delay_ms - fitted) * (e.delay_ms - fitted);
    }
    const double standard_error = std::sqrt(residuals / (n - 2) / sxx);
    const double half_width = student_t_975(n - 2) * standard_error;
    drift.ci95_low = drift.ms_per_min - half_width;
    drift.ci95_high = drift.ms_per_min + half_width;
    return drift;
}

} // namespace

bool Drift::none() const
{
    constexpr double kResolution = 0.0005; // ms/min: half the reported microsecond
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
        delays.push_back(e.delay_ms);
    s.mean_ms = std::accumulate(delays.begin(), delays.end(), 0.0) / double(delays.size());
    s.median_ms = median_of(delays);
    double squares = 0;
    for (double d : delays)
        squares += (d - s.mean_ms) * (d - s.mean_ms);
    s.sd_ms = delays.size() > 1 ? std::sqrt(squares / double(delays.size() - 1)) : 0;
    const auto [low, high] = std::minmax_element(events.begin(), events.end(),
                                                 [](const SyncEvent& a, const SyncEvent& b) { return a.delay_ms < b.delay_ms; });
    s.min = {low->delay_ms, low->video_ms};
    s.max = {high->delay_ms, high->video_ms};
    s.drift = drift_of(events);
    return s;
}

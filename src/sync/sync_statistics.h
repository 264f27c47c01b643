// Figures over the lip-sync events of one recording: spread, extremes and drift.
#pragma once

#include "sync/sync_pairing.h"

#include <optional>
#include <span>
#include <vector>

namespace skelv {

struct DelayExtreme {
    int64_t delay_ns;
    int64_t video_ns; ///< when it happened
};

// Least-squares slope of delay against recording time.
struct Drift {
    double ns_per_min;
    std::optional<double> ci95_low, ci95_high; ///< 95 % confidence interval, ns per minute; needs 3 events
    // True when the interval is known and holds 0 at the microsecond per minute that reports
    // show: the slope is not told apart from noise.
    bool none() const;
};

// Means and spreads are fractions of a nanosecond apart from any event's delay, so they stay
// in floating point.
struct DelayStatistics {
    size_t count = 0;
    double mean_ns = 0, median_ns = 0;
    double sd_ns = 0; ///< sample standard deviation; 0 for one event
    DelayExtreme min{}, max{};
    std::optional<Drift> drift; ///< needs 2 events at different times
};

// Empty events give count 0 and nothing else.
DelayStatistics delay_statistics(const std::vector<SyncEvent>& events);

// The middle value; of an even count, the mean of the middle two. Not of none.
double median_of(std::vector<double> values);

// The distribution-free 95 % interval of a median: the k-th smallest and the k-th largest
// value, k the highest rank that a binomial(n, 1/2) count falls below with at most 2.5 %.
// Fewer than 6 values cannot reach 95 %: their extremes, at the confidence they give.
struct MedianInterval {
    double low = 0, high = 0; ///< in the values' unit
    double coverage = 0;      ///< the interval's confidence
};
// Not of none.
MedianInterval median_interval(std::vector<double> values);

// The least-squares slope common to `stretches`, each at its own level (the pooled slope within
// them); of one stretch, its plain slope. The interval needs an event more than the levels and the slope.
std::optional<Drift> common_drift(const std::vector<std::span<const SyncEvent>>& stretches);

// The two-sided 95 % quantile of Student's t distribution with `dof` degrees of freedom.
double student_t_975(double dof);

} // namespace skelv

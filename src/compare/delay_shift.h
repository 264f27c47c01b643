// How far one set of lip-sync delays lies from another, without assuming their shape: the
// Hodges–Lehmann shift (the median of every difference b - a) and its distribution-free
// interval from the rank distribution of the Mann–Whitney statistic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace skelv {

struct DelayShift {
    int64_t estimate_ns = 0;         ///< median of the pairwise differences b - a
    int64_t low_ns = 0, high_ns = 0; ///< the interval's ends, ns
    double coverage = 0;     ///< the interval's confidence: 0.95 or a little more; less only for a handful of values
    bool exact = false;      ///< the rank distribution counted exactly; else its normal approximation
    size_t used_a = 0, used_b = 0; ///< values the pairs were formed from: fewer than given when thinned
};

// Sides larger than this are thinned to this many evenly spaced order statistics before the
// pairs are formed: at most a million differences, and the interval widens as a smaller
// sample's would, so it stays honest.
inline constexpr size_t kMaxShiftValues = 1000;

// B - A; nothing when a side is empty.
std::optional<DelayShift> delay_shift(std::vector<int64_t> a, std::vector<int64_t> b);

// No change: the interval holds 0 and lies within +-`margin_ns`.
bool shift_is_no_change(const DelayShift& shift, int64_t margin_ns);

// The 1-based rank k of the ordered differences whose k-th and (N+1-k)-th values bound the
// 95 % interval for sides of n and m values; `coverage` and `exact` as in DelayShift.
size_t shift_interval_rank(size_t n, size_t m, double* coverage, bool* exact);

// `sorted` reduced to `at_most` values at evenly spaced quantiles; as it is when not larger.
std::vector<int64_t> thinned(const std::vector<int64_t>& sorted, size_t at_most);

} // namespace skelv

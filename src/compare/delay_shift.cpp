#include "compare/delay_shift.h"

#include <algorithm>
#include <cmath>

namespace skelv {

namespace {

constexpr double kTail = 0.025;       // each side of a 95 % interval
constexpr double kZ = 1.959963984540054;
// Counting the rank distribution exactly costs min(n, m) * n * m steps: a few million at most.
constexpr size_t kMaxExactPairs = 40000;

// P(U <= u) for u = 0..n*m, U the Mann–Whitney count of pairs b > a under no shift (no ties):
// the coefficients of the Gaussian binomial [n+m choose n], built factor by factor.
std::vector<double> rank_distribution(size_t n, size_t m)
{
    const size_t top = n * m;
    std::vector<double> ways(top + 1, 0.0);
    ways[0] = 1;
    for (size_t i = 1; i <= std::min(n, m); i++) {
        const size_t grow = std::max(n, m) + i;
        for (size_t u = top; u >= grow; u--) // times (1 - q^grow)
            ways[u] -= ways[u - grow];
        for (size_t u = i; u <= top; u++) // divided by (1 - q^i)
            ways[u] += ways[u - i];
    }
    double total = 0;
    for (double& w : ways)
        w = total += w;
    for (double& w : ways)
        w /= total;
    return ways;
}

double normal_below(double z)
{
    return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// The k-th smallest (1-based) of `values`, which it reorders.
int64_t order_statistic(std::vector<int64_t>* values, size_t k)
{
    std::nth_element(values->begin(), values->begin() + std::ptrdiff_t(k - 1), values->end());
    return (*values)[k - 1];
}

} // namespace

size_t shift_interval_rank(size_t n, size_t m, double* coverage, bool* exact)
{
    const double pairs = double(n) * double(m);
    *exact = n * m <= kMaxExactPairs;
    if (*exact) {
        const std::vector<double> below = rank_distribution(n, m); // below[u] = P(U <= u)
        size_t k = 1;
        while (k < n * m && below[k] <= kTail) // P(U <= k) for the next k
            k++;
        *coverage = 1 - 2 * below[k - 1];
        return k;
    }
    // Normal approximation with a continuity correction; ties are not corrected for (delays
    // are read to the microsecond, ties are rare).
    const double sd = std::sqrt(pairs * double(n + m + 1) / 12);
    const double k = std::max(1.0, std::floor(pairs / 2 - kZ * sd + 0.5));
    *coverage = 1 - 2 * normal_below((k - 0.5 - pairs / 2) / sd);
    return size_t(k);
}

std::vector<int64_t> thinned(const std::vector<int64_t>& sorted, size_t at_most)
{
    if (sorted.size() <= at_most)
        return sorted;
    std::vector<int64_t> kept;
    for (size_t i = 0; i < at_most; i++)
        kept.push_back(sorted[(2 * i + 1) * sorted.size() / (2 * at_most)]);
    return kept;
}

bool shift_is_no_change(const DelayShift& shift, int64_t margin_ns)
{
    return shift.low_ns <= 0 && shift.high_ns >= 0 && shift.low_ns >= -margin_ns && shift.high_ns <= margin_ns;
}

std::optional<DelayShift> delay_shift(std::vector<int64_t> a, std::vector<int64_t> b)
{
    if (a.empty() || b.empty())
        return std::nullopt;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    a = thinned(a, kMaxShiftValues);
    b = thinned(b, kMaxShiftValues);
    std::vector<int64_t> differences;
    differences.reserve(a.size() * b.size());
    for (int64_t x : a)
        for (int64_t y : b)
            differences.push_back(y - x);
    DelayShift shift;
    shift.used_a = a.size();
    shift.used_b = b.size();
    const size_t count = differences.size();
    const size_t k = shift_interval_rank(a.size(), b.size(), &shift.coverage, &shift.exact);
    shift.low_ns = order_statistic(&differences, k);
    shift.high_ns = order_statistic(&differences, count + 1 - k);
    const int64_t upper_middle = order_statistic(&differences, count / 2 + 1);
    const int64_t lower_middle = count % 2 ? upper_middle : order_statistic(&differences, count / 2);
    shift.estimate_ns = lower_middle + (upper_middle - lower_middle) / 2;
    return shift;
}

} // namespace skelv

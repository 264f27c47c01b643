// The delay shift between two sets of runs: the Hodges–Lehmann estimate, its rank interval
// and the no-change rule, on samples whose shift and spread are designed.
#include "compare/delay_shift.h"

#include <gtest/gtest.h>

#include <random>

using namespace skelv;

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kMargin = 5 * kMs;

std::vector<int64_t> ms_values(std::initializer_list<int64_t> ms)
{
    std::vector<int64_t> ns;
    for (int64_t v : ms)
        ns.push_back(v * kMs);
    return ns;
}

// `count` delays around `centre_ms` with a standard deviation of `sd_ms`, the same on every run.
std::vector<int64_t> drawn(size_t count, double centre_ms, double sd_ms, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> delay(centre_ms, sd_ms);
    std::vector<int64_t> ns;
    for (size_t i = 0; i < count; i++)
        ns.push_back(int64_t(delay(random) * double(kMs)));
    return ns;
}

} // namespace

// Sides of 4, 3 and 5: the exact rank distribution counted by hand (partitions in a box).
TEST(DelayShift, IntervalRankFromTheExactRankDistribution)
{
    struct Case {
        size_t n, m, rank;
        double coverage;
    } cases[] = {
        {4, 4, 1, 1 - 2.0 / 70},  // P(U = 0) = 1/70 <= 2.5 %, P(U <= 1) = 2/70 above
        {5, 5, 3, 1 - 8.0 / 252}, // P(U <= 2) = 4/252, P(U <= 3) = 7/252
        {3, 3, 1, 1 - 2.0 / 20},  // too few for 95 %: the widest interval, 90 %
    };
    for (const Case& c : cases) {
        double coverage = 0;
        bool exact = false;
        EXPECT_EQ(shift_interval_rank(c.n, c.m, &coverage, &exact), c.rank) << c.n << " x " << c.m;
        EXPECT_NEAR(coverage, c.coverage, 1e-12);
        EXPECT_TRUE(exact);
    }
}

// Large sides use the normal approximation; 200 x 200 is the last counted exactly.
TEST(DelayShift, NormalApproximationMeetsTheExactRank)
{
    double exact_coverage = 0, normal_coverage = 0;
    bool exact = false, normal_exact = true;
    const size_t exact_rank = shift_interval_rank(200, 200, &exact_coverage, &exact);
    const size_t normal_rank = shift_interval_rank(200, 201, &normal_coverage, &normal_exact);
    ASSERT_TRUE(exact);
    ASSERT_FALSE(normal_exact);
    // mn/2 - 1.96 sd + 0.5 with sd = sqrt(200 * 201 * 402 / 12) = 1160.5: 17826.01 for 200 x 201.
    EXPECT_EQ(normal_rank, 17826u);
    // Counted in exact integers apart from this code: P(U <= 17734) <= 2.5 % < P(U <= 17735).
    EXPECT_EQ(exact_rank, 17735u);
    EXPECT_NEAR(normal_coverage, 0.95, 0.001);
}

// A = {1, 2, 4, 7}, B = {3, 5, 8, 10} ms: the 16 differences sorted are -4 -2 -1 1 1 1 2 3 3 4
// 4 6 6 7 8 9; the median is 3, and with rank 1 the interval spans them all.
TEST(DelayShift, TinyCaseByHand)
{
    const auto shift = delay_shift(ms_values({7, 1, 4, 2}), ms_values({10, 3, 8, 5}));
    ASSERT_TRUE(shift);
    EXPECT_EQ(shift->estimate_ns, 3 * kMs);
    EXPECT_EQ(shift->low_ns, -4 * kMs);
    EXPECT_EQ(shift->high_ns, 9 * kMs);
    EXPECT_TRUE(shift->exact);
}

TEST(DelayShift, DesignedShiftsAgainstTheMargin)
{
    struct Case {
        const char* what;
        double shift_ms, sd_ms;
        size_t count;
        bool no_change;
    } cases[] = {
        {"no shift, tight", 0, 1, 200, true},
        {"3 ms, tight: a real shift, inside the margin but not 0", 3, 1, 200, false},
        {"3 ms, loose: the interval reaches beyond the margin", 3, 10, 10, false},
        {"10 ms", 10, 2, 50, false},
        {"no shift but too loose to tell", 0, 20, 10, false},
        {"3 ms over a few thousand delays, thinned", 3, 2, 5000, false},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        const auto shift = delay_shift(drawn(c.count, 20, c.sd_ms, seed), drawn(c.count, 20 + c.shift_ms, c.sd_ms, seed + 1));
        seed += 2;
        ASSERT_TRUE(shift) << c.what;
        EXPECT_LE(shift->low_ns, int64_t(c.shift_ms * kMs)) << c.what;
        EXPECT_GE(shift->high_ns, int64_t(c.shift_ms * kMs)) << c.what;
        EXPECT_NEAR(double(shift->estimate_ns) / kMs, c.shift_ms, 4 * c.sd_ms / std::sqrt(double(c.count)) + 0.1) << c.what;
        EXPECT_EQ(shift_is_no_change(*shift, kMargin), c.no_change) << c.what;
        EXPECT_EQ(shift->used_a, std::min(c.count, kMaxShiftValues)) << c.what;
    }
}

TEST(DelayShift, ASetAgainstItselfIsNoChange)
{
    const std::vector<int64_t> delays = drawn(300, 40, 6, 7);
    const auto shift = delay_shift(delays, delays);
    ASSERT_TRUE(shift);
    EXPECT_EQ(shift->estimate_ns, 0);
    EXPECT_LT(shift->low_ns, 0);
    EXPECT_GT(shift->high_ns, 0);
    EXPECT_TRUE(shift_is_no_change(*shift, kMargin));
}

TEST(DelayShift, NothingWhenASideIsEmpty)
{
    EXPECT_FALSE(delay_shift({}, ms_values({1})));
    EXPECT_FALSE(delay_shift(ms_values({1}), {}));
}

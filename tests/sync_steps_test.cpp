// Steps in the lip-sync delay and the stretches between them, on delays made from their design.
#include "rules/time_units.h"
#include "sync/delay_steps.h"

#include <random>

#include <gtest/gtest.h>

using namespace skelv;

namespace {

struct Design {
    double drift_ms_per_min = 0;
    double noise_ms = 0;                            ///< each delay off by up to this, either way
    std::vector<std::pair<size_t, double>> steps{}; ///< first event after the step, its size in ms
    std::vector<std::pair<size_t, double>> strays{}; ///< one event's delay off by so many ms
};

// 40 events a second apart from 0.5 s, 40 ms late, as designed.
std::vector<SyncEvent> events_of(const Design& design)
{
    std::mt19937 random(7);
    std::vector<SyncEvent> events;
    for (size_t i = 0; i < 40; i++) {
        const double seconds = 0.5 + double(i);
        double delay_ms = 40 + design.drift_ms_per_min * seconds / 60;
        for (const auto& [first, size] : design.steps)
            delay_ms += i >= first ? size : 0;
        for (const auto& [at, size] : design.strays)
            delay_ms += i == at ? size : 0;
        const int64_t noise_us = int64_t(random() % 2001) - 1000;
        const int64_t video = ns_of_seconds(seconds), delay = ns_of_ms(delay_ms) + noise_us * int64_t(design.noise_ms * 1000);
        events.push_back({int64_t(i), 0, video, video + delay, delay});
    }
    return events;
}

TEST(DelaySteps, FoundWhereTheDelayJumpsAndNowhereElse)
{
    const struct {
        const char* name;
        Design design;
        double tolerance_ms = 1;
    } cases[] = {
        {"steady", {}},
        {"drift of -60 ms/min", {-60}},
        {"steep drift of +900 ms/min", {900}},
        {"drift of -300 ms/min, noise of 1 ms", {-300, 1}},
        {"noise of 1 ms", {0, 1}},
        {"two stray readings", {0, 0, {}, {{20, 40}, {30, -40}}}},
        {"stray readings every other event", {0, 1, {}, {{20, 40}, {22, 40}, {24, 40}, {26, 40}}}},
        {"+20 ms", {0, 0, {{20, 20}}}},
        {"-20 ms", {0, 0, {{20, -20}}}},
        {"+100 ms", {0, 0, {{17, 100}}}},
        {"-100 ms", {0, 0, {{23, -100}}}},
        {"+500 ms", {0, 0, {{20, 500}}}},
        {"-500 ms", {0, 0, {{20, -500}}}},
        {"-100 ms in a drift of +60 ms/min", {60, 0, {{20, -100}}}},
        {"+20 ms in noise of 1 ms", {0, 1, {{20, 20}}}, 2},
        {"-100 ms in noise of 1 ms and a drift of -60 ms/min", {-60, 1, {{20, -100}}}, 2},
        {"two steps", {0, 0, {{12, -100}, {28, 20}}}},
        {"near the start", {0, 0, {{3, 100}}}},
        {"near the end", {0, 0, {{37, -100}}}},
        {"a resync that jumps and comes back", {0, 0, {{15, 80}, {25, -80}}}},
    };
    for (const auto& c : cases) {
        const DelaySteps found = delay_steps(events_of(c.design));
        const auto& expected = c.design.steps;
        ASSERT_EQ(found.steps.size(), expected.size()) << c.name;
        for (size_t i = 0; i < expected.size(); i++) {
            EXPECT_EQ(found.steps[i].first_event, expected[i].first) << c.name;
            EXPECT_EQ(found.steps[i].at_ns, ns_of_seconds(0.5 + double(expected[i].first))) << c.name;
            EXPECT_NEAR(ms_of(found.steps[i].size_ns), expected[i].second, c.tolerance_ms) << c.name;
        }
        EXPECT_EQ(found.stretches.size(), expected.size() + 1) << c.name;
        ASSERT_TRUE(found.drift && found.drift->ci95_low) << c.name;
        // Within the stretches, the designed drift: exact on clean delays, within the interval on noisy ones.
        EXPECT_LE(*found.drift->ci95_low, c.design.drift_ms_per_min * 1e6 + 500) << c.name;
        EXPECT_GE(*found.drift->ci95_high, c.design.drift_ms_per_min * 1e6 - 500) << c.name;
    }
}

TEST(DelaySteps, EachStretchHasItsOwnFigures)
{
    const DelaySteps found = delay_steps(events_of({0, 0, {{12, -100}, {28, 20}}}));
    const struct {
        size_t count;
        double from_s, to_s, median_ms;
    } expected[] = {{12, 0.5, 11.5, 40}, {16, 12.5, 27.5, -60}, {12, 28.5, 39.5, -40}};
    ASSERT_EQ(found.stretches.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        const DelayStretch& s = found.stretches[i];
        EXPECT_EQ(std::tuple(s.statistics.count, s.from_ns, s.to_ns),
                  std::tuple(expected[i].count, ns_of_seconds(expected[i].from_s), ns_of_seconds(expected[i].to_s)));
        EXPECT_EQ(std::tuple(s.statistics.median_ns, s.statistics.mean_ns, s.statistics.sd_ns),
                  std::tuple(expected[i].median_ms * 1e6, expected[i].median_ms * 1e6, 0.0));
        EXPECT_NEAR(s.statistics.drift->ns_per_min, 0, 1);
    }
    EXPECT_TRUE(found.drift->none());

    // Few events: one stretch, no step, however they jump.
    const std::vector<SyncEvent> jumping = events_of({0, 0, {{2, 100}}}), five(jumping.begin(), jumping.begin() + 5);
    EXPECT_EQ(std::pair(delay_steps({}).stretches.size(), delay_steps(five).steps.size()), std::pair(0ul, 0ul));
}

// Two stretches of three events a minute apart: by hand, within each (t - mean t) is -1, 0, 1
// minute; Sxy = 1 + 3, Sxx = 2 + 2, slope 1 ms/min; residuals 0, 1, -1 and 0, -1, 1, so
// s = sqrt(4 / 3 / 4) and t(0.975, 3) = 3.182446305.
TEST(DelaySteps, CommonDriftIsThePooledSlope)
{
    std::vector<SyncEvent> events;
    const double delays_ms[] = {0, 2, 1, 10, 10, 13};
    for (int i = 0; i < 6; i++)
        events.push_back({i, 0, i * kNsPerMinute, 0, ns_of_ms(delays_ms[i])});
    const std::span<const SyncEvent> all(events);
    const std::optional<Drift> drift = common_drift({all.first(3), all.last(3)});
    ASSERT_TRUE(drift && drift->ci95_low);
    const double half_width = 3.182446305 * std::sqrt(4.0 / 3 / 4);
    EXPECT_NEAR(drift->ns_per_min, 1e6, 1e-3);
    EXPECT_NEAR(*drift->ci95_low, (1 - half_width) * 1e6, 1);
    EXPECT_NEAR(*drift->ci95_high, (1 + half_width) * 1e6, 1);
}

} // namespace

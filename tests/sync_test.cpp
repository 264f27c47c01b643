// Pairing beeps with flashes, the delay figures and the verdicts against the profiles.
#include "robust/sync_pairing.h"
#include "robust/sync_statistics.h"
#include "robust/sync_verdict.h"

#include <gtest/gtest.h>

namespace {

TEST(SyncPairing, EachBeepGoesWithItsOwnFlash)
{
    const struct {
        const char* name;
        std::vector<double> beeps;
        double expected_delay;
        std::vector<double> delays;     ///< of the events, in order
        std::vector<int64_t> missing;   ///< source frames of flashes without a beep
        std::vector<double> unmatched;  ///< onsets of beeps without a flash
        int flashes = 4;                ///< once a second from 0.5 s, source frames 12, 37, 62, ... at 25 fps
    } cases[] = {
        // The beep of the second flash is missing: the later pairs do not move.
        {"missing beep", {520, 2520, 3520}, 0, {20, 20, 20}, {37}, {}},
        {"extra beep between flashes", {520, 1020, 1520, 2520, 3520}, 0, {20, 20, 20, 20}, {}, {1020}},
        {"two beeps near one flash: the nearer wins", {520, 1470, 1530, 2520, 3520}, 0, {20, -30, 20, 20}, {}, {1530}},
        {"beyond half the spacing", {520, 1520, 2520, 4100}, 0, {20, 20, 20}, {87}, {4100}},
        {"leading sound", {480, 1480, 2480, 3480}, 0, {-20, -20, -20, -20}, {}, {}},
        // 700 ms late is nearer to the next flash unless the designed offset is known.
        {"designed offset", {1200, 2200, 3200, 4200}, 700, {700, 700, 700, 700}, {}, {}},
        {"no flashes", {100, 200}, 0, {}, {}, {100, 200}, 0},
    };
    for (const auto& c : cases) {
        std::vector<Flash> flashes;
        for (int i = 0; i < c.flashes; i++)
            flashes.push_back({12 + 25 * i, 0, 500.0 + 1000.0 * i});
        const SyncPairing pairing = sync_pair(flashes, c.beeps, c.expected_delay);
        std::vector<double> delays;
        for (const SyncEvent& e : pairing.events)
            delays.push_back(e.delay_ms);
        std::vector<int64_t> missing;
        for (const Flash& f : pairing.missing_beeps)
            missing.push_back(f.source_frame);
        EXPECT_EQ(delays, c.delays) << c.name;
        EXPECT_EQ(missing, c.missing) << c.name;
        EXPECT_EQ(pairing.unmatched_beeps, c.unmatched) << c.name;
    }
}

// Events `spacing` seconds apart from `first` second, with these delays.
std::vector<SyncEvent> events(double first, double spacing, const std::vector<double>& delays)
{
    std::vector<SyncEvent> list;
    for (size_t i = 0; i < delays.size(); i++)
        list.push_back({int64_t(i), 0, (first + spacing * double(i)) * 1000, (first + spacing * double(i)) * 1000 + delays[i], delays[i]});
    return list;
}

// Reference figures computed independently (ordinary least squares by hand, t table).
TEST(SyncStatistics, FiguresAndDrift)
{
    const DelayStatistics s = delay_statistics(
        events(0.5, 1, {20.1, 20.4, 19.8, 20.6, 20.2, 21.0, 20.5}));
    EXPECT_NEAR(s.mean_ms, 20.371428571, 1e-9);
    EXPECT_NEAR(s.sd_ms, 0.386066858, 1e-9);
    EXPECT_EQ(std::tuple(s.count, s.median_ms, s.min.delay_ms, s.min.video_ms, s.max.delay_ms, s.max.video_ms),
        std::tuple(size_t(7), 20.4, 19.8, 2500.0, 21.0, 5500.0));
    ASSERT_TRUE(s.drift);
    EXPECT_NEAR(s.drift->ms_per_min, 6.0, 1e-9);
    // 6 ± t(0.975, 5) · 3.974407927
    EXPECT_NEAR(*s.drift->ci95_low, 6.0 - 2.570581836 * 3.974407927, 1e-6);
    EXPECT_NEAR(*s.drift->ci95_high, 6.0 + 2.570581836 * 3.974407927, 1e-6);
    EXPECT_TRUE(s.drift->none()) << "seven seconds of jitter tell no drift";

    // An exact 2 ms/min slope has a zero-width interval.
    const DelayStatistics drifting = delay_statistics(events(0, 60, {10, 12, 14, 16}));
    EXPECT_NEAR(drifting.drift->ms_per_min, 2.0, 1e-12);
    EXPECT_FALSE(drifting.drift->none());
    EXPECT_DOUBLE_EQ(drifting.median_ms, 13.0) << "even count: mean of the middle two";
    // A steady delay: rounding leaves a slope and interval of a few 1e-15 ms/min, no drift.
    const DelayStatistics steady = delay_statistics(events(0.88, 1, std::vector<double>(5, 21.604)));
    EXPECT_TRUE(steady.drift->none());

    // Too few events: no spread from one, no interval from two.
    EXPECT_EQ(delay_statistics({}).count, 0u);
    const DelayStatistics one = delay_statistics(events(1, 1, {5}));
    EXPECT_EQ(std::pair(one.sd_ms, one.drift.has_value()), std::pair(0.0, false));
    const DelayStatistics two = delay_statistics(events(0, 60, {5, 6}));
    ASSERT_TRUE(two.drift);
    EXPECT_FALSE(two.drift->ci95_low);
    EXPECT_FALSE(two.drift->none());
}

// 22 events a second apart from 0.5 s in a 22 s recording (first and last in its edge seconds).
std::vector<SyncEvent> steady_but(double base, std::vector<std::pair<size_t, double>> changes)
{
    std::vector<double> delays(22, base);
    for (auto [i, d] : changes)
        delays[i] = base + d;
    return events(0.5, 1, delays);
}

// Each profile's published limits (audio lead / lag, ms), inclusive, around a designed offset of
// 20 ms. Two events of twenty beyond them fail every profile, wave's 95 % as well.
TEST(SyncVerdict, EveryProfileKeepsItsLimits)
{
    const struct { const char* name; double lead_ms, lag_ms; } profiles[] = {
        {"ebu-r37", 40, 60}, {"atsc-is191", 15, 45}, {"bt1359-detect", 45, 125}, {"bt1359-accept", 90, 185}, {"wave", 40, 120}};
    EXPECT_EQ(sync_profile_find("nonsense"), nullptr);
    for (const auto& p : profiles) {
        const SyncProfile* profile = sync_profile_find(p.name);
        ASSERT_NE(profile, nullptr) << p.name;
        for (const auto& [delay, verdict] : {std::pair{-p.lead_ms, SyncVerdict::Pass}, {p.lag_ms, SyncVerdict::Pass},
                 {-p.lead_ms - 0.01, SyncVerdict::Fail}, {p.lag_ms + 0.01, SyncVerdict::Fail}})
            EXPECT_EQ(sync_judge(steady_but(20, {{5, delay}, {6, delay}}), *profile, 20, 0, 22000).verdict, verdict)
                << p.name << ", " << delay << " ms";
        EXPECT_EQ(sync_judge({}, *profile, 0, 0, 22000).verdict, SyncVerdict::Unmeasurable) << p.name;
    }
}

TEST(SyncVerdict, WaveJudgesMostEventsAwayFromTheEdges)
{
    const SyncProfile& wave = *sync_profile_find("wave");
    const SyncJudgement one_out = sync_judge(steady_but(0, {{5, 130}}), wave, 0, 0, 22000);
    EXPECT_EQ(std::pair(one_out.verdict, one_out.judged), std::pair(SyncVerdict::Pass, size_t(20))) << "19 of 20 within";
    EXPECT_EQ(sync_judge(steady_but(0, {{0, 500}, {21, 500}}), wave, 0, 0, 22000).verdict, SyncVerdict::Pass);
    const SyncJudgement edges = sync_judge(steady_but(0, {{0, 61}}), *sync_profile_find("ebu-r37"), 0, 0, 22000);
    EXPECT_EQ(std::pair(edges.verdict, edges.judged), std::pair(SyncVerdict::Fail, size_t(22))) << "other profiles judge the edges";
    const SyncJudgement custom = sync_judge(steady_but(0, {{2, -10}}), sync_profile_custom(5, 5), 0, 0, 22000);
    EXPECT_EQ(custom.verdict, SyncVerdict::Fail);
    EXPECT_NEAR(custom.pass_fraction, 21.0 / 22.0, 1e-12);
}

} // namespace

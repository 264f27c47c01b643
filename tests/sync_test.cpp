// Pairing beeps with flashes, the delay figures and the verdicts against the profiles.
#include "rules/time_units.h"
#include "sync/sync_pairing.h"
#include "sync/sync_statistics.h"
#include "sync/live_pairing.h"
#include "sync/sync_verdict.h"

#include <cmath>

#include <gtest/gtest.h>

using namespace skelv;

namespace {

std::vector<int64_t> ns_of(const std::vector<double>& ms)
{
    std::vector<int64_t> ns;
    for (double v : ms)
        ns.push_back(ns_of_ms(v));
    return ns;
}

// Flashes once a second from 0.5 s, source frames 12, 37, 62, ... at 25 fps.
std::vector<Flash> flashes_each_second(int count)
{
    std::vector<Flash> flashes;
    for (int i = 0; i < count; i++)
        flashes.push_back({12 + 25 * i, 0, ns_of_ms(500.0 + 1000.0 * i)});
    return flashes;
}

std::vector<int64_t> source_frames(const std::vector<Flash>& flashes)
{
    std::vector<int64_t> frames;
    for (const Flash& f : flashes)
        frames.push_back(f.source_frame);
    return frames;
}

TEST(SyncPairing, EachBeepGoesWithItsOwnFlash)
{
    const struct {
        const char* name;
        std::vector<double> beeps;
        double expected_delay;
        std::vector<double> delays;     ///< of the events, in order
        std::vector<int64_t> missing;   ///< source frames of flashes without a beep
        std::vector<double> unmatched;  ///< onsets of beeps without a flash
        int flashes = 4;
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
        const SyncPairing pairing = sync_pair(flashes_each_second(c.flashes), ns_of(c.beeps), ns_of_ms(c.expected_delay));
        std::vector<int64_t> delays;
        for (const SyncEvent& e : pairing.events)
            delays.push_back(e.delay_ns);
        EXPECT_EQ(delays, ns_of(c.delays)) << c.name;
        EXPECT_EQ(source_frames(pairing.missing_beeps), c.missing) << c.name;
        EXPECT_EQ(pairing.unmatched_beeps, ns_of(c.unmatched)) << c.name;
    }
}

// Flashes once a second from 0.5 s to 3.5 s, beeps 20 ms later, the streams cut where a
// live run stopped: what lies within the reach of the cut (half a second) is forgiven, what
// lies before it stays a fault.
TEST(SyncPairing, ACutForgivesOnlyWhatCouldStillHaveCome)
{
    const struct {
        const char* name;
        std::vector<double> beeps;
        double picture_end, sound_end;
        std::vector<int64_t> missing;
        std::vector<double> unmatched;
    } cases[] = {
        {"the sound stopped before the last beep", {520, 1520, 2520}, 3600, 3600, {}, {}},
        {"a beep lost long before the cut", {520, 2520}, 3600, 3600, {37}, {}},
        {"the sound went on 600 ms past the last flash", {520, 1520, 2520}, 3600, 4100, {87}, {}},
        {"the picture stopped before the last flash", {520, 1520, 2520, 3520, 4520}, 3600, 4600, {}, {}},
        {"a beep with no flash long before the cut", {520, 1020, 1520, 2520, 3520}, 3600, 3600, {}, {1020}},
    };
    for (const auto& c : cases) {
        const std::vector<Flash> flashes = flashes_each_second(4);
        SyncPairing pairing = sync_pair(flashes, ns_of(c.beeps), 0);
        forgive_cut(&pairing, flashes, ns_of_ms(c.picture_end), ns_of_ms(c.sound_end), 0);
        EXPECT_EQ(source_frames(pairing.missing_beeps), c.missing) << c.name;
        EXPECT_EQ(pairing.unmatched_beeps, ns_of(c.unmatched)) << c.name;
    }
}

// Fed piece by piece as a live run reads, the pairs settle to what the whole pairing finds:
// missing and stray beeps, a designed offset, a beep between two flashes.
TEST(LivePairing, SettlesToTheWholePairing)
{
    const struct {
        const char* name;
        std::vector<double> beeps;
        double expected_delay;
    } cases[] = {
        {"steady", {520, 1520, 2520, 3520, 4520, 5520}, 0},
        {"missing beep and a stray", {520, 1020, 2520, 3530, 4480, 5520}, 0},
        {"designed offset", {1200, 2200, 3200, 4200, 5200, 6200}, 700},
        {"two beeps near one flash", {520, 1470, 1530, 2520, 3520, 4520}, 0},
    };
    for (const auto& c : cases) {
        const std::vector<Flash> flashes = flashes_each_second(6);
        const std::vector<int64_t> beeps = ns_of(c.beeps);
        LivePairing live(ns_of_ms(c.expected_delay));
        std::vector<SyncEvent> settled;
        // Every 100 ms of both clocks, what has come in so far.
        size_t flash = 0, beep = 0;
        for (int64_t now = 0; now < 9 * kNsPerSecond; now += 100 * kNsPerMs) {
            for (; flash < flashes.size() && flashes[flash].video_ns <= now; ++flash)
                live.add_flash(flashes[flash]);
            for (; beep < beeps.size() && beeps[beep] <= now; ++beep)
                live.add_beep(beeps[beep]);
            for (const SyncEvent& e : live.settle(now, now))
                settled.push_back(e);
        }
        const SyncPairing whole = sync_pair(flashes, beeps, ns_of_ms(c.expected_delay));
        ASSERT_EQ(settled.size(), whole.events.size()) << c.name;
        for (size_t i = 0; i < settled.size(); ++i)
            EXPECT_EQ(std::tuple(settled[i].flash_frame, settled[i].audio_ns),
                      std::tuple(whole.events[i].flash_frame, whole.events[i].audio_ns)) << c.name;
    }
}

// Events `spacing` seconds apart from `first` second, with these delays.
std::vector<SyncEvent> events(double first, double spacing, const std::vector<double>& delays)
{
    std::vector<SyncEvent> list;
    for (size_t i = 0; i < delays.size(); i++) {
        const int64_t video = ns_of_seconds(first + spacing * double(i)), delay = ns_of_ms(delays[i]);
        list.push_back({int64_t(i), 0, video, video + delay, delay});
    }
    return list;
}

// Reference figures computed independently (ordinary least squares by hand, t table).
TEST(SyncStatistics, FiguresAndDrift)
{
    const DelayStatistics s = delay_statistics(
        events(0.5, 1, {20.1, 20.4, 19.8, 20.6, 20.2, 21.0, 20.5}));
    EXPECT_NEAR(s.mean_ns, 20.371428571e6, 1e-3);
    EXPECT_NEAR(s.sd_ns, 0.386066858e6, 1e-3);
    EXPECT_EQ(std::tuple(s.count, s.median_ns, s.min.delay_ns, s.min.video_ns, s.max.delay_ns, s.max.video_ns),
        std::tuple(size_t(7), 20.4e6, int64_t(19'800'000), int64_t(2'500'000'000), int64_t(21'000'000),
                   int64_t(5'500'000'000)));
    ASSERT_TRUE(s.drift);
    EXPECT_NEAR(s.drift->ns_per_min, 6.0e6, 1e-3);
    // 6 ± t(0.975, 5) · 3.974407927 ms/min
    EXPECT_NEAR(*s.drift->ci95_low, (6.0 - 2.570581836 * 3.974407927) * 1e6, 1);
    EXPECT_NEAR(*s.drift->ci95_high, (6.0 + 2.570581836 * 3.974407927) * 1e6, 1);
    EXPECT_TRUE(s.drift->none()) << "seven seconds of jitter tell no drift";

    // An exact 2 ms/min slope has a zero-width interval.
    const DelayStatistics drifting = delay_statistics(events(0, 60, {10, 12, 14, 16}));
    EXPECT_NEAR(drifting.drift->ns_per_min, 2.0e6, 1e-6);
    EXPECT_FALSE(drifting.drift->none());
    EXPECT_DOUBLE_EQ(drifting.median_ns, 13.0e6) << "even count: mean of the middle two";
    // A steady delay: rounding leaves a slope and interval of a tiny fraction of a ns/min, no drift.
    const DelayStatistics steady = delay_statistics(events(0.88, 1, std::vector<double>(5, 21.604)));
    EXPECT_TRUE(steady.drift->none());

    // Too few events: no spread from one, no interval from two.
    EXPECT_EQ(delay_statistics({}).count, 0u);
    const DelayStatistics one = delay_statistics(events(1, 1, {5}));
    EXPECT_EQ(std::pair(one.sd_ns, one.drift.has_value()), std::pair(0.0, false));
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

SyncProfile profile_named(const std::string& name, std::optional<double> lead_ms = {},
                          std::optional<double> lag_ms = {})
{
    SyncProfile profile;
    std::string error;
    EXPECT_TRUE(choose_profile(name, lead_ms, lag_ms, &profile, &error)) << error;
    return profile;
}

// The span of a 22 s recording, judged around a designed offset of `expected_ms`.
JudgedSpan span(double expected_ms)
{
    return {ns_of_ms(expected_ms), 0, 22 * kNsPerSecond};
}

// Each profile's published limits (audio lead / lag, ms), inclusive, around a designed offset of
// 20 ms. Two events of twenty beyond them fail every profile, wave's 95 % as well.
TEST(SyncVerdict, EveryProfileKeepsItsLimits)
{
    const struct { const char* name; double lead_ms, lag_ms; } profiles[] = {
        {"ebu-r37", 40, 60}, {"atsc-is191", 15, 45}, {"bt1359-detect", 45, 125}, {"bt1359-accept", 90, 185}, {"wave", 40, 120}};
    for (const auto& p : profiles) {
        const SyncProfile profile = profile_named(p.name);
        for (const auto& [delay, verdict] : {std::pair{-p.lead_ms, SyncVerdict::Pass}, {p.lag_ms, SyncVerdict::Pass},
                 {-p.lead_ms - 0.01, SyncVerdict::Fail}, {p.lag_ms + 0.01, SyncVerdict::Fail}})
            EXPECT_EQ(sync_judge(steady_but(20, {{5, delay}, {6, delay}}), profile, span(20)).verdict, verdict)
                << p.name << ", " << delay << " ms";
        EXPECT_EQ(sync_judge({}, profile, span(0)).verdict, SyncVerdict::Unmeasurable) << p.name;
    }
}

TEST(SyncVerdict, WaveJudgesMostEventsAwayFromTheEdges)
{
    const SyncProfile wave = profile_named("wave");
    const SyncJudgement one_out = sync_judge(steady_but(0, {{5, 130}}), wave, span(0));
    EXPECT_EQ(std::pair(one_out.verdict, one_out.judged), std::pair(SyncVerdict::Pass, size_t(20))) << "19 of 20 within";
    EXPECT_EQ(sync_judge(steady_but(0, {{0, 500}, {21, 500}}), wave, span(0)).verdict, SyncVerdict::Pass);
    const SyncJudgement edges = sync_judge(steady_but(0, {{0, 61}}), profile_named("ebu-r37"), span(0));
    EXPECT_EQ(std::pair(edges.verdict, edges.judged), std::pair(SyncVerdict::Fail, size_t(22))) << "other profiles judge the edges";
    const SyncJudgement custom = sync_judge(steady_but(0, {{2, -10}}), profile_named("ebu-r37", 5, 5), span(0));
    EXPECT_EQ(custom.verdict, SyncVerdict::Fail);
    EXPECT_NEAR(custom.pass_fraction, 21.0 / 22.0, 1e-12);
}

// Limits that mean nothing are refused, not turned into a profile that judges every event
// unmeasurable or within.
TEST(SyncVerdict, ProfileParserRefusesWhatMeansNothing)
{
    const struct {
        std::string name;
        std::optional<double> lead_ms, lag_ms;
        const char* error; ///< nullptr: accepted
    } cases[] = {
        {"ebu-r37", {}, {}, nullptr},
        {"atsc-is191", 0, 120.5, nullptr},
        {"nonsense", {}, {}, "unknown profile nonsense: use one of ebu-r37, atsc-is191, bt1359-detect, bt1359-accept, wave"},
        {"ebu-r37", 10, {}, "--lead-ms and --lag-ms go together"},
        {"ebu-r37", NAN, 10, "--lead-ms and --lag-ms take a number of ms from 0 to 60000"},
        {"ebu-r37", 10, INFINITY, "--lead-ms and --lag-ms take a number of ms from 0 to 60000"},
        {"ebu-r37", -1, 10, "--lead-ms and --lag-ms take a number of ms from 0 to 60000"},
    };
    for (const auto& c : cases) {
        SyncProfile profile;
        std::string error;
        EXPECT_EQ(choose_profile(c.name, c.lead_ms, c.lag_ms, &profile, &error), c.error == nullptr) << c.name;
        EXPECT_EQ(error, c.error ? c.error : "") << c.name;
    }
    for (double ms : {double(NAN), double(INFINITY), -double(INFINITY), 1e10})
        EXPECT_FALSE(valid_expected_delay_ms(ms)) << ms;
    EXPECT_TRUE(valid_expected_delay_ms(-21.6));
}

} // namespace

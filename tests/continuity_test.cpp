#include "robust/continuity.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// A capture as numbers: a source frame number per captured frame, -1 for an unreadable one;
// `loop_starts`: the captured frames at which a new loop begins.
struct Case {
    const char* name;
    std::vector<int> sources;
    int64_t shown, dropped, unresolved, repeated, out_of_order;
    std::map<int32_t, int64_t> display_counts;
    std::vector<size_t> loop_starts = {};
};

ContinuityReport track(const std::vector<int>& sources, const std::vector<size_t>& loop_starts = {},
    const std::vector<size_t>& flashes = {})
{
    ContinuityTracker tracker;
    int32_t loop = 0;
    for (size_t n = 0; n < sources.size(); ++n) {
        for (size_t start : loop_starts)
            loop += start == n;
        FrameReading frame;
        frame.time_ns = int64_t(n) * 40'000'000;
        frame.kind = sources[n] >= 0 ? FrameKind::Content : FrameKind::Unreadable;
        frame.source = sources[n];
        frame.loop = loop;
        frame.flash = std::find(flashes.begin(), flashes.end(), n) != flashes.end();
        tracker.add(frame);
    }
    return tracker.finish();
}

TEST(Continuity, CountsFromTheNumbers)
{
    const Case cases[] = {
        {"every frame once", {0, 1, 2, 3, 4}, 5, 0, 0, 0, 0, {{1, 5}}},
        {"every frame twice", {0, 0, 1, 1, 2, 2}, 3, 0, 0, 3, 0, {{2, 3}}},
        {"one in five twice", {0, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9, 9}, 10, 0, 0, 2, 0, {{1, 8}, {2, 2}}},
        {"a drop", {0, 1, 3, 4}, 4, 1, 0, 0, 0, {{1, 4}}},
        {"a gap behind a blend", {0, 1, -1, 3, 4}, 4, 0, 1, 0, 0, {{1, 4}}},
        {"a frozen frame", {0, 1, 1, 1, 1, 2}, 3, 0, 0, 1, 0, {{1, 2}, {4, 1}}},
        {"swapped", {0, 1, 3, 2, 4}, 5, 0, 0, 0, 1, {{1, 5}}},
        {"shown again later", {0, 1, 2, 1, 3}, 4, 0, 0, 1, 1, {{1, 3}, {2, 1}}},
        {"two loops", {0, 1, 2, 0, 1, 2}, 6, 0, 0, 0, 0, {{1, 6}}, {3}},
        {"a jump far ahead", {0, 1, 1000, 1001}, 4, 998, 0, 0, 0, {{1, 4}}},
        // Back by more than the tracker waits for: out of order, counted for nothing else.
        {"very late", [] {
             std::vector<int> s;
             for (int i = 0; i < 100; ++i)
                 s.push_back(i);
             s.push_back(5);
             return s;
         }(),
            100, 0, 0, 0, 1, {{1, 100}}},
    };
    for (const Case& c : cases) {
        const ContinuityReport report = track(c.sources, c.loop_starts);
        EXPECT_EQ(report.shown, c.shown) << c.name;
        EXPECT_EQ(report.dropped, c.dropped) << c.name;
        EXPECT_EQ(report.unresolved, c.unresolved) << c.name;
        EXPECT_EQ(report.repeated, c.repeated) << c.name;
        EXPECT_EQ(report.out_of_order, c.out_of_order) << c.name;
        EXPECT_EQ(report.display_counts, c.display_counts) << c.name;
        EXPECT_EQ(report.loops, int32_t(c.loop_starts.size() + 1)) << c.name;
    }
}

TEST(Continuity, AFlashOnceWithItsFirstFrame)
{
    // Flash 12 shown in frames 2 and 3, flash 37 in frame 6; loop 1 shows 12 again in frame 9.
    const ContinuityReport report = track({10, 11, 12, 12, 13, 36, 37, 10, 11, 12}, {7}, {2, 3, 6, 9});
    ASSERT_EQ(report.flashes.size(), 3u);
    EXPECT_EQ(report.flashes[0].source_frame, 12);
    EXPECT_EQ(report.flashes[0].loop, 0);
    EXPECT_EQ(report.flashes[0].time_ns, 2 * 40'000'000);
    EXPECT_EQ(report.flashes[1].source_frame, 37);
    EXPECT_EQ(report.flashes[1].time_ns, 6 * 40'000'000);
    EXPECT_EQ(report.flashes[2].loop, 1);
    EXPECT_EQ(report.flashes[2].time_ns, 9 * 40'000'000);
}

TEST(Continuity, OnlyContentFramesCount)
{
    ContinuityTracker tracker;
    FrameReading frame;
    for (FrameKind kind : {FrameKind::Header, FrameKind::Locator, FrameKind::Trailer, FrameKind::Unknown}) {
        frame.kind = kind;
        tracker.add(frame);
    }
    const ContinuityReport report = tracker.finish();
    EXPECT_EQ(report.shown, 0);
    EXPECT_EQ(report.loops, 0);
    EXPECT_TRUE(report.display_counts.empty());
}

} // namespace

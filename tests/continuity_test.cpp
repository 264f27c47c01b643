#include "robust/continuity.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Source frame numbers of the captured frames (-1: unreadable), a new loop at each index in
// `loop_starts`, flashes at the indices in `flashes`.
ContinuityReport track(const std::vector<int>& sources, const std::vector<size_t>& loop_starts = {},
    const std::vector<size_t>& flashes = {})
{
    ContinuityTracker tracker;
    FrameReading frame;
    for (size_t n = 0; n < sources.size(); ++n) {
        frame.loop += std::count(loop_starts.begin(), loop_starts.end(), n);
        frame.time_ns = int64_t(n) * 40'000'000;
        frame.kind = sources[n] >= 0 ? FrameKind::Content : FrameKind::Unreadable;
        frame.source = sources[n];
        frame.flash = std::count(flashes.begin(), flashes.end(), n) > 0;
        tracker.add(frame);
    }
    return tracker.finish();
}

std::vector<int> up_to(int n, int then)
{
    std::vector<int> s;
    for (int i = 0; i < n; ++i)
        s.push_back(i);
    s.push_back(then);
    return s;
}

TEST(Continuity, CountsFromTheNumbers)
{
    const struct {
        const char* name;
        std::vector<int> sources;
        int64_t shown, dropped, unresolved, repeated, out_of_order;
        std::map<int32_t, int64_t> display_counts;
        std::vector<size_t> loop_starts = {};
    } cases[] = {
        {"every frame twice", {0, 0, 1, 1, 2, 2}, 3, 0, 0, 3, 0, {{2, 3}}},
        {"one in five twice", {0, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9, 9}, 10, 0, 0, 2, 0, {{1, 8}, {2, 2}}},
        {"a drop", {0, 1, 3, 4}, 4, 1, 0, 0, 0, {{1, 4}}},
        {"a gap behind a blend", {0, 1, -1, 3, 4}, 4, 0, 1, 0, 0, {{1, 4}}},
        {"a freeze", {0, 1, 1, 1, 1, 2}, 3, 0, 0, 1, 0, {{1, 2}, {4, 1}}},
        {"swapped", {0, 1, 3, 2, 4}, 5, 0, 0, 0, 1, {{1, 5}}},
        {"shown again later", {0, 1, 2, 1, 3}, 4, 0, 0, 1, 1, {{1, 3}, {2, 1}}},
        {"two loops", {0, 1, 2, 0, 1, 2}, 6, 0, 0, 0, 0, {{1, 6}}, {3}},
        {"far ahead", {0, 1, 1000, 1001}, 4, 998, 0, 0, 0, {{1, 4}}},
        {"too late to count", up_to(100, 5), 100, 0, 0, 0, 1, {{1, 100}}}, // settled before it came
    };
    for (const auto& c : cases) {
        const ContinuityReport report = track(c.sources, c.loop_starts);
        EXPECT_EQ(std::vector<int64_t>({report.shown, report.dropped, report.unresolved, report.repeated, report.out_of_order}),
            std::vector<int64_t>({c.shown, c.dropped, c.unresolved, c.repeated, c.out_of_order}))
            << c.name;
        EXPECT_EQ(report.display_counts, c.display_counts) << c.name;
        EXPECT_EQ(report.loops, int32_t(c.loop_starts.size() + 1)) << c.name;
    }
}

TEST(Continuity, EachFlashOnceWithItsFirstFrame)
{
    // 12 in frames 2 and 3, 37 in frame 6; loop 1 shows 12 again in frame 9.
    const ContinuityReport report = track({10, 11, 12, 12, 13, 36, 37, 10, 11, 12}, {7}, {2, 3, 6, 9});
    ASSERT_EQ(report.flashes.size(), 3u);
    const int64_t frame = 40'000'000;
    EXPECT_TRUE(report.flashes[0].source_frame == 12 && report.flashes[0].loop == 0 && report.flashes[0].time_ns == 2 * frame);
    EXPECT_TRUE(report.flashes[1].source_frame == 37 && report.flashes[1].time_ns == 6 * frame);
    EXPECT_TRUE(report.flashes[2].source_frame == 12 && report.flashes[2].loop == 1 && report.flashes[2].time_ns == 9 * frame);
}

} // namespace

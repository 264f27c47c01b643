#include "robust/continuity.h"

#include <gtest/gtest.h>

#include <map>
#include <numeric>

namespace {

// Source frame numbers of the captured frames (-1: unreadable).
ContinuityReport track(const std::vector<int>& sources)
{
    ContinuityTracker tracker;
    FrameReading frame;
    for (size_t n = 0; n < sources.size(); ++n) {
        frame.time_ns = int64_t(n) * 40'000'000;
        frame.kind = sources[n] >= 0 ? FrameKind::Content : FrameKind::Unreadable;
        frame.source = sources[n];
        tracker.add(frame);
    }
    return tracker.finish();
}

TEST(Continuity, CountsFromTheNumbers)
{
    std::vector<int> late(100);
    std::iota(late.begin(), late.end(), 0);
    late.push_back(5);
    const struct {
        const char* name;
        std::vector<int> sources;
        int64_t shown, dropped, unresolved, repeated, out_of_order;
        std::map<int32_t, int64_t> display_counts;
    } cases[] = {
        {"a gap behind a blend", {0, 1, -1, 3, 4}, 4, 0, 1, 0, 0, {{1, 4}}},
        {"swapped", {0, 1, 3, 2, 4}, 5, 0, 0, 0, 1, {{1, 5}}},
        {"shown again later", {0, 1, 2, 1, 3}, 4, 0, 0, 1, 1, {{1, 3}, {2, 1}}},
        {"far ahead", {0, 1, 1000, 1001}, 4, 998, 0, 0, 0, {{1, 4}}},
        {"too late to count", late, 100, 0, 0, 0, 1, {{1, 100}}}, // settled before it came
    };
    for (const auto& c : cases) {
        const ContinuityReport report = track(c.sources);
        EXPECT_EQ(std::vector<int64_t>({report.shown, report.dropped, report.unresolved, report.repeated, report.out_of_order}),
            std::vector<int64_t>({c.shown, c.dropped, c.unresolved, c.repeated, c.out_of_order}))
            << c.name;
        EXPECT_EQ(report.display_counts, c.display_counts) << c.name;
    }
}

} // namespace

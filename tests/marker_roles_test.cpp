#include "robust/marker_roles.h"

#include "support/yuv_clip.h"

#include <gtest/gtest.h>

namespace {

// Roles and half-periods as the design made them, the sync mark told apart by each kind of
// evidence, the source rate, and the six colours as they arrive.
TEST(MarkerRoles, AsTheDesignMadeThem)
{
    const struct {
        const char* name;
        ClipDesign design;
        double capture_fps;
        int first_frame; ///< design frame the capture starts at
        SyncEvidence evidence;
    } cases[] = {
        {"from mid-content", make_design(5, 150), 30, 40, SyncEvidence::RasterOrder},
        {"odd sync period, from mid-content", make_design(5, 150, 3), 25, 40, SyncEvidence::HalfPeriod},
        {"six bits, from the header", make_design(5, 200, 4, 6), 25, 0, SyncEvidence::Locator},
    };
    for (const auto& c : cases) {
        const ClipDesign& design = c.design;
        const double fps = design.params.fps.num;
        const int count = int((design.params.design_frames() - c.first_frame) * c.capture_fps / fps);
        const CapturedSeries captured = capture_series(design, c.capture_fps, c.first_frame, count);
        ReadingPlan plan;
        std::string reason;
        ASSERT_TRUE(plan_markers(captured.series, captured.times_ns, &plan, &reason)) << c.name << ": " << reason;
        EXPECT_EQ(plan.sync_from, c.evidence) << c.name;
        EXPECT_EQ(plan.counter_bits, design.params.frameid_bits) << c.name;
        EXPECT_NEAR(plan.source_fps, fps, 0.05 * fps) << c.name;
        for (size_t m = 0; m < design.markers.size(); ++m) {
            const MarkerBox& box = design.markers[m];
            const MarkerPlan& found = plan.markers[m];
            const MarkerRole role = box.kind == MarkerKind::SyncMark ? MarkerRole::Sync
                : box.kind == MarkerKind::FrameId                    ? MarkerRole::FrameId
                                                                     : MarkerRole::LipSync;
            EXPECT_EQ(found.role, role) << c.name << " marker " << m;
            EXPECT_EQ(found.half_period, box.half_period) << c.name << " marker " << m;
        }
        const MarkerPlan& lipsync = plan.markers.back();
        for (int8_t shade = 0; shade < 8; ++shade)
            EXPECT_EQ(read_shade(lipsync, design_levels("kwrygcbm"[shade])), shade) << c.name << " shade " << int(shade);
    }
}

// What a look-ahead must show to be a test clip, and the reason when it does not.
TEST(MarkerRoles, ReasonsForNoTestClip)
{
    const ClipDesign design = make_design(5, 150);
    const CapturedSeries clean = capture_series(design, 25, 0, design.params.design_frames());
    CapturedSeries no_colour = clean, no_counter = clean, no_blinking = clean;
    no_colour.series.pop_back();                  // the lip-sync marker is last
    no_counter.series[2] = no_counter.series[1]; // two markers with half-period 1
    no_blinking.series.erase(no_blinking.series.begin(), no_blinking.series.end() - 1);
    const struct {
        const CapturedSeries* captured;
        const char* reason;
    } cases[] = {
        {&no_colour, "no area cycles through the six colours of the lip-sync marker"},
        {&no_counter, "the blinking markers do not form a binary frame counter"},
        {&no_blinking, "no area blinks between two levels"},
    };
    for (const auto& c : cases) {
        ReadingPlan plan;
        std::string reason;
        EXPECT_FALSE(plan_markers(c.captured->series, c.captured->times_ns, &plan, &reason));
        EXPECT_EQ(reason, c.reason);
    }
}

} // namespace

#include "robust/marker_roles.h"

#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

ClipParams clip_params(int fps = 25, int content = 150, int sync_half_period = 4, int bits = 4)
{
    ClipParams params;
    params.fps = {fps, 1};
    params.content = content;
    params.flash_period = fps;
    params.sync_half_period = sync_half_period;
    params.frameid_bits = bits;
    return params;
}

struct Case {
    const char* name;
    ClipParams params;
    double capture_fps;
    int first_frame; ///< design frame the capture starts at
    bool blend;
    SyncEvidence evidence;
    ChainLook look = {};
};

// Roles, bits and half-periods as the design made them, the sync mark told apart as the
// evidence allows, and the source rate of the design.
TEST(MarkerRoles, RolesOfTheDesignThroughChainEffects)
{
    ChainLook washed;
    washed.contrast = 0.7, washed.brightness = 0.1, washed.saturation = 0.5;
    ChainLook full_range;
    full_range.full_range = true, full_range.saturation = 1.5;
    const Case cases[] = {
        {"as made", clip_params(), 25, 0, false, SyncEvidence::Locator},
        {"30 fps by repeating", clip_params(), 30, 0, false, SyncEvidence::Locator},
        {"24 fps by dropping", clip_params(), 24, 0, false, SyncEvidence::Locator},
        {"every frame twice", clip_params(), 50, 0, false, SyncEvidence::Locator},
        {"30 fps by blending", clip_params(), 30, 0, true, SyncEvidence::Locator},
        {"24 fps by blending", clip_params(), 24, 0, true, SyncEvidence::Locator},
        {"washed out", clip_params(), 25, 0, false, SyncEvidence::Locator, washed},
        {"full range, saturated", clip_params(), 25, 0, false, SyncEvidence::Locator, full_range},
        {"from mid-content", clip_params(), 25, 40, false, SyncEvidence::RasterOrder},
        {"odd sync period, from mid-content", clip_params(25, 150, 3), 25, 40, false, SyncEvidence::HalfPeriod},
        {"every other frame of 50 fps", clip_params(50, 200), 25, 0, false, SyncEvidence::Locator},
        {"six bits", clip_params(25, 200, 4, 6), 25, 0, false, SyncEvidence::Locator},
        {"one bit", clip_params(25, 150, 4, 1), 25, 0, false, SyncEvidence::Locator},
    };
    for (const Case& c : cases) {
        const ClipDesign design = make_design(c.params);
        const double fps = c.params.fps.num;
        const int count = int((c.params.design_frames() - c.first_frame) * c.capture_fps / fps);
        const CapturedSeries captured = capture_series(design, c.capture_fps, c.first_frame, count, c.blend, c.look);
        ReadingPlan plan;
        std::string reason;
        ASSERT_TRUE(plan_markers(captured.series, captured.times_ns, &plan, &reason)) << c.name << ": " << reason;
        EXPECT_EQ(plan.sync_from, c.evidence) << c.name;
        EXPECT_EQ(plan.counter_bits, c.params.frameid_bits) << c.name;
        EXPECT_NEAR(plan.source_fps, fps, 0.05 * fps) << c.name;
        for (size_t m = 0; m < design.markers.size(); ++m) {
            const MarkerBox& box = design.markers[m];
            const MarkerPlan& found = plan.markers[m];
            switch (box.kind) {
            case MarkerKind::SyncMark:
                EXPECT_EQ(found.role, MarkerRole::Sync) << c.name << " marker " << m;
                EXPECT_EQ(found.half_period, box.half_period) << c.name;
                EXPECT_EQ(plan.sync, int32_t(m)) << c.name;
                break;
            case MarkerKind::FrameId:
                EXPECT_EQ(found.role, MarkerRole::FrameId) << c.name << " marker " << m;
                EXPECT_EQ(1 << found.bit, box.half_period) << c.name << " marker " << m;
                EXPECT_EQ(found.half_period, box.half_period) << c.name;
                break;
            case MarkerKind::Rgb6:
                EXPECT_EQ(found.role, MarkerRole::LipSync) << c.name;
                EXPECT_EQ(plan.lipsync, int32_t(m)) << c.name;
                // The colours as the chain delivers them, in cycle order.
                for (int k = 0; k < 6; ++k) {
                    const Yuv want = design_levels("rygcbm"[k], c.look);
                    const Yuv& got = found.levels[size_t(kShadeFirstColour + k)];
                    EXPECT_NEAR(got.y, want.y, 3) << c.name << " colour " << k;
                    EXPECT_NEAR(got.u, want.u, 3) << c.name << " colour " << k;
                    EXPECT_NEAR(got.v, want.v, 3) << c.name << " colour " << k;
                }
                break;
            }
        }
    }
}

CapturedSeries straight_capture()
{
    const ClipDesign design = make_design(clip_params());
    return capture_series(design, 25, 0, design.params.design_frames());
}

TEST(MarkerRoles, NoColourCycleIsNoTestClip)
{
    CapturedSeries captured = straight_capture();
    captured.series.pop_back(); // the lip-sync marker is last
    ReadingPlan plan;
    std::string reason;
    EXPECT_FALSE(plan_markers(captured.series, captured.times_ns, &plan, &reason));
    EXPECT_EQ(reason, "no area cycles through the six colours of the lip-sync marker");
}

TEST(MarkerRoles, BlinkingThatCountsNothingIsNoTestClip)
{
    CapturedSeries captured = straight_capture();
    captured.series[2] = captured.series[1]; // two markers with half-period 1
    ReadingPlan plan;
    std::string reason;
    EXPECT_FALSE(plan_markers(captured.series, captured.times_ns, &plan, &reason));
    EXPECT_EQ(reason, "the blinking markers do not form a binary frame counter");
}

TEST(MarkerRoles, NothingBlinkingIsNoTestClip)
{
    CapturedSeries captured = straight_capture();
    captured.series.erase(captured.series.begin(), captured.series.end() - 1);
    ReadingPlan plan;
    std::string reason;
    EXPECT_FALSE(plan_markers(captured.series, captured.times_ns, &plan, &reason));
    EXPECT_EQ(reason, "no area blinks between two levels");
}

TEST(MarkerRoles, ShadesWithMargins)
{
    const CapturedSeries captured = straight_capture();
    ReadingPlan plan;
    std::string reason;
    ASSERT_TRUE(plan_markers(captured.series, captured.times_ns, &plan, &reason)) << reason;
    const MarkerPlan& lipsync = plan.markers[size_t(plan.lipsync)];
    const char* letters = "kwrygcbm";
    for (int8_t shade = 0; shade < 8; ++shade)
        EXPECT_EQ(read_shade(lipsync, design_levels(letters[shade])), shade) << letters[shade];
    // Half red, half yellow: neither.
    const Yuv r = design_levels('r'), y = design_levels('y');
    EXPECT_EQ(read_shade(lipsync, {(r.y + y.y) / 2, (r.u + y.u) / 2, (r.v + y.v) / 2}), kShadeUnclear);
    EXPECT_EQ(colour_phase(kShadeFirstColour + 4), 4);
    EXPECT_EQ(colour_phase(kShadeWhite), -1);
}

TEST(MarkerRoles, RatesSnapToTheCommonOnes)
{
    EXPECT_DOUBLE_EQ(snap_frame_rate(29.975), 30000.0 / 1001);
    EXPECT_DOUBLE_EQ(snap_frame_rate(29.99), 30);
    EXPECT_DOUBLE_EQ(snap_frame_rate(30.0000003), 30);
    EXPECT_DOUBLE_EQ(snap_frame_rate(24.9), 25);
    EXPECT_DOUBLE_EQ(snap_frame_rate(27), 27);
}

} // namespace

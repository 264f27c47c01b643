// Finding the markers in a recording: cell means, the areas that change, and their roles.
#include "picture/cell_grid.h"
#include "picture/marker_roles.h"
#include "picture/marker_search.h"
#include "picture/marker_watch.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace skelv;

namespace skelv {
void PrintTo(const PixelRect& r, std::ostream* os)
{
    *os << "(" << r.left << ", " << r.top << ") " << r.width << "x" << r.height;
}
} // namespace skelv

namespace {

// Cell and rectangle means against sums made sample by sample, in each layout the reader
// takes, rows padded past the picture.
TEST(CellGrid, MeansInEveryLayout)
{
    const struct {
        const char* name;
        int32_t shift_x, shift_y, step;
    } layouts[] = {{"I420", 1, 1, 1}, {"NV12", 1, 1, 2}, {"Y42B", 1, 0, 1}, {"Y444", 0, 0, 1}};
    constexpr int32_t kW = 96, kH = 64, kCell = 4;
    std::mt19937 random(7);
    for (const auto& l : layouts) {
        const int32_t y_stride = kW + 7, uv_stride = 2 * (kW >> l.shift_x) + 5;
        std::vector<uint8_t> y(size_t(y_stride) * kH), uv(size_t(uv_stride) * (kH >> l.shift_y) * 2);
        std::generate(y.begin(), y.end(), [&] { return uint8_t(random()); });
        std::generate(uv.begin(), uv.end(), [&] { return uint8_t(random()); });
        YuvFrameView view;
        view.width = kW, view.height = kH, view.y = y.data(), view.y_stride = kW + 7;
        view.u = uv.data(), view.v = l.step == 2 ? uv.data() + 1 : uv.data() + uv.size() / 2;
        view.uv_stride = uv_stride, view.uv_step = l.step, view.shift_x = l.shift_x, view.shift_y = l.shift_y;
        // Mean of the samples under luma pixels [x0, x0 + w) x [y0, y0 + h) in one plane.
        const auto mean = [&](int plane, int32_t x0, int32_t y0, int32_t w, int32_t h) {
            const int32_t sx = plane ? l.shift_x : 0, sy = plane ? l.shift_y : 0;
            const uint8_t* base = plane == 0 ? view.y : plane == 1 ? view.u : view.v;
            double sum = 0;
            for (int32_t r = y0 >> sy; r < (y0 + h) >> sy; ++r)
                for (int32_t c = x0 >> sx; c < (x0 + w) >> sx; ++c)
                    sum += base[size_t(r) * (plane ? uv_stride : y_stride) + size_t(c) * (plane ? l.step : 1)];
            return sum / double((w >> sx) * (h >> sy));
        };
        const CellGrid grid = cell_grid_for(kW, kH, kW / kCell);
        ASSERT_EQ(grid.cell, kCell);
        std::vector<uint8_t> reduced(grid.frame_bytes());
        cell_grid_reduce(grid, view, reduced.data());
        for (int32_t i = 0; i < grid.count(); ++i)
            for (int plane = 0; plane < 3; ++plane)
                EXPECT_EQ(reduced[size_t(plane * grid.count() + i)],
                    std::lround(mean(plane, i % grid.columns * kCell, i / grid.columns * kCell, kCell, kCell)))
                    << l.name << " plane " << plane << " cell " << i;
        const CellRect rect{3, 2, 9, 7};
        const Yuv direct = cell_rect_mean(grid, view, rect), coarse = cell_rect_mean(grid, reduced.data(), rect);
        const float got[3] = {direct.y, direct.u, direct.v}, from_cells[3] = {coarse.y, coarse.u, coarse.v};
        for (int plane = 0; plane < 3; ++plane) {
            EXPECT_NEAR(got[plane], mean(plane, 12, 8, 24, 20), 1e-3) << l.name;
            EXPECT_NEAR(from_cells[plane], mean(plane, 12, 8, 24, 20), 0.5) << l.name; // cell means are rounded
        }
    }
}

MarkerSearch search(const std::vector<I420Frame>& frames)
{
    const CellGrid grid = cell_grid_for(frames[0].width, frames[0].height);
    std::vector<std::vector<uint8_t>> reduced(frames.size(), std::vector<uint8_t>(grid.frame_bytes()));
    std::vector<const uint8_t*> pointers;
    for (size_t f = 0; f < frames.size(); ++f) {
        cell_grid_reduce(grid, frames[f].view(), reduced[f].data());
        pointers.push_back(reduced[f].data());
    }
    return find_marker_areas(grid, pointers);
}

// Only rectangles that change count: not a still picture, not noise, not an L or a ring.
TEST(MarkerSearch, OnlyChangingRectangles)
{
    std::vector<I420Frame> still(30, I420Frame(320, 240)), shapes = still, noise = still;
    std::mt19937 random(3);
    const auto fill = [](I420Frame* frame, int x0, int y0, int w, int h, uint8_t luma) {
        for (int y = y0; y < y0 + h; ++y)
            std::fill_n(frame->row(0, y) + x0, w, luma);
    };
    for (size_t f = 0; f < still.size(); ++f) {
        const uint8_t level = f % 2 ? 235 : 16;
        fill(&shapes[f], 20, 20, 40, 40, level); // the one marker
        fill(&shapes[f], 100, 20, 60, 12, level);
        fill(&shapes[f], 100, 32, 12, 48, level);
        fill(&shapes[f], 200, 100, 40, 40, level);
        fill(&shapes[f], 212, 112, 16, 16, 0);
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x)
                noise[f].row(0, y)[x] = uint8_t(64 + random() % 128);
    }
    EXPECT_TRUE(search(still).markers.empty());
    EXPECT_TRUE(search(noise).markers.empty());
    const std::vector<MarkerArea> areas = search(shapes).markers;
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(std::vector<int32_t>({areas[0].left, areas[0].top, areas[0].width, areas[0].height}),
        std::vector<int32_t>({20, 20, 40, 40}));
}

// Changing areas near each other are one; beyond the most kept, the nearest are merged.
TEST(MarkerSearch, ChangingAreasMergedIntoAFew)
{
    const std::vector<PixelRect> apart = {{0, 0, 10, 10}, {100, 0, 10, 10}, {0, 100, 10, 10}, {100, 100, 10, 10}};
    const struct {
        const char* name;
        std::vector<PixelRect> areas;
        size_t most;
        std::vector<PixelRect> merged;
    } cases[] = {
        {"within reach", {{0, 0, 10, 10}, {15, 2, 10, 10}}, 4, {{0, 0, 25, 12}}},
        {"through a third", {{0, 0, 10, 10}, {30, 0, 10, 10}, {15, 0, 10, 10}}, 4, {{0, 0, 40, 10}}},
        {"apart", apart, 4, {{0, 0, 10, 10}, {100, 0, 10, 10}, {0, 100, 10, 10}, {100, 100, 10, 10}}},
        {"too many", {{0, 0, 10, 10}, {100, 0, 10, 10}, {0, 100, 10, 10}, {100, 100, 10, 10}, {130, 100, 10, 10}}, 4,
            {{0, 0, 10, 10}, {100, 0, 10, 10}, {0, 100, 10, 10}, {100, 100, 40, 10}}},
        {"at most two", apart, 2, {{0, 0, 110, 10}, {0, 100, 110, 10}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(merge_changing_areas(c.areas, 6, c.most), c.merged) << c.name;
}

// Roles and half-periods as the design made them, the sync mark told apart by each kind of
// evidence, the source rate, and the six colours as they arrive.
// A camera's vignette: the markers darker the nearer the corner, the first at `corner_gain` of
// its brightness, the last at 0.8 (1: none).
void darken_towards_the_first(CapturedSeries* captured, float corner_gain)
{
    const size_t n = captured->series.size();
    for (size_t m = 0; m < n && corner_gain < 1; ++m) {
        const float gain = corner_gain + (0.8f - corner_gain) * float(m) / float(n - 1);
        for (Yuv& value : captured->series[m])
            value = {value.y * gain, 128 + (value.u - 128) * gain, 128 + (value.v - 128) * gain};
    }
}

TEST(MarkerRoles, AsTheDesignMadeThem)
{
    const struct {
        const char* name;
        ClipDesign design;
        double capture_fps;
        int first_frame; ///< design frame the capture starts at
        SyncEvidence evidence;
        float corner_gain;
    } cases[] = {
        {"from mid-content", make_design(5, 150), 30, 40, SyncEvidence::RasterOrder, 1},
        {"odd sync period, from mid-content", make_design(5, 150, 3), 25, 40, SyncEvidence::HalfPeriod, 1},
        {"six bits, from the header", make_design(5, 200, 4, 6), 25, 0, SyncEvidence::Locator, 1},
        {"half as bright in the corner", make_design(5, 200), 25, 0, SyncEvidence::Locator, 0.5f},
        {"darkened and converted to 30 fps", make_design(5, 150), 30, 40, SyncEvidence::RasterOrder, 0.5f},
    };
    for (const auto& c : cases) {
        const ClipDesign& design = c.design;
        const double fps = design.params.fps.num;
        const int count = int((design.params.design_frames() - c.first_frame) * c.capture_fps / fps);
        CapturedSeries captured = capture_series(design, c.capture_fps, c.first_frame, count);
        darken_towards_the_first(&captured, c.corner_gain);
        ReadingPlan plan;
        std::string reason;
        ASSERT_TRUE(plan_markers(captured.series, captured.times_ns, &plan, &reason)) << c.name << ": " << reason;
        EXPECT_EQ(plan.sync_from, c.evidence) << c.name;
        EXPECT_EQ(plan.counter_bits, design.params.frameid_bits) << c.name;
        EXPECT_NEAR(plan.source_fps, fps, 0.05 * fps) << c.name;
        for (size_t m = 0; m < design.markers.size(); ++m) {
            const MarkerBox& box = design.markers[m];
            const MarkerPlan& found = plan.markers[m];
            EXPECT_EQ(found.role, role_of(box.kind)) << c.name << " marker " << m;
            EXPECT_EQ(found.half_period, box.half_period) << c.name << " marker " << m;
        }
        const MarkerPlan& lipsync = plan.markers.back();
        for (int8_t shade = 0; shade < 8 && c.corner_gain == 1; ++shade)
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

// The look-ahead is cut where a marker stopped while others went on, and only there.
TEST(MarkerStops, LearningEndsWhereAMarkerWentAway)
{
    constexpr int64_t kFrameNs = 40'000'000; // 25 fps, 10 s
    constexpr size_t kFrames = 250;
    // An area blinking with half-period `half` frames, and grey from frame `stops` on.
    const auto area = [](int half, size_t stops) {
        std::vector<Yuv> values;
        for (size_t i = 0; i < kFrames; ++i)
            values.push_back({i >= stops ? 128.f : (i / size_t(half)) % 2 == 1 ? 235.f : 16.f, 128, 128});
        return values;
    };
    std::vector<int64_t> times;
    for (size_t i = 0; i < kFrames; ++i)
        times.push_back(int64_t(i) * kFrameNs);
    const struct {
        const char* what;
        std::vector<std::vector<Yuv>> series;
        size_t kept;
    } cases[] = {
        {"every area changes to the end", {area(1, kFrames), area(8, kFrames), area(50, kFrames)}, kFrames},
        {"one stops at 4 s", {area(1, kFrames), area(2, 100)}, 101},
        {"the earliest of two stops", {area(1, kFrames), area(2, 175), area(4, 120)}, 121},
        {"all stop together, as at a trailer or a freeze", {area(1, 150), area(2, 150)}, kFrames},
        {"a slow blinker's long half-period is no stop", {area(1, kFrames), area(75, kFrames)}, kFrames},
        {"stopped before 2 s: too little to learn from", {area(1, kFrames), area(1, 40)}, kFrames},
    };
    for (const auto& c : cases) // up to the frame where the stopping area last changed
        EXPECT_EQ(frames_before_an_area_stops(c.series, times), c.kept) << c.what;
}

} // namespace

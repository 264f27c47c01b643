#include "robust/marker_search.h"

#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <random>

namespace {

ClipParams short_clip(int width = 320, int height = 240)
{
    ClipParams params;
    params.width = width;
    params.height = height;
    params.content = 50;
    return params;
}

std::vector<MarkerArea> search(const std::vector<I420Frame>& frames)
{
    const CellGrid grid = cell_grid_for(frames[0].width, frames[0].height);
    std::vector<std::vector<uint8_t>> reduced;
    std::vector<const uint8_t*> pointers;
    for (const I420Frame& frame : frames) {
        reduced.emplace_back(grid.frame_bytes());
        cell_grid_reduce(grid, frame.view(), reduced.back().data());
    }
    for (const auto& r : reduced)
        pointers.push_back(r.data());
    return find_marker_areas(grid, pointers);
}

struct Case {
    const char* name;
    ClipParams params;
    ChainLook look;
};

// Every marker of the design is found where the chain put it, to the pixel, in raster order.
TEST(MarkerSearch, FindsTheDesignMarkersWhereverTheChainPutsThem)
{
    const Case cases[] = {
        {"as made", short_clip(), {}},
        {"quarter area", short_clip(), {160, 120, 0, 0, 0.5}},
        {"four times the area", short_clip(), {640, 480, 0, 0, 2}},
        {"pillarboxed and scaled by 1.25", short_clip(), {640, 360, 120, 30, 1.25}},
        {"HD design at half size", short_clip(1280, 720), {640, 360, 0, 0, 0.5}},
        {"limited contrast, noise", short_clip(), {0, 0, 0, 0, 1, 0.7, 0.05, 0.6, false, 12}},
        {"black background", [] { ClipParams p = short_clip(); p.background = 0; return p; }(), {}},
    };
    for (const Case& c : cases) {
        const ClipDesign design = make_design(c.params);
        const std::vector<I420Frame> frames = paint_clip(design, c.look);
        const int32_t cell = cell_grid_for(frames[0].width, frames[0].height).cell;
        const std::vector<MarkerArea> areas = search(frames);
        ASSERT_EQ(areas.size(), design.markers.size()) << c.name;
        for (size_t m = 0; m < areas.size(); ++m) {
            const MarkerBox& box = design.markers[m];
            const double x = c.look.offset_x + box.left * c.look.scale, y = c.look.offset_y + box.top * c.look.scale;
            const double size = box.size * c.look.scale;
            EXPECT_NEAR(areas[m].left, x, 1) << c.name << " marker " << m;
            EXPECT_NEAR(areas[m].top, y, 1) << c.name << " marker " << m;
            EXPECT_NEAR(areas[m].width, size, 1) << c.name << " marker " << m;
            EXPECT_NEAR(areas[m].height, size, 1) << c.name << " marker " << m;
            // Read cells lie inside the marker.
            EXPECT_GE(areas[m].read.x0 * cell, x) << c.name;
            EXPECT_LE(areas[m].read.x1 * cell, x + size) << c.name;
            EXPECT_GE(areas[m].read.y0 * cell, y) << c.name;
            EXPECT_LE(areas[m].read.y1 * cell, y + size) << c.name;
            EXPECT_GE(areas[m].read.width(), 2) << c.name;
        }
    }
}

void fill(I420Frame* frame, int x0, int y0, int w, int h, uint8_t y, uint8_t u = 128, uint8_t v = 128)
{
    for (int r = y0; r < y0 + h; ++r)
        for (int c = x0; c < x0 + w; ++c) {
            frame->y_row(r)[c] = y;
            frame->u_row(r / 2)[c / 2] = u;
            frame->v_row(r / 2)[c / 2] = v;
        }
}

std::vector<I420Frame> grey_frames(int count)
{
    std::vector<I420Frame> frames(size_t(count), I420Frame(320, 240));
    for (I420Frame& frame : frames)
        fill(&frame, 0, 0, 320, 240, 126);
    return frames;
}

TEST(MarkerSearch, NothingInAStillPicture)
{
    EXPECT_TRUE(search(grey_frames(30)).empty());
}

TEST(MarkerSearch, NothingInTemporalNoise)
{
    std::vector<I420Frame> frames = grey_frames(30);
    std::mt19937 random(3);
    for (I420Frame& frame : frames)
        for (int r = 0; r < 240; ++r)
            for (int c = 0; c < 320; ++c)
                frame.y_row(r)[c] = uint8_t(64 + random() % 128);
    EXPECT_TRUE(search(frames).empty());
}

// A blinking area is a marker only when its inside is a rectangle.
TEST(MarkerSearch, OnlyRectangularAreas)
{
    std::vector<I420Frame> frames = grey_frames(30);
    for (size_t f = 0; f < frames.size(); ++f) {
        const uint8_t level = f % 2 ? 235 : 16;
        fill(&frames[f], 20, 20, 40, 40, level);   // a square: a marker
        fill(&frames[f], 100, 20, 60, 12, level);  // an L: no marker
        fill(&frames[f], 100, 32, 12, 48, level);
        fill(&frames[f], 200, 100, 40, 40, level); // a ring: no marker
        fill(&frames[f], 212, 112, 16, 16, 126);
    }
    const std::vector<MarkerArea> areas = search(frames);
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(areas[0].left, 20);
    EXPECT_EQ(areas[0].top, 20);
    EXPECT_EQ(areas[0].width, 40);
    EXPECT_EQ(areas[0].height, 40);
}

} // namespace

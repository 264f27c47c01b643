#include "robust/marker_search.h"

#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

std::vector<MarkerArea> search(const std::vector<I420Frame>& frames)
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
    EXPECT_TRUE(search(still).empty());
    EXPECT_TRUE(search(noise).empty());
    const std::vector<MarkerArea> areas = search(shapes);
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(std::vector<int32_t>({areas[0].left, areas[0].top, areas[0].width, areas[0].height}),
        std::vector<int32_t>({20, 20, 40, 40}));
}

} // namespace

#include "robust/cell_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

TEST(CellGrid, CellsAreEvenAtLeastTwoAndAbout160Across)
{
    const struct {
        int32_t width, height, cell, columns, rows;
    } cases[] = {
        {1920, 1080, 12, 160, 90},
        {1280, 720, 8, 160, 90},
        {320, 240, 2, 160, 120},
        {100, 80, 2, 50, 40},   // small frames keep 2-pixel cells
        {1000, 500, 6, 166, 83}, // 6.25 rounds down to an even size; the last 4 columns are left out
        {0, 0, 2, 0, 0},
    };
    for (const auto& c : cases) {
        const CellGrid grid = cell_grid_for(c.width, c.height);
        EXPECT_EQ(grid.cell, c.cell) << c.width;
        EXPECT_EQ(grid.columns, c.columns) << c.width;
        EXPECT_EQ(grid.rows, c.rows) << c.width;
    }
}

// A frame of random samples in one of the layouts the reader takes, with padded rows.
struct TestFrame {
    int32_t width, height, shift_x, shift_y;
    bool interleaved;
    std::vector<uint8_t> y, u, v, uv; ///< uv: the interleaved chroma plane
    int32_t y_stride, uv_stride;

    TestFrame(int32_t w, int32_t h, int32_t sx, int32_t sy, bool nv12, uint32_t seed)
        : width(w), height(h), shift_x(sx), shift_y(sy), interleaved(nv12)
    {
        std::mt19937 random(seed);
        y_stride = w + 7;
        const int32_t cw = w >> sx, ch = h >> sy;
        uv_stride = 2 * cw + 5; // wide enough for interleaved chroma; planar rows get more padding
        y.resize(size_t(y_stride) * h);
        for (auto& s : y)
            s = uint8_t(random());
        u.resize(size_t(uv_stride) * ch);
        v.resize(size_t(uv_stride) * ch);
        uv.resize(size_t(uv_stride) * ch);
        for (int32_t r = 0; r < ch; ++r)
            for (int32_t c = 0; c < cw; ++c) {
                const uint8_t a = uint8_t(random()), b = uint8_t(random());
                u[size_t(r) * uv_stride + c] = a;
                v[size_t(r) * uv_stride + c] = b;
                uv[size_t(r) * uv_stride + 2 * c] = a;
                uv[size_t(r) * uv_stride + 2 * c + 1] = b;
            }
    }

    YuvFrameView view() const
    {
        YuvFrameView view;
        view.width = width;
        view.height = height;
        view.y = y.data();
        view.y_stride = y_stride;
        view.u = interleaved ? uv.data() : u.data();
        view.v = interleaved ? uv.data() + 1 : v.data();
        view.uv_stride = uv_stride;
        view.uv_step = interleaved ? 2 : 1;
        view.shift_x = shift_x;
        view.shift_y = shift_y;
        return view;
    }

    // Mean of a rectangle of luma pixels and of the chroma samples under it, computed sample by sample.
    Yuv mean(int32_t x0, int32_t y0, int32_t w, int32_t h) const
    {
        double sy = 0, su = 0, sv = 0;
        for (int32_t r = y0; r < y0 + h; ++r)
            for (int32_t c = x0; c < x0 + w; ++c)
                sy += y[size_t(r) * y_stride + c];
        const int32_t cx = x0 >> shift_x, cy = y0 >> shift_y, cw = w >> shift_x, ch = h >> shift_y;
        for (int32_t r = cy; r < cy + ch; ++r)
            for (int32_t c = cx; c < cx + cw; ++c) {
                su += u[size_t(r) * uv_stride + c];
                sv += v[size_t(r) * uv_stride + c];
            }
        return {float(sy / (w * h)), float(su / (cw * ch)), float(sv / (cw * ch))};
    }
};

struct Layout {
    const char* name;
    int32_t shift_x, shift_y;
    bool interleaved;
};

const Layout kLayouts[] = {
    {"I420", 1, 1, false}, {"NV12", 1, 1, true}, {"Y42B", 1, 0, false}, {"Y444", 0, 0, false}};

TEST(CellGrid, CellMeansInEveryLayout)
{
    for (const Layout& layout : kLayouts) {
        const TestFrame frame(100, 62, layout.shift_x, layout.shift_y, layout.interleaved, 7);
        const CellGrid grid = cell_grid_for(frame.width, frame.height, 10);
        ASSERT_EQ(grid.cell, 10);
        std::vector<uint8_t> reduced(grid.frame_bytes());
        cell_grid_reduce(grid, frame.view(), reduced.data());
        for (int32_t r = 0; r < grid.rows; ++r)
            for (int32_t c = 0; c < grid.columns; ++c) {
                const Yuv expected = frame.mean(c * 10, r * 10, 10, 10);
                const size_t i = size_t(r) * grid.columns + c;
                EXPECT_EQ(reduced[i], std::lround(expected.y)) << layout.name << " cell " << c << "," << r;
                EXPECT_EQ(reduced[grid.count() + i], std::lround(expected.u)) << layout.name;
                EXPECT_EQ(reduced[2 * grid.count() + i], std::lround(expected.v)) << layout.name;
            }
    }
}

TEST(CellGrid, RectangleMeansFromTheFrameAndFromItsReduction)
{
    for (const Layout& layout : kLayouts) {
        const TestFrame frame(96, 64, layout.shift_x, layout.shift_y, layout.interleaved, 11);
        const CellGrid grid = cell_grid_for(frame.width, frame.height, 24);
        ASSERT_EQ(grid.cell, 4);
        const CellRect rect{3, 2, 9, 7};
        const Yuv expected = frame.mean(12, 8, 24, 20);
        const Yuv direct = cell_rect_mean(grid, frame.view(), rect);
        EXPECT_NEAR(direct.y, expected.y, 1e-3) << layout.name;
        EXPECT_NEAR(direct.u, expected.u, 1e-3) << layout.name;
        EXPECT_NEAR(direct.v, expected.v, 1e-3) << layout.name;
        // Cell means are rounded to whole levels: their mean is within half a level.
        std::vector<uint8_t> reduced(grid.frame_bytes());
        cell_grid_reduce(grid, frame.view(), reduced.data());
        const Yuv coarse = cell_rect_mean(grid, reduced.data(), rect);
        EXPECT_NEAR(coarse.y, expected.y, 0.5) << layout.name;
        EXPECT_NEAR(coarse.u, expected.u, 0.5) << layout.name;
        EXPECT_NEAR(coarse.v, expected.v, 0.5) << layout.name;
    }
}

} // namespace

#include "robust/cell_grid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

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

} // namespace

#include "picture/cell_grid.h"

#include <algorithm>
#include <vector>

namespace skelv {

namespace {

// Running column sums fit 16 bits for blocks of up to 257 rows.
constexpr int32_t kMaxCell = 256;

// Plain loops that the compiler turns into vector code: the pointers never overlap.
void add_row(const uint8_t* __restrict row, int32_t step, int32_t span, uint16_t* __restrict sums)
{
    if (step == 1) {
        for (int32_t x = 0; x < span; ++x)
            sums[x] = uint16_t(sums[x] + row[x]);
    } else {
        for (int32_t x = 0; x < span; ++x)
            sums[x] = uint16_t(sums[x] + row[size_t(x) * step]);
    }
}

// Rounded means of blocks of `block_w` x `block_h` samples, `step` bytes apart within a row.
void reduce_plane(const uint8_t* data, int32_t stride, int32_t step, int32_t block_w, int32_t block_h,
    const CellGrid& grid, uint8_t* out)
{
    const int32_t span = grid.columns * block_w;
    const uint32_t area = uint32_t(block_w * block_h);
    std::vector<uint16_t> sums(static_cast<size_t>(span));
    for (int32_t r = 0; r < grid.rows; ++r) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int32_t k = 0; k < block_h; ++k)
            add_row(data + size_t(r * block_h + k) * stride, step, span, sums.data());
        for (int32_t c = 0; c < grid.columns; ++c) {
            const uint16_t* block = &sums[size_t(c) * block_w];
            uint32_t sum = 0;
            for (int32_t i = 0; i < block_w; ++i)
                sum += block[i];
            out[size_t(r) * grid.columns + c] = uint8_t((sum + area / 2) / area);
        }
    }
}

uint64_t rect_sum(const uint8_t* data, int32_t stride, int32_t step, int32_t x0, int32_t y0, int32_t w, int32_t h)
{
    uint64_t total = 0;
    for (int32_t y = y0; y < y0 + h; ++y) {
        const uint8_t* row = data + size_t(y) * stride + size_t(x0) * step;
        uint32_t sum = 0;
        if (step == 1) {
            for (int32_t x = 0; x < w; ++x)
                sum += row[x];
        } else {
            for (int32_t x = 0; x < w; ++x)
                sum += row[size_t(x) * step];
        }
        total += sum;
    }
    return total;
}

} // namespace

CellGrid cell_grid_for(int32_t width, int32_t height, int32_t target_columns)
{
    CellGrid grid;
    grid.cell = std::clamp((width / std::max(target_columns, 1)) & ~1, 2, kMaxCell);
    grid.columns = std::max(width, 0) / grid.cell;
    grid.rows = std::max(height, 0) / grid.cell;
    return grid;
}

void cell_grid_reduce(const CellGrid& grid, const YuvFrameView& frame, uint8_t* out)
{
    const size_t n = size_t(grid.count());
    reduce_plane(frame.y, frame.y_stride, 1, grid.cell, grid.cell, grid, out);
    const int32_t chroma_w = grid.cell >> frame.shift_x, chroma_h = grid.cell >> frame.shift_y;
    reduce_plane(frame.u, frame.uv_stride, frame.uv_step, chroma_w, chroma_h, grid, out + n);
    reduce_plane(frame.v, frame.uv_stride, frame.uv_step, chroma_w, chroma_h, grid, out + 2 * n);
}

Yuv cell_rect_mean(const CellGrid& grid, const YuvFrameView& frame, const CellRect& rect)
{
    const int32_t x = rect.x0 * grid.cell, y = rect.y0 * grid.cell;
    const int32_t w = rect.width() * grid.cell, h = rect.height() * grid.cell;
    const int32_t cx = x >> frame.shift_x, cy = y >> frame.shift_y;
    const int32_t cw = w >> frame.shift_x, ch = h >> frame.shift_y;
    const float luma_area = float(w) * float(h), chroma_area = float(cw) * float(ch);
    Yuv mean;
    mean.y = float(rect_sum(frame.y, frame.y_stride, 1, x, y, w, h)) / luma_area;
    mean.u = float(rect_sum(frame.u, frame.uv_stride, frame.uv_step, cx, cy, cw, ch)) / chroma_area;
    mean.v = float(rect_sum(frame.v, frame.uv_stride, frame.uv_step, cx, cy, cw, ch)) / chroma_area;
    return mean;
}

Yuv cell_rect_mean(const CellGrid& grid, const uint8_t* reduced, const CellRect& rect)
{
    const size_t n = size_t(grid.count());
    uint32_t sums[3] = {0, 0, 0};
    for (int32_t r = rect.y0; r < rect.y1; ++r)
        for (int32_t c = rect.x0; c < rect.x1; ++c) {
            const size_t i = size_t(r) * grid.columns + c;
            sums[0] += reduced[i];
            sums[1] += reduced[n + i];
            sums[2] += reduced[2 * n + i];
        }
    const float cells = float(rect.width() * rect.height());
    return {float(sums[0]) / cells, float(sums[1]) / cells, float(sums[2]) / cells};
}

} // namespace skelv

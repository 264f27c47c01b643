// Coarse picture reduction: the mean Y, U and V of square cells, about 160 across the frame.
// Marker search works on these cell means only; reading a known marker sums its interior.
#pragma once

#include "picture/yuv_frame.h"

#include <cstddef>
#include <cstdint>

namespace skelv {

// Cells tile the frame from its top-left corner; a strip narrower than a cell at the right
// or bottom edge is left out.
struct CellGrid {
    int32_t cell = 0;          ///< luma pixels per cell side; even, so that chroma cells are whole
    int32_t columns = 0, rows = 0;

    int32_t count() const { return columns * rows; }
    // Bytes of one reduced frame: the Y, U and V planes of cell means, one byte each.
    size_t frame_bytes() const { return size_t(count()) * 3; }
};

// A rectangle of whole cells, half-open: columns [x0, x1), rows [y0, y1).
struct CellRect {
    int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    int32_t width() const { return x1 - x0; }
    int32_t height() const { return y1 - y0; }
    bool operator==(const CellRect&) const = default;
};

// The grid for a frame size: cells of an even number of pixels, at least 2, with about
// `target_columns` of them across.
CellGrid cell_grid_for(int32_t width, int32_t height, int32_t target_columns = 160);

// Writes the rounded cell means of `frame` into `out` (grid.frame_bytes() bytes: all Y means in
// raster order, then U, then V). The frame must be at least as large as the grid.
void cell_grid_reduce(const CellGrid& grid, const YuvFrameView& frame, uint8_t* out);

// Mean levels over the pixels of a rectangle of cells, read from the frame itself.
Yuv cell_rect_mean(const CellGrid& grid, const YuvFrameView& frame, const CellRect& rect);
// The same from a reduced frame: the mean of the cell means.
Yuv cell_rect_mean(const CellGrid& grid, const uint8_t* reduced, const CellRect& rect);

} // namespace skelv

// Finds the marker rectangles of a recording from the behaviour of its cells over time: a
// marker is an area whose cells change together (blinking or cycling colours) while the
// background around it stays. No colour or level is assumed. Pictures that change besides the
// markers (noise, moving content) are set apart as changing areas.
#pragma once

#include "picture/cell_grid.h"

#include <cstdint>
#include <vector>

namespace skelv {

struct MarkerArea {
    CellRect read;                    ///< interior cells, clear of the edges: where levels are read
    int32_t left = 0, top = 0;        ///< estimated extent in captured pixels
    int32_t width = 0, height = 0;
};

// A rectangle in captured pixels.
struct PixelRect {
    int32_t left = 0, top = 0, width = 0, height = 0;

    bool operator==(const PixelRect&) const = default;
};

struct MarkerSearch {
    std::vector<MarkerArea> markers;       ///< raster order of their top-left corners, rows of markers first
    std::vector<PixelRect> changing_areas; ///< what else changes, merged into a few rectangles
};

// `frames`: reduced frames of `grid` (cell_grid_reduce), oldest first. Nothing found when
// nothing changes. A changing area's rectangle holds every cell that changed in it, and the
// cell around: the area is covered to the pixel.
MarkerSearch find_marker_areas(const CellGrid& grid, const std::vector<const uint8_t*>& frames);

// `areas` merged where they lie within `reach` pixels of each other, then the nearest ones
// until at most `most` are left.
std::vector<PixelRect> merge_changing_areas(std::vector<PixelRect> areas, int32_t reach, size_t most);

// Changing areas are merged within this many cells of each other, into at most this many.
inline constexpr int32_t kChangingAreaReach = 3;
inline constexpr size_t kMostChangingAreas = 4;

} // namespace skelv

// Finds the marker rectangles of a recording from the behaviour of its cells over time: a
// marker is an area whose cells change together (blinking or cycling colours) while the
// background stays. No colour or level is assumed.
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

// `frames`: reduced frames of `grid` (cell_grid_reduce), oldest first. Areas come in raster
// order of their top-left corners, rows of markers first. Empty when nothing changes.
std::vector<MarkerArea> find_marker_areas(const CellGrid& grid, const std::vector<const uint8_t*>& frames);

} // namespace skelv

#include "picture/marker_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace skelv {

namespace {

// Temporal standard deviation (8-bit levels, Y, U and V together) below which a cell counts
// as still, whatever the rest of the picture does: codec flicker and noise stay below it.
constexpr double kMinActivity = 6;
// A cell is active above this share of the most active cell's deviation...
constexpr double kActiveShareOfMax = 0.2;
// ...and above this multiple of the noise floor: the deviation of the cell at this share of
// all, low enough that moving content over half the picture leaves the floor on still cells.
constexpr double kActiveOverNoise = 4;
constexpr double kNoiseFloorShare = 0.25;
// Neighbouring active cells belong to one area when their series correlate this well; cells
// on a marker's edge mix it with the still background and correlate fully.
constexpr double kMergeCorrelation = 0.8;
// Cells whose deviation reaches this share of an area's largest form its reference series.
constexpr double kInteriorShare = 0.85;
// Coverage (projection on the reference) from which a cell counts as inside the marker.
constexpr double kCoreCoverage = 0.9;
// Coverage below this is background noise in the extent estimate.
constexpr double kNoiseCoverage = 0.05;
// A readable marker is at least this many whole cells across and down.
constexpr int32_t kMinCoreSide = 2;
// A marker's inside cells fill at least this share of their bounding rectangle.
constexpr double kMinFill = 0.85;
// Cells beyond the area's bounding box that may still hold part of its edge.
constexpr int32_t kEdgeReach = 3;
// A marker stands alone: the other changing cells that touch it, coding noise along its edges,
// are at most this share of its own.
constexpr double kMaxStrayShare = 0.25;

struct CellStats {
    std::vector<double> mean;     ///< 3 per cell: Y, U, V
    std::vector<double> activity; ///< per cell: sqrt of the summed channel variances
};

CellStats cell_stats(const CellGrid& grid, const std::vector<const uint8_t*>& frames)
{
    const size_t n = size_t(grid.count());
    std::vector<uint64_t> sum(3 * n, 0), square(3 * n, 0);
    for (const uint8_t* frame : frames)
        for (size_t i = 0; i < 3 * n; ++i) {
            sum[i] += frame[i];
            square[i] += uint32_t(frame[i]) * frame[i];
        }
    CellStats stats;
    stats.mean.resize(3 * n);
    stats.activity.resize(n);
    const double count = double(frames.size());
    for (size_t i = 0; i < n; ++i) {
        double variance = 0;
        for (size_t ch = 0; ch < 3; ++ch) {
            const size_t k = ch * n + i;
            stats.mean[k] = double(sum[k]) / count;
            variance += std::max(0.0, double(square[k]) / count - stats.mean[k] * stats.mean[k]);
        }
        stats.activity[i] = std::sqrt(variance);
    }
    return stats;
}

double activity_threshold(const std::vector<double>& activity)
{
    std::vector<double> sorted = activity;
    const auto floor = sorted.begin() + long(kNoiseFloorShare * double(sorted.size()));
    std::nth_element(sorted.begin(), floor, sorted.end());
    const double noise = *floor;
    const double most = *std::max_element(activity.begin(), activity.end());
    return std::max({kMinActivity, kActiveOverNoise * noise, kActiveShareOfMax * most});
}

struct DisjointSets {
    std::vector<int32_t> parent;

    explicit DisjointSets(size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
    int32_t find(int32_t i)
    {
        while (parent[size_t(i)] != i)
            i = parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
        return i;
    }
    void join(int32_t a, int32_t b) { parent[size_t(find(a))] = find(b); }
};

// Joins neighbouring active cells whose series correlate; returns the sets.
DisjointSets group_cells(const CellGrid& grid, const std::vector<const uint8_t*>& frames, const CellStats& stats,
    const std::vector<uint8_t>& active)
{
    const size_t n = size_t(grid.count());
    struct Pair {
        size_t a, b;
        double products = 0;
    };
    std::vector<Pair> pairs;
    for (int32_t r = 0; r < grid.rows; ++r)
        for (int32_t c = 0; c < grid.columns; ++c) {
            const size_t i = size_t(r) * grid.columns + c;
            if (!active[i])
                continue;
            if (c + 1 < grid.columns && active[i + 1])
                pairs.push_back({i, i + 1});
            if (r + 1 < grid.rows && active[i + size_t(grid.columns)])
                pairs.push_back({i, i + size_t(grid.columns)});
        }
    for (const uint8_t* frame : frames)
        for (Pair& pair : pairs)
            for (size_t ch = 0; ch < 3; ++ch)
                pair.products += double(frame[ch * n + pair.a]) * frame[ch * n + pair.b];
    const double count = double(frames.size());
    DisjointSets sets(n);
    for (const Pair& pair : pairs) {
        double covariance = pair.products / count;
        for (size_t ch = 0; ch < 3; ++ch)
            covariance -= stats.mean[ch * n + pair.a] * stats.mean[ch * n + pair.b];
        const double correlation = covariance / (stats.activity[pair.a] * stats.activity[pair.b]);
        if (correlation >= kMergeCorrelation)
            sets.join(int32_t(pair.a), int32_t(pair.b));
    }
    return sets;
}

struct Component {
    std::vector<size_t> cells;
    CellRect box; ///< bounding rectangle of the cells
};

std::vector<Component> components(const CellGrid& grid, DisjointSets& sets, const std::vector<uint8_t>& active)
{
    std::vector<int32_t> index_of_root(size_t(grid.count()), -1);
    std::vector<Component> found;
    for (size_t i = 0; i < size_t(grid.count()); ++i) {
        if (!active[i])
            continue;
        const size_t root = size_t(sets.find(int32_t(i)));
        if (index_of_root[root] < 0) {
            index_of_root[root] = int32_t(found.size());
            found.push_back({{}, {grid.columns, grid.rows, 0, 0}});
        }
        Component& component = found[size_t(index_of_root[root])];
        component.cells.push_back(i);
        const int32_t c = int32_t(i % size_t(grid.columns)), r = int32_t(i / size_t(grid.columns));
        component.box = {std::min(component.box.x0, c), std::min(component.box.y0, r),
            std::max(component.box.x1, c + 1), std::max(component.box.y1, r + 1)};
    }
    return found;
}

// Share of each cell of `window` covered by the component: the projection of the cell's
// series on the mean deviation series of the component's interior. Cells of other areas read 0.
std::vector<double> coverage(const CellGrid& grid, const std::vector<const uint8_t*>& frames, const CellStats& stats,
    const Component& component, const CellRect& window, const std::vector<int32_t>& owner, int32_t self)
{
    const size_t n = size_t(grid.count());
    double most = 0;
    for (size_t i : component.cells)
        most = std::max(most, stats.activity[i]);
    std::vector<size_t> interior;
    for (size_t i : component.cells)
        if (stats.activity[i] >= kInteriorShare * most)
            interior.push_back(i);

    std::vector<double> reference(frames.size() * 3, 0);
    for (size_t t = 0; t < frames.size(); ++t)
        for (size_t ch = 0; ch < 3; ++ch) {
            double sum = 0;
            for (size_t i : interior)
                sum += double(frames[t][ch * n + i]) - stats.mean[ch * n + i];
            reference[3 * t + ch] = sum / double(interior.size());
        }
    const double norm = std::inner_product(reference.begin(), reference.end(), reference.begin(), 0.0);

    std::vector<double> share(size_t(window.width() * window.height()), 0);
    for (int32_t r = window.y0; r < window.y1; ++r)
        for (int32_t c = window.x0; c < window.x1; ++c) {
            const size_t i = size_t(r) * grid.columns + c;
            if (owner[i] >= 0 && owner[i] != self)
                continue;
            double dot = 0;
            for (size_t t = 0; t < frames.size(); ++t)
                for (size_t ch = 0; ch < 3; ++ch)
                    dot += double(frames[t][ch * n + i]) * reference[3 * t + ch];
            share[size_t(r - window.y0) * window.width() + (c - window.x0)] = norm > 0 ? dot / norm : 0;
        }
    return share;
}

// Edge position and length along one axis from the coverage profile across it: the profile's
// sum is the length in cells, its centroid the centre.
void extent(const std::vector<double>& profile, int32_t first, int32_t cell, int32_t* start, int32_t* length)
{
    double sum = 0, moment = 0;
    for (size_t j = 0; j < profile.size(); ++j) {
        const double c = profile[j] < kNoiseCoverage ? 0 : std::min(profile[j], 1.0);
        sum += c;
        moment += c * (double(first) + double(j) + 0.5);
    }
    const double centre = sum > 0 ? moment / sum : 0;
    *start = int32_t(std::lround((centre - sum / 2) * cell));
    *length = int32_t(std::lround(sum * cell));
}

// The marker inside a component, or false when its inside is too small or not a rectangle.
bool marker_of(const CellGrid& grid, const std::vector<const uint8_t*>& frames, const CellStats& stats,
    const Component& component, const std::vector<int32_t>& owner, int32_t self, MarkerArea* marker)
{
    const CellRect window{std::max(component.box.x0 - kEdgeReach, 0), std::max(component.box.y0 - kEdgeReach, 0),
        std::min(component.box.x1 + kEdgeReach, grid.columns), std::min(component.box.y1 + kEdgeReach, grid.rows)};
    const std::vector<double> share = coverage(grid, frames, stats, component, window, owner, self);
    const auto at = [&](int32_t c, int32_t r) { return share[size_t(r - window.y0) * window.width() + (c - window.x0)]; };

    CellRect core{grid.columns, grid.rows, 0, 0};
    int32_t inside = 0;
    for (int32_t r = window.y0; r < window.y1; ++r)
        for (int32_t c = window.x0; c < window.x1; ++c)
            if (at(c, r) >= kCoreCoverage) {
                ++inside;
                core = {std::min(core.x0, c), std::min(core.y0, r), std::max(core.x1, c + 1), std::max(core.y1, r + 1)};
            }
    if (core.width() < kMinCoreSide || core.height() < kMinCoreSide ||
        inside < kMinFill * core.width() * core.height())
        return false;

    std::vector<double> columns(size_t(window.width()), 0), rows(size_t(window.height()), 0);
    for (int32_t c = window.x0; c < window.x1; ++c) {
        for (int32_t r = core.y0; r < core.y1; ++r)
            columns[size_t(c - window.x0)] += at(c, r);
        columns[size_t(c - window.x0)] /= core.height();
    }
    for (int32_t r = window.y0; r < window.y1; ++r) {
        for (int32_t c = core.x0; c < core.x1; ++c)
            rows[size_t(r - window.y0)] += at(c, r);
        rows[size_t(r - window.y0)] /= core.width();
    }
    extent(columns, window.x0, grid.cell, &marker->left, &marker->width);
    extent(rows, window.y0, grid.cell, &marker->top, &marker->height);

    // Keep a cell of margin where the inside is wide enough: a picture that moves by a pixel
    // (field order, scaling) then still reads the marker alone.
    marker->read = core;
    if (core.width() >= 4)
        marker->read.x0 += 1, marker->read.x1 -= 1;
    if (core.height() >= 4)
        marker->read.y0 += 1, marker->read.y1 -= 1;
    return true;
}

// Active cells connected through any neighbour, diagonals included: a marker with its edge
// cells, or a picture that changes besides the markers.
std::vector<Component> regions(const CellGrid& grid, const std::vector<uint8_t>& active)
{
    DisjointSets sets(size_t(grid.count()));
    const auto join_if_active = [&](int32_t r, int32_t c, int32_t i) {
        if (r >= 0 && r < grid.rows && c >= 0 && c < grid.columns && active[size_t(r * grid.columns + c)])
            sets.join(i, r * grid.columns + c);
    };
    for (int32_t r = 0; r < grid.rows; ++r)
        for (int32_t c = 0; c < grid.columns; ++c) {
            const int32_t i = r * grid.columns + c;
            if (!active[size_t(i)])
                continue;
            join_if_active(r, c + 1, i);
            join_if_active(r + 1, c - 1, i);
            join_if_active(r + 1, c, i);
            join_if_active(r + 1, c + 1, i);
        }
    return components(grid, sets, active);
}

CellRect grown(const CellRect& rect, int32_t cells, const CellGrid& grid)
{
    return {std::max(rect.x0 - cells, 0), std::max(rect.y0 - cells, 0), std::min(rect.x1 + cells, grid.columns),
        std::min(rect.y1 + cells, grid.rows)};
}

bool contains(const CellRect& outer, const CellRect& inner)
{
    return inner.x0 >= outer.x0 && inner.y0 >= outer.y0 && inner.x1 <= outer.x1 && inner.y1 <= outer.y1;
}

// Whether the changing region around a component is the component's own: nothing else changes
// beyond its edge reach, and little next to it.
bool stands_alone(const CellGrid& grid, const Component& component, const Component& region)
{
    return contains(grown(component.box, kEdgeReach, grid), region.box) &&
        double(region.cells.size() - component.cells.size()) <= kMaxStrayShare * double(component.cells.size());
}

PixelRect pixels_of(const CellGrid& grid, const CellRect& rect)
{
    return {rect.x0 * grid.cell, rect.y0 * grid.cell, rect.width() * grid.cell, rect.height() * grid.cell};
}

PixelRect united(const PixelRect& a, const PixelRect& b)
{
    const int32_t left = std::min(a.left, b.left), top = std::min(a.top, b.top);
    return {left, top, std::max(a.left + a.width, b.left + b.width) - left,
        std::max(a.top + a.height, b.top + b.height) - top};
}

bool near(const PixelRect& a, const PixelRect& b, int32_t reach)
{
    return a.left - reach < b.left + b.width && b.left - reach < a.left + a.width && a.top - reach < b.top + b.height &&
        b.top - reach < a.top + a.height;
}

int64_t area_of(const PixelRect& r)
{
    return int64_t(r.width) * r.height;
}

// Merges one pair of areas within `reach` of each other; false when no pair is.
bool merge_one_near_pair(std::vector<PixelRect>* areas, int32_t reach)
{
    for (size_t i = 0; i < areas->size(); ++i)
        for (size_t j = i + 1; j < areas->size(); ++j)
            if (near((*areas)[i], (*areas)[j], reach)) {
                (*areas)[i] = united((*areas)[i], (*areas)[j]);
                areas->erase(areas->begin() + long(j));
                return true;
            }
    return false;
}

// Merges the pair whose union adds the least area.
void merge_closest_pair(std::vector<PixelRect>* areas)
{
    size_t best_i = 0, best_j = 1;
    int64_t least = std::numeric_limits<int64_t>::max();
    for (size_t i = 0; i < areas->size(); ++i)
        for (size_t j = i + 1; j < areas->size(); ++j) {
            const PixelRect& a = (*areas)[i];
            const PixelRect& b = (*areas)[j];
            const int64_t added = area_of(united(a, b)) - area_of(a) - area_of(b);
            if (added < least)
                least = added, best_i = i, best_j = j;
        }
    (*areas)[best_i] = united((*areas)[best_i], (*areas)[best_j]);
    areas->erase(areas->begin() + long(best_j));
}

// For each cell, the index of the component that holds it, -1 for none.
std::vector<int32_t> index_of_cells(const CellGrid& grid, const std::vector<Component>& found)
{
    std::vector<int32_t> index(size_t(grid.count()), -1);
    for (size_t k = 0; k < found.size(); ++k)
        for (size_t i : found[k].cells)
            index[i] = int32_t(k);
    return index;
}

// The regions that hold no marker, large enough to have held one, with the cell around each.
std::vector<PixelRect> changing_areas(const CellGrid& grid, const std::vector<Component>& regions,
    const std::vector<bool>& region_is_marker)
{
    std::vector<PixelRect> areas;
    for (size_t k = 0; k < regions.size(); ++k)
        if (!region_is_marker[k] && regions[k].cells.size() >= size_t(kMinCoreSide * kMinCoreSide))
            areas.push_back(pixels_of(grid, grown(regions[k].box, 1, grid)));
    return merge_changing_areas(std::move(areas), kChangingAreaReach * grid.cell, kMostChangingAreas);
}

// Raster order of the markers' corners, markers whose tops differ by less than half a
// marker's height counting as one row.
void sort_raster(std::vector<MarkerArea>* markers)
{
    std::sort(markers->begin(), markers->end(), [](const MarkerArea& a, const MarkerArea& b) { return a.top < b.top; });
    for (size_t first = 0; first < markers->size();) {
        size_t end = first + 1;
        while (end < markers->size() && (*markers)[end].top - (*markers)[first].top < (*markers)[first].height / 2)
            ++end;
        std::sort(markers->begin() + long(first), markers->begin() + long(end),
            [](const MarkerArea& a, const MarkerArea& b) { return a.left < b.left; });
        first = end;
    }
}

} // namespace

MarkerSearch find_marker_areas(const CellGrid& grid, const std::vector<const uint8_t*>& frames)
{
    if (frames.size() < 2 || grid.count() == 0)
        return {};
    const CellStats stats = cell_stats(grid, frames);
    const double threshold = activity_threshold(stats.activity);
    std::vector<uint8_t> active(size_t(grid.count()));
    for (size_t i = 0; i < active.size(); ++i)
        active[i] = stats.activity[i] >= threshold;

    DisjointSets sets = group_cells(grid, frames, stats, active);
    const std::vector<Component> found = components(grid, sets, active);
    const std::vector<int32_t> owner = index_of_cells(grid, found);
    const std::vector<Component> changing = regions(grid, active);
    const std::vector<int32_t> region_of = index_of_cells(grid, changing);

    MarkerSearch search;
    std::vector<bool> region_is_marker(changing.size(), false);
    for (size_t k = 0; k < found.size(); ++k) {
        const size_t region = size_t(region_of[found[k].cells[0]]);
        MarkerArea marker;
        if (found[k].cells.size() >= size_t(kMinCoreSide * kMinCoreSide) &&
            stands_alone(grid, found[k], changing[region]) &&
            marker_of(grid, frames, stats, found[k], owner, int32_t(k), &marker)) {
            search.markers.push_back(marker);
            region_is_marker[region] = true;
        }
    }
    sort_raster(&search.markers);
    search.changing_areas = changing_areas(grid, changing, region_is_marker);
    return search;
}

std::vector<PixelRect> merge_changing_areas(std::vector<PixelRect> areas, int32_t reach, size_t most)
{
    while (merge_one_near_pair(&areas, reach)) {
    }
    while (areas.size() > std::max<size_t>(most, 1))
        merge_closest_pair(&areas);
    std::sort(areas.begin(), areas.end(),
        [](const PixelRect& a, const PixelRect& b) { return std::pair(a.top, a.left) < std::pair(b.top, b.left); });
    return areas;
}

} // namespace skelv

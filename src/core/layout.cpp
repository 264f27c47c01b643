#include "core/layout.h"

#include "core/layout_accumulate.h"
#include "core/clip_constants.h"
#include "core/log.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

namespace {

constexpr uint8_t kClassOnThreshold = clip::kClassOnThreshold;
constexpr uint32_t kInitialCrc = 0x01010101; // every byte of the crc plane starts at 1
constexpr size_t kMaxLabels = 255;           // labels are bytes; 0 means no area
constexpr int32_t kMinMarkerSpan = 15;       // right - left and bottom - top must exceed this

uint8_t color_class(const uint8_t* pixel)
{
    return static_cast<uint8_t>((pixel[0] > kClassOnThreshold) | (pixel[1] > kClassOnThreshold) << 1 |
                                (pixel[2] > kClassOnThreshold) << 2);
}

size_t pixel_count(int32_t width, int32_t height)
{
    return width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
}

// ---- extraction ----

// Background gets crc 0: rejected pixels, and pixels with a channel that never changed;
// a crc of 0 elsewhere becomes 1. Returns whether any pixel of the range is foreground.
bool mark_background(Layout& layout, size_t start, size_t count)
{
    uint32_t foreground = 0;
    for (size_t i = start; i < start + count; ++i) {
        uint32_t min, max;
        std::memcpy(&min, &layout.channel_min[4 * i], sizeof min);
        std::memcpy(&max, &layout.channel_max[4 * i], sizeof max);
        // A zero byte among R, G, B of min ^ max is a channel that never changed.
        const uint32_t changed = (min ^ max) | 0xff000000u;
        const bool unchanged_channel = ((changed - 0x01010101u) & ~changed & 0x80808080u) != 0;
        const uint32_t crc = layout.crc[i] != 0 ? layout.crc[i] : 1;
        layout.crc[i] = layout.candidate[i] != 0 && !unchanged_channel ? crc : 0;
        foreground |= layout.crc[i];
    }
    return foreground != 0;
}

// Labels of the row being scanned and of the row above; nothing else is ever read back.
struct Labelling {
    explicit Labelling(size_t width) : row(width, 0), row_above(width, 0) {}

    std::vector<uint8_t> row;         ///< per pixel of the current row; 0 for none
    std::vector<uint8_t> row_above;   ///< same, one row up (all 0 above the first row)
    std::array<uint8_t, 256> merge{}; ///< label -> smaller label it was joined with, 0 for none
    std::vector<MarkerRect> areas;    ///< label L at index L - 1
};

void widen(MarkerRect& box, int32_t left, int32_t top, int32_t right, int32_t bottom)
{
    box.left = std::min(box.left, left);
    box.top = std::min(box.top, top);
    box.right = std::max(box.right, right);
    box.bottom = std::max(box.bottom, bottom);
}

// One row of the raster scan, once the background pass has reached the row below.
// Neighbour crc entries outside the frame count as 0, which no foreground pixel has.
void label_row(const Layout& layout, Labelling& state, int32_t y)
{
    const int32_t width = layout.width;
    const uint32_t* crc = &layout.crc[size_t(y) * size_t(width)];
    const uint32_t* up = y > 0 ? crc - width : nullptr;
    const uint32_t* down = y + 1 < layout.height ? crc + width : nullptr;
    const uint8_t* monochrome = &layout.monochrome[size_t(y) * size_t(width)];
    uint8_t* labels = state.row.data();
    const uint8_t* labels_up = state.row_above.data();
    // Boxes grow once per run of one label in the row rather than once per pixel: nothing
    // reads them before the scan ends, and a chain of read-after-write on the same box
    // would be the scan's bottleneck.
    uint8_t run_label = 0;
    int32_t run_first = 0, run_last = 0;
    const auto close_run = [&] {
        if (run_label != 0)
            widen(state.areas[run_label - 1], run_first, y, run_last, y);
    };

    for (int32_t x = 0; x < width; ++x) {
        const uint32_t a = crc[x];
        labels[x] = 0;
        if (a == 0)
            continue;
        // Provisional label from the left and upper neighbours. Joining a label with 0
        // clears its entry, and the pixel then gets no label from them.
        const bool same_left = x > 0 && crc[x - 1] == a;
        const bool same_up = up != nullptr && up[x] == a;
        uint8_t g = 0;
        if (same_left && same_up) {
            const uint8_t l = labels[x - 1];
            const uint8_t u = labels_up[x];
            if (l != u)
                state.merge[std::max(l, u)] = std::min(l, u);
            g = std::min(l, u);
        } else if (same_left) {
            g = labels[x - 1];
        } else if (same_up) {
            g = labels_up[x];
        }

        if (g != 0) {
            if (g != run_label) {
                close_run();
                run_label = g;
                run_first = x;
            }
            run_last = x;
            labels[x] = g;
        } else if (state.areas.size() < kMaxLabels && x + 1 < width && crc[x + 1] == a && down != nullptr &&
                   down[x] == a) {
            // An area only starts where the right and lower neighbours share the crc.
            const uint8_t colored = monochrome[x] ? 0 : 1;
            state.areas.push_back(MarkerRect{x, y, x, y, colored, a});
            labels[x] = static_cast<uint8_t>(state.areas.size());
        }
    }
    close_run();
}

// Folds each joined label into the smaller one, from the highest label down so that
// chains end in their lowest label and label L is still at index L - 1 when removed.
void merge_joined_areas(std::vector<MarkerRect>& areas, const std::array<uint8_t, 256>& merge)
{
    for (size_t label = areas.size(); label >= 1; --label) {
        const uint8_t target = merge[label];
        if (target == 0)
            continue;
        const MarkerRect& from = areas[label - 1];
        widen(areas[target - 1], from.left, from.top, from.right, from.bottom);
        areas.erase(areas.begin() + static_cast<std::ptrdiff_t>(label - 1));
    }
}

} // namespace

Layout* layout_new(int32_t width, int32_t height)
{
    const size_t n = pixel_count(width, height);
    return new Layout{
        .width = width,
        .height = height,
        .candidate = std::vector<uint8_t>(n, 1),
        .monochrome = std::vector<uint8_t>(n, 1),
        .channel_min = std::vector<uint8_t>(4 * n, 255),
        .channel_max = std::vector<uint8_t>(4 * n, 0),
        .crc = std::vector<uint32_t>(n, kInitialCrc),
        .ref_color = std::vector<uint32_t>(n, 0),
    };
}

LayoutPlanes layout_planes(Layout* layout)
{
    return {layout->candidate.data(), layout->monochrome.data(), layout->channel_min.data(),
            layout->channel_max.data(),   layout->crc.data(),        layout->ref_color.data()};
}

// The vector kernel does not log, so DEBUG logging takes the scalar one.
void layout_process(Layout* layout, const uint8_t* data, int32_t stride)
{
    if (pixel_count(layout->width, layout->height) == 0)
        return;
    const LayoutPlanes planes = layout_planes(layout);
    const bool log_rejections = skelv::log_enabled(skelv::LogLevel::Debug);
    if (!log_rejections && accumulate_avx2_available())
        accumulate_frame_avx2(planes, layout->width, layout->height, data, stride);
    else
        accumulate_frame_scalar(planes, layout->width, layout->height, data, stride, log_rejections);
}

// The background pass runs one row ahead of the labelling, which reads the row below,
// so each row's planes are read while still in cache. Rows without foreground have no
// labels and are skipped.
std::vector<MarkerRect> layout_get_markers(Layout* layout)
{
    if (pixel_count(layout->width, layout->height) == 0)
        return {};
    const size_t width = size_t(layout->width);
    Labelling state(width);
    bool below_has_foreground = mark_background(*layout, 0, width);
    for (int32_t y = 0; y < layout->height; ++y) {
        const bool has_foreground = below_has_foreground;
        if (y + 1 < layout->height)
            below_has_foreground = mark_background(*layout, size_t(y + 1) * width, width);
        if (has_foreground)
            label_row(*layout, state, y);
        else
            std::fill(state.row.begin(), state.row.end(), 0);
        std::swap(state.row, state.row_above);
    }
    merge_joined_areas(state.areas, state.merge);
    std::erase_if(state.areas, [](const MarkerRect& box) {
        return box.right - box.left <= kMinMarkerSpan || box.bottom - box.top <= kMinMarkerSpan;
    });
    return std::move(state.areas);
}

void layout_free(Layout* layout)
{
    delete layout;
}

std::string frame_code_sample(const std::vector<MarkerRect>& markers, const uint8_t* data, int32_t stride)
{
    std::string code(markers.size(), '\0');
    char* letter = code.data();
    for (const MarkerRect& marker : markers) {
        const int32_t cx = (marker.left + marker.right) / 2;
        const int32_t cy = (marker.top + marker.bottom) / 2;
        const uint8_t* pixel = data + static_cast<std::ptrdiff_t>(cy) * stride + 4 * static_cast<std::ptrdiff_t>(cx);
        *letter++ = clip::kColorLetters[color_class(pixel)];
    }
    return code;
}

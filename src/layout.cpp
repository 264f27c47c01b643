#include "layout.h"

#include "log.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <utility>

namespace {

constexpr uint8_t kClassOnThreshold = 200;   // a channel above this sets its class bit
constexpr uint8_t kSaturatedHigh = 250;      // a pixel with no channel at or above this
constexpr uint8_t kSaturatedLow = 5;         // and none at or below this is non-saturated
constexpr int kMaxDriftWithinClass = 32;     // sum of |channel differences| allowed in one class run
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

// ---- accumulation ----

// Widens the pixel's channel ranges; returns the smallest and largest channel of this frame.
std::pair<uint8_t, uint8_t> update_channel_range(Layout& layout, size_t i, const uint8_t* pixel)
{
    uint8_t lo = 255;
    uint8_t hi = 0;
    for (size_t c = 0; c < 3; ++c) {
        const uint8_t value = pixel[c];
        uint8_t& min = layout.channel_min[4 * i + c];
        uint8_t& max = layout.channel_max[4 * i + c];
        min = std::min(min, value);
        max = std::max(max, value);
        lo = std::min(lo, value);
        hi = std::max(hi, value);
    }
    return {lo, hi};
}

// Compares against the colour at the start of the current class run, which a new class
// replaces; drifting further than kMaxDriftWithinClass inside one run rejects the pixel.
void apply_slow_change_rule(Layout& layout, size_t i, int32_t x, int32_t y, uint8_t cls, const uint8_t* pixel)
{
    const uint32_t word = static_cast<uint32_t>(cls) << 24 | static_cast<uint32_t>(pixel[0]) << 16 |
                          static_cast<uint32_t>(pixel[1]) << 8 | pixel[2];
    uint32_t& ref = layout.ref_color[i];
    if (ref >> 24 != cls) {
        ref = word;
        return;
    }
    const int drift = std::abs(pixel[0] - static_cast<int>(ref >> 16 & 0xff)) +
                      std::abs(pixel[1] - static_cast<int>(ref >> 8 & 0xff)) +
                      std::abs(pixel[2] - static_cast<int>(ref & 0xff));
    if (drift > kMaxDriftWithinClass) {
        SKELV_LOG(GST_LEVEL_DEBUG, nullptr, "Marking %d,%d as slowly changing: old %08x, new %08x\n", x, y, ref,
                  word);
        layout.candidate[i] = 0;
    }
}

// One frame of a pixel that is still a candidate. A pixel rejected here still has this
// frame folded into its history.
void accumulate_pixel(Layout& layout, size_t i, int32_t x, int32_t y, const uint8_t* pixel)
{
    const auto [lo, hi] = update_channel_range(layout, i, pixel);
    const uint8_t cls = color_class(pixel);
    if (hi < kSaturatedHigh && lo > kSaturatedLow) {
        SKELV_LOG(GST_LEVEL_DEBUG, nullptr, "Marking %d,%d as non-saturated: color #%02x%02x%02x\n", x, y,
                  pixel[0], pixel[1], pixel[2]);
        layout.candidate[i] = 0;
    }
    layout.crc[i] = static_cast<uint32_t>(crc32(layout.crc[i], &cls, 1));
    if (cls != 0 && cls != 7)
        layout.monochrome[i] = 0;
    apply_slow_change_rule(layout, i, x, y, cls, pixel);
}

// ---- extraction ----

// Background gets crc 0: rejected pixels, and pixels with a channel that never changed.
void mark_background(Layout& layout)
{
    for (size_t i = 0; i < layout.crc.size(); ++i) {
        uint32_t& crc = layout.crc[i];
        if (crc == 0)
            crc = 1;
        const uint8_t* min = &layout.channel_min[4 * i];
        const uint8_t* max = &layout.channel_max[4 * i];
        if (!layout.candidate[i] || min[0] == max[0] || min[1] == max[1] || min[2] == max[2])
            crc = 0;
    }
}

struct Labelling {
    explicit Labelling(size_t pixels) : labels(pixels, 0) {}

    std::vector<uint8_t> labels;      ///< per pixel; 0 for none
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

// Label from the left and upper neighbours, recording a join when they differ. Joining a
// label with 0 clears its entry, and the pixel then gets no label from them.
uint8_t provisional_label(const Layout& layout, Labelling& state, size_t i, int32_t x, int32_t y)
{
    const uint32_t a = layout.crc[i];
    const bool same_left = x > 0 && layout.crc[i - 1] == a;
    const bool same_up = y > 0 && layout.crc[i - layout.width] == a;
    if (same_left && same_up) {
        const uint8_t l = state.labels[i - 1];
        const uint8_t u = state.labels[i - layout.width];
        if (l != u)
            state.merge[std::max(l, u)] = std::min(l, u);
        return std::min(l, u);
    }
    if (same_left)
        return state.labels[i - 1];
    if (same_up)
        return state.labels[i - layout.width];
    return 0;
}

// An area only starts where the right and lower neighbours share the pixel's crc.
bool can_start_area(const Layout& layout, size_t i, int32_t x, int32_t y)
{
    const uint32_t a = layout.crc[i];
    return x + 1 < layout.width && layout.crc[i + 1] == a && y + 1 < layout.height &&
           layout.crc[i + layout.width] == a;
}

void label_pixel(const Layout& layout, Labelling& state, size_t i, int32_t x, int32_t y)
{
    const uint8_t g = provisional_label(layout, state, i, x, y);
    if (g != 0) {
        widen(state.areas[g - 1], x, y, x, y);
        state.labels[i] = g;
    } else if (state.areas.size() < kMaxLabels && can_start_area(layout, i, x, y)) {
        const uint8_t colored = layout.monochrome[i] ? 0 : 1;
        state.areas.push_back(MarkerRect{x, y, x, y, colored, layout.crc[i]});
        state.labels[i] = static_cast<uint8_t>(state.areas.size());
    }
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

void layout_process(Layout* layout, const uint8_t* data, int32_t stride)
{
    if (pixel_count(layout->width, layout->height) == 0)
        return;
    size_t i = 0;
    for (int32_t y = 0; y < layout->height; ++y) {
        const uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * stride;
        for (int32_t x = 0; x < layout->width; ++x, ++i) {
            if (layout->candidate[i])
                accumulate_pixel(*layout, i, x, y, row + 4 * static_cast<std::ptrdiff_t>(x));
        }
    }
}

std::vector<MarkerRect> layout_get_markers(Layout* layout)
{
    mark_background(*layout);
    Labelling state(layout->crc.size());
    size_t i = 0;
    for (int32_t y = 0; y < layout->height; ++y) {
        for (int32_t x = 0; x < layout->width; ++x, ++i) {
            if (layout->crc[i] != 0)
                label_pixel(*layout, state, i, x, y);
        }
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
    std::string code;
    code.reserve(markers.size());
    for (const MarkerRect& marker : markers) {
        const int32_t cx = (marker.left + marker.right) / 2;
        const int32_t cy = (marker.top + marker.bottom) / 2;
        const uint8_t* pixel = data + static_cast<std::ptrdiff_t>(cy) * stride + 4 * static_cast<std::ptrdiff_t>(cx);
        code += kColorLetters[color_class(pixel)];
    }
    return code;
}

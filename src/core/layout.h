// Marker layout: per-pixel history over the first pass, marker rectangles from it, and
// per-frame colour letters of the second pass. Frames are RGBx, 4 bytes per pixel.
#pragma once

#include "core/layout_accumulate.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One marker rectangle, inclusive pixel coordinates.
struct MarkerRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
    uint8_t colored; ///< 1 when the seed pixel showed a class other than black and white
    uint32_t crc;    ///< fingerprint of the class sequence shared by the area; never 0
};

// History of every pixel over all frames seen. Planes hold width * height entries in
// row-major order, without the frame's stride.
struct Layout {
    int32_t width;                    ///< pixels per row
    int32_t height;                   ///< rows
    std::vector<uint8_t> candidate;   ///< 1 while the pixel may belong to a marker; 0 is final
    std::vector<uint8_t> monochrome;  ///< 1 while every class seen was black or white
    std::vector<uint8_t> channel_min; ///< 4 bytes per pixel: smallest R, G, B; byte 3 stays 255
    std::vector<uint8_t> channel_max; ///< 4 bytes per pixel: largest R, G, B; byte 3 stays 0
    std::vector<uint32_t> crc;        ///< CRC-32 of the class bytes, one per frame, from 0x01010101
    std::vector<uint32_t> ref_color;  ///< class << 24 | R << 16 | G << 8 | B at the start of the class run
};

Layout* layout_new(int32_t width, int32_t height);
// Pointers to the layout's planes, as the accumulation kernels take them.
LayoutPlanes layout_planes(Layout* layout);
// `data`: first byte of one RGBx frame of the layout's size; `stride`: bytes between rows.
void layout_process(Layout* layout, const uint8_t* data, int32_t stride);
// Rewrites the layout's fingerprints in place (background becomes 0); calling it again
// returns an equal list.
std::vector<MarkerRect> layout_get_markers(Layout* layout);
void layout_free(Layout* layout);

struct LayoutFree {
    void operator()(Layout* layout) const { layout_free(layout); }
};
using LayoutPtr = std::unique_ptr<Layout, LayoutFree>;

// One letter of kColorLetters per marker: the class of the pixel at the centre of each
// rectangle. The frame must cover every rectangle.
std::string frame_code_sample(const std::vector<MarkerRect>& markers, const uint8_t* data, int32_t stride);

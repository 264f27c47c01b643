// The snapshot frame as a PNG image, small enough to embed in a page.
#pragma once

#include "check/check_result.h"

#include <cstdint>
#include <string>

namespace skelv {

// `rgb`: 3 bytes per pixel, rows without padding. The PNG file's bytes; empty when the image
// is empty or cannot be encoded.
std::string png_encode_rgb(const uint8_t* rgb, int width, int height);

// The snapshot shrunk by a whole factor (box average) until it is at most `max_width` pixels
// wide. The shrunk image covers the first width / factor * factor columns and as many rows.
struct ShrunkSnapshot {
    int factor = 1;
    CheckSnapshot image;
};
ShrunkSnapshot snapshot_shrink(const CheckSnapshot& snapshot, int max_width);

} // namespace skelv

// Per-pixel history kernels: fold one RGBx frame into the layout's state planes.
// Every kernel gives bit-identical planes; they differ only in speed and logging.
#pragma once

#include <array>
#include <cstdint>

// The state planes of one frame size, width * height entries each, row-major, no stride.
struct LayoutPlanes {
    uint8_t* candidate;   ///< 1 while the pixel may belong to a marker; 0 is final
    uint8_t* monochrome;  ///< 1 while every class seen was black or white
    uint8_t* channel_min; ///< 4 bytes per pixel: R, G, B, and 255 never touched
    uint8_t* channel_max; ///< 4 bytes per pixel: R, G, B, and 0 never touched
    uint32_t* crc;        ///< running CRC-32 of the class bytes
    uint32_t* ref_color;  ///< class << 24 | R << 16 | G << 8 | B at the start of the class run
};

// One byte step of CRC-32 with zlib's pre- and post-inversion folded into the table:
// entry k is crc32(c, &b, 1) ^ (c >> 8) for any c, b with (c ^ b) & 0xff == k.
extern const std::array<uint32_t, 256> kCrc32ByteStep;

// Same value as zlib's crc32(crc, &byte, 1).
inline uint32_t crc32_byte(uint32_t crc, uint8_t byte)
{
    return kCrc32ByteStep[(crc ^ byte) & 0xff] ^ (crc >> 8);
}

// Portable kernel, one pixel at a time, skipping rejected pixels eight at a time. With
// `log_rejections` it writes the DEBUG line of every rejection, in raster order.
void accumulate_frame_scalar(const LayoutPlanes& planes, int32_t width, int32_t height, const uint8_t* data,
                             int32_t stride, bool log_rejections);

// True when the CPU runs accumulate_frame_avx2.
bool accumulate_avx2_available();

// Eight pixels per step with AVX2; logs nothing. Call only when accumulate_avx2_available().
void accumulate_frame_avx2(const LayoutPlanes& planes, int32_t width, int32_t height, const uint8_t* data,
                           int32_t stride);

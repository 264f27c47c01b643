// A decoded picture as the robust reader takes it: 8-bit luma and two chroma planes, in the
// decoder's own layout (planar 4:2:0, 4:2:2 or 4:4:4, or interleaved chroma as in NV12).
#pragma once

#include <cstdint>

namespace skelv {

struct YuvFrameView {
    int32_t width = 0, height = 0; ///< luma pixels
    const uint8_t* y = nullptr;
    int32_t y_stride = 0; ///< bytes between luma rows
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    int32_t uv_stride = 0; ///< bytes between chroma rows, the same for both planes
    int32_t uv_step = 1;   ///< bytes between neighbouring chroma samples: 1 planar, 2 interleaved
    int32_t shift_x = 1;   ///< chroma subsampling: log2 of luma columns per chroma sample
    int32_t shift_y = 1;   ///< log2 of luma rows per chroma sample
};

// Mean levels of an area, 8-bit scale.
struct Yuv {
    float y = 0, u = 0, v = 0;
};

} // namespace skelv

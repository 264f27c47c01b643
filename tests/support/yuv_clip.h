// Test pictures for the robust reader, made in memory from the generator's clip design: I420
// frames, or a marker's mean levels frame by frame as a capture at another rate shows them.
#pragma once

#include "generate/clip_design.h"
#include "picture/marker_search.h"
#include "picture/yuv_frame.h"

#include <cstdint>
#include <random>
#include <vector>

namespace skelv {

struct I420Frame {
    int width, height, y_stride, uv_stride; ///< rows are padded past the picture
    std::vector<uint8_t> bytes;

    I420Frame(int w, int h);
    uint8_t* row(int plane, int y); ///< plane 0 Y, 1 U, 2 V
    YuvFrameView view() const;
};

// A design made from `params`; fails the test when the params are refused.
ClipDesign make_design(const ClipParams& params);
// The default design with other spans and marker periods.
ClipDesign make_design(int header, int content, int sync_half_period = 4, int frameid_bits = 4);
// Mean levels (BT.601, limited range) of a marker showing `letter` of "krgybmcw".
Yuv design_levels(char letter);
// Paints `box` of `frame` in levels `c`; chroma covers the box's half-pixels.
void paint_box(I420Frame* frame, const PixelRect& box, const Yuv& c);
I420Frame paint_frame(const ClipDesign& design, int frame);
std::vector<I420Frame> paint_clip(const ClipDesign& design);

// What real clips show besides the markers, painted over `box` of frame number `n`: random
// grey squares of `grain` pixels, new each frame; or the six colours as bars 12 pixels wide
// moving 5 pixels a frame.
void paint_noise(I420Frame* frame, const PixelRect& box, int grain, std::mt19937* random);
void paint_moving_bars(I420Frame* frame, const PixelRect& box, int n);

// Each marker's levels in `count` frames captured at `capture_fps` from design frame `first`:
// the design frame at each captured frame's time.
struct CapturedSeries {
    std::vector<std::vector<Yuv>> series; ///< per design marker, per captured frame
    std::vector<int64_t> times_ns;
};
CapturedSeries capture_series(const ClipDesign& design, double capture_fps, int first, int count);

} // namespace skelv

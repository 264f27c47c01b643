// Test pictures for the robust reader, made in memory: the generator's clip design painted into
// I420 frames the way a chain may deliver them (levels, saturation, scale, bars, noise).
#pragma once

#include "generate/clip_design.h"
#include "robust/yuv_frame.h"

#include <cstdint>
#include <vector>

struct ChainLook {
    int width = 0, height = 0;      ///< captured frame, even sizes; 0: the design's size
    int offset_x = 0, offset_y = 0; ///< top-left corner of the picture in the frame (bars around)
    double scale = 1;               ///< frame pixels per design pixel
    double contrast = 1;            ///< luma scaled about black
    double brightness = 0;          ///< luma offset, share of the luma range
    double saturation = 1;          ///< chroma scaled about grey
    bool full_range = false;        ///< luma and chroma 0-255 instead of 16-235 and 16-240
    double noise = 0;               ///< amplitude of uniform luma noise, levels
};

struct I420Frame {
    int width = 0, height = 0;
    int y_stride = 0, uv_stride = 0; ///< rows are padded past the picture
    std::vector<uint8_t> bytes;

    I420Frame(int w, int h);
    uint8_t* y_row(int row) { return bytes.data() + size_t(row) * y_stride; }
    uint8_t* u_row(int row) { return bytes.data() + size_t(height) * y_stride + size_t(row) * uv_stride; }
    uint8_t* v_row(int row) { return u_row(row) + size_t(height / 2) * uv_stride; }
    YuvFrameView view() const;
};

// Mean levels of a marker showing `letter` ("krgybmcw") through the chain.
Yuv design_levels(char letter, const ChainLook& look = {});

// What a capture of the design at another frame rate shows: each captured frame is the design
// frame at its time (dropping or repeating frames), or with `blend` the mix of the two design
// frames around it, weighted by the time between them (pure within 15/256 of either, as
// ffmpeg's framerate filter does).
struct CapturedSeries {
    std::vector<std::vector<Yuv>> series; ///< per design marker, per captured frame
    std::vector<int64_t> times_ns;
    std::vector<int> shown;               ///< design frame shown, -1 for a blend
};
CapturedSeries capture_series(const ClipDesign& design, double capture_fps, int first_frame, int count,
    bool blend = false, const ChainLook& look = {});

// A design made from `params`; fails the test when the params are refused.
ClipDesign make_design(const ClipParams& params);
// Design frame `frame` as the chain shows it, markers painted with BT.601 colours.
I420Frame paint_frame(const ClipDesign& design, int frame, const ChainLook& look = {});
// Every design frame in order.
std::vector<I420Frame> paint_clip(const ClipDesign& design, const ChainLook& look = {});
// (1 - weight) * a + weight * b, sample by sample: a frame-rate converter's blend.
I420Frame blend_frames(const I420Frame& a, const I420Frame& b, double weight);

#include "yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace skelv {

I420Frame::I420Frame(int w, int h)
    : width(w), height(h), y_stride(w + 24), uv_stride(w / 2 + 24), bytes(size_t(h) * (y_stride + uv_stride), 0)
{
}

uint8_t* I420Frame::row(int plane, int y)
{
    const size_t chroma = size_t(height / 2) * uv_stride;
    return bytes.data() + (plane == 0 ? size_t(y) * y_stride : size_t(height) * y_stride + (plane - 1) * chroma + size_t(y) * uv_stride);
}

YuvFrameView I420Frame::view() const
{
    YuvFrameView view;
    view.width = width, view.height = height, view.y = bytes.data(), view.y_stride = y_stride;
    view.u = bytes.data() + size_t(height) * y_stride, view.v = view.u + size_t(height / 2) * uv_stride;
    view.uv_stride = uv_stride;
    return view;
}

ClipDesign make_design(const ClipParams& params)
{
    ClipDesign design;
    std::string error;
    EXPECT_TRUE(clip_design_make(params, &design, &error)) << error;
    return design;
}

ClipDesign make_design(int header, int content, int sync_half_period, int frameid_bits)
{
    ClipParams params;
    params.header = header, params.content = content;
    params.sync_half_period = sync_half_period, params.frameid_bits = frameid_bits;
    return make_design(params);
}

Yuv design_levels(char letter)
{
    const int bits = int(std::strchr("krgybmcw", letter) - "krgybmcw");
    const double r = bits & 1 ? 255 : 0, g = bits & 2 ? 255 : 0, b = bits & 4 ? 255 : 0;
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    return {float(std::round(16 + luma / 255 * 219)), float(std::round(128 + (b - luma) / 1.772 * 224 / 255)),
        float(std::round(128 + (r - luma) / 1.402 * 224 / 255))};
}

void paint_box(I420Frame* frame, const PixelRect& box, const Yuv& c)
{
    for (int y = box.top; y < box.top + box.height; ++y)
        std::memset(frame->row(0, y) + box.left, int(c.y), size_t(box.width));
    for (int y = (box.top + 1) / 2; y < (box.top + box.height + 1) / 2; ++y)
        for (int x = (box.left + 1) / 2; x < (box.left + box.width + 1) / 2; ++x)
            frame->row(1, y)[x] = uint8_t(c.u), frame->row(2, y)[x] = uint8_t(c.v);
}

I420Frame paint_frame(const ClipDesign& design, int frame)
{
    const ClipParams& params = design.params;
    I420Frame out(params.width, params.height);
    const float grey = float(16 + params.background / 255.0 * 219);
    paint_box(&out, {0, 0, params.width, params.height}, {grey, 128, 128});
    const std::string code = clip_design_code(design, frame);
    for (size_t m = 0; m < design.markers.size(); ++m) {
        const MarkerBox& box = design.markers[m];
        paint_box(&out, {box.left, box.top, box.size, box.size}, design_levels(code[m]));
    }
    return out;
}

std::vector<I420Frame> paint_clip(const ClipDesign& design)
{
    std::vector<I420Frame> frames;
    for (int f = 0; f < design.params.design_frames(); ++f)
        frames.push_back(paint_frame(design, f));
    return frames;
}

void paint_noise(I420Frame* frame, const PixelRect& box, int grain, std::mt19937* random)
{
    for (int y0 = box.top; y0 < box.top + box.height; y0 += grain)
        for (int x0 = box.left; x0 < box.left + box.width; x0 += grain) {
            const uint8_t level = uint8_t((*random)() % 256);
            for (int y = y0; y < std::min(y0 + grain, box.top + box.height); ++y)
                std::memset(frame->row(0, y) + x0, level, size_t(std::min(grain, box.left + box.width - x0)));
        }
}

void paint_moving_bars(I420Frame* frame, const PixelRect& box, int n)
{
    for (int y = box.top; y < box.top + box.height; ++y)
        for (int x = box.left; x < box.left + box.width; ++x) {
            const Yuv c = design_levels("rygcbm"[((x + 5 * n) / 12) % 6]);
            frame->row(0, y)[x] = uint8_t(c.y);
            frame->row(1, y / 2)[x / 2] = uint8_t(c.u), frame->row(2, y / 2)[x / 2] = uint8_t(c.v);
        }
}

CapturedSeries capture_series(const ClipDesign& design, double capture_fps, int first, int count)
{
    const double source_fps = double(design.params.fps.num) / design.params.fps.den;
    CapturedSeries out;
    out.series.resize(design.markers.size());
    for (int n = 0; n < count; ++n) {
        const int shown = std::min(int(first + n * source_fps / capture_fps + 1e-9), design.params.design_frames() - 1);
        const std::string code = clip_design_code(design, shown);
        for (size_t m = 0; m < design.markers.size(); ++m)
            out.series[m].push_back(design_levels(code[m]));
        out.times_ns.push_back(std::llround(n * 1e9 / capture_fps));
    }
    return out;
}

} // namespace skelv

#include "yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

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
    view.width = width;
    view.height = height;
    view.y = bytes.data();
    view.y_stride = y_stride;
    view.u = bytes.data() + size_t(height) * y_stride;
    view.v = view.u + size_t(height / 2) * uv_stride;
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

Yuv design_levels(char letter, const ChainLook& look)
{
    const int bits = int(std::strchr("krgybmcw", letter) - "krgybmcw");
    const double r = bits & 1 ? 255 : 0, g = bits & 2 ? 255 : 0, b = bits & 4 ? 255 : 0;
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    const auto level = [](double v) { return float(std::clamp(std::round(v), 0.0, 255.0)); };
    return {level(16 + luma / 255 * 219 * look.contrast + look.brightness * 219),
        level(128 + (b - luma) / 1.772 * 224 / 255 * look.saturation),
        level(128 + (r - luma) / 1.402 * 224 / 255 * look.saturation)};
}

I420Frame paint_frame(const ClipDesign& design, int frame, const ChainLook& look)
{
    const ClipParams& params = design.params;
    I420Frame out(look.width > 0 ? look.width : params.width, look.height > 0 ? look.height : params.height);
    // Pixels whose centres fall in the rectangle, scaled and placed.
    const auto paint = [&](double left, double top, double size_x, double size_y, const Yuv& c) {
        const auto first = [](double edge) { return int(std::ceil(edge - 0.5)); };
        const int x0 = std::max(first(look.offset_x + left * look.scale), 0);
        const int x1 = std::min(first(look.offset_x + (left + size_x) * look.scale), out.width);
        const int y0 = std::max(first(look.offset_y + top * look.scale), 0);
        const int y1 = std::min(first(look.offset_y + (top + size_y) * look.scale), out.height);
        for (int y = y0; y < y1; ++y)
            std::memset(out.row(0, y) + x0, int(c.y), size_t(std::max(x1 - x0, 0)));
        for (int y = (y0 + 1) / 2; y < (y1 + 1) / 2; ++y)
            for (int x = (x0 + 1) / 2; x < (x1 + 1) / 2; ++x)
                out.row(1, y)[x] = uint8_t(c.u), out.row(2, y)[x] = uint8_t(c.v);
    };
    paint(-1e6, -1e6, 2e6, 2e6, design_levels('k', look));
    const double grey = 16 + (params.background / 255.0 * look.contrast + look.brightness) * 219;
    paint(0, 0, params.width, params.height, {float(grey), 128, 128});
    const std::string code = clip_design_code(design, frame);
    for (size_t m = 0; m < design.markers.size(); ++m) {
        const MarkerBox& box = design.markers[m];
        paint(box.left, box.top, box.size, box.size, design_levels(code[m], look));
    }
    std::mt19937 random{uint32_t(frame)};
    std::uniform_real_distribution<double> noise(-look.noise, look.noise);
    for (int y = 0; y < out.height && look.noise > 0; ++y)
        for (int x = 0; x < out.width; ++x)
            out.row(0, y)[x] = uint8_t(std::clamp(std::lround(out.row(0, y)[x] + noise(random)), 0L, 255L));
    return out;
}

std::vector<I420Frame> paint_clip(const ClipDesign& design, const ChainLook& look)
{
    std::vector<I420Frame> frames;
    for (int f = 0; f < design.params.design_frames(); ++f)
        frames.push_back(paint_frame(design, f, look));
    return frames;
}

CapturedSeries capture_series(const ClipDesign& design, double capture_fps, int first, int count, bool blend)
{
    const double source_fps = double(design.params.fps.num) / design.params.fps.den;
    const int last = design.params.design_frames() - 1;
    CapturedSeries out;
    out.series.resize(design.markers.size());
    for (int n = 0; n < count; ++n) {
        const double position = first + n * source_fps / capture_fps + 1e-9;
        const int before = std::min(int(position), last);
        double weight = position - before;
        weight = !blend || weight < 15.0 / 256 ? 0 : weight > 240.0 / 256 ? 1 : weight;
        const std::string a = clip_design_code(design, before), b = clip_design_code(design, std::min(before + 1, last));
        for (size_t m = 0; m < design.markers.size(); ++m) {
            const Yuv x = design_levels(a[m]), y = design_levels(b[m]);
            const auto mix = [&](float p, float q) { return float((1 - weight) * p + weight * q); };
            out.series[m].push_back({mix(x.y, y.y), mix(x.u, y.u), mix(x.v, y.v)});
        }
        out.times_ns.push_back(std::llround(n * 1e9 / capture_fps));
    }
    return out;
}

#include "yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace {

constexpr int kPadding = 24; // bytes after each row, so that a reader ignoring strides fails

struct Rgb {
    double r, g, b;
};

Rgb rgb_of(char letter)
{
    const int bits = int(std::strchr("krgybmcw", letter) - "krgybmcw");
    return {bits & 1 ? 255.0 : 0, bits & 2 ? 255.0 : 0, bits & 4 ? 255.0 : 0};
}

uint8_t clamp_level(double value)
{
    return uint8_t(std::clamp(std::lround(value), 0L, 255L));
}

struct Levels {
    uint8_t y, u, v;
};

// BT.601 with the chain's levels applied.
Levels levels_of(const Rgb& c, const ChainLook& look)
{
    const double luma = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
    const double cb = (c.b - luma) / 1.772, cr = (c.r - luma) / 1.402;
    const double black = look.full_range ? 0 : 16, luma_range = look.full_range ? 255 : 219;
    const double chroma_scale = (look.full_range ? 255.0 : 224.0) / 255 * look.saturation;
    const double y = black + (luma / 255 * luma_range) * look.contrast + look.brightness * luma_range;
    return {clamp_level(y), clamp_level(128 + cb * chroma_scale), clamp_level(128 + cr * chroma_scale)};
}

} // namespace

Yuv design_levels(char letter, const ChainLook& look)
{
    const Levels levels = levels_of(rgb_of(letter), look);
    return {float(levels.y), float(levels.u), float(levels.v)};
}

CapturedSeries capture_series(const ClipDesign& design, double capture_fps, int first_frame, int count, bool blend,
    const ChainLook& look)
{
    const double source_fps = double(design.params.fps.num) / design.params.fps.den;
    const int last = design.params.design_frames() - 1;
    CapturedSeries out;
    out.series.resize(design.markers.size());
    for (int n = 0; n < count; ++n) {
        const double position = first_frame + n * source_fps / capture_fps + 1e-9;
        const int before = std::min(int(position), last), after = std::min(before + 1, last);
        double weight = position - before;
        if (!blend || weight < 15.0 / 256)
            weight = 0;
        else if (weight > 240.0 / 256)
            weight = 1;
        const std::string a = clip_design_code(design, before), b = clip_design_code(design, after);
        for (size_t m = 0; m < design.markers.size(); ++m) {
            const Yuv x = design_levels(a[m], look), y = design_levels(b[m], look);
            const auto mix = [&](float p, float q) { return float((1 - weight) * p + weight * q); };
            out.series[m].push_back({mix(x.y, y.y), mix(x.u, y.u), mix(x.v, y.v)});
        }
        out.times_ns.push_back(int64_t(std::llround(n * 1e9 / capture_fps)));
        out.shown.push_back(weight == 0 ? before : weight == 1 ? after : -1);
    }
    return out;
}

I420Frame::I420Frame(int w, int h)
    : width(w), height(h), y_stride(w + kPadding), uv_stride(w / 2 + kPadding),
      bytes(size_t(h) * y_stride + size_t(h) * uv_stride, 0)
{
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

I420Frame paint_frame(const ClipDesign& design, int frame, const ChainLook& look)
{
    const ClipParams& params = design.params;
    const int width = look.width > 0 ? look.width : params.width;
    const int height = look.height > 0 ? look.height : params.height;
    I420Frame out(width, height);
    // Pixels whose centres fall in the design rectangle, scaled and placed: nearest neighbour.
    const auto paint = [&](double left, double top, double w, double h, const Levels& c) {
        const auto first = [](double edge) { return int(std::ceil(edge - 0.5)); };
        const int x0 = std::max(first(look.offset_x + left * look.scale), 0);
        const int x1 = std::min(first(look.offset_x + (left + w) * look.scale), width);
        const int y0 = std::max(first(look.offset_y + top * look.scale), 0);
        const int y1 = std::min(first(look.offset_y + (top + h) * look.scale), height);
        for (int y = y0; y < y1; ++y)
            std::memset(out.y_row(y) + x0, c.y, size_t(std::max(x1 - x0, 0)));
        for (int y = (y0 + 1) / 2; y < (y1 + 1) / 2; ++y)
            for (int x = (x0 + 1) / 2; x < (x1 + 1) / 2; ++x) {
                out.u_row(y)[x] = c.u;
                out.v_row(y)[x] = c.v;
            }
    };
    paint(-1e6, -1e6, 2e6, 2e6, levels_of({0, 0, 0}, look));
    const double grey = params.background;
    paint(0, 0, params.width, params.height, levels_of({grey, grey, grey}, look));
    const std::string code = clip_design_code(design, frame);
    for (size_t m = 0; m < design.markers.size(); ++m) {
        const MarkerBox& box = design.markers[m];
        paint(box.left, box.top, box.size, box.size, levels_of(rgb_of(code[m]), look));
    }
    if (look.noise > 0) {
        std::mt19937 random{uint32_t(frame)};
        std::uniform_real_distribution<double> noise(-look.noise, look.noise);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                out.y_row(y)[x] = clamp_level(out.y_row(y)[x] + noise(random));
    }
    return out;
}

std::vector<I420Frame> paint_clip(const ClipDesign& design, const ChainLook& look)
{
    std::vector<I420Frame> frames;
    for (int f = 0; f < design.params.design_frames(); ++f)
        frames.push_back(paint_frame(design, f, look));
    return frames;
}

I420Frame blend_frames(const I420Frame& a, const I420Frame& b, double weight)
{
    I420Frame out = a;
    for (size_t i = 0; i < out.bytes.size(); ++i)
        out.bytes[i] = clamp_level((1 - weight) * a.bytes[i] + weight * b.bytes[i]);
    return out;
}

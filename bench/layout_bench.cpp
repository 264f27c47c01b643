// Layout kernels at 1080p. One iteration of a layout_process benchmark is one frame, so
// the reported time is per frame; the layout carries over between iterations, so the
// candidate share stays at its steady state for the regime.
#include "core/layout.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kGrey{128, 128, 128};

struct Frame {
    int32_t stride = 4 * kWidth;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(size_t(4) * kWidth * kHeight, 0);

    void fill(int32_t x0, int32_t y0, int32_t w, int32_t h, Rgb c)
    {
        for (int32_t y = y0; y < y0 + h; ++y)
            for (int32_t x = x0; x < x0 + w; ++x) {
                uint8_t* p = &bytes[size_t(y) * size_t(stride) + 4 * size_t(x)];
                p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 0xff;
            }
    }
};

// Eight 50 x 50 boxes, about 1 % of the frame, blinking in opposite phases.
void paint_boxes(Frame& frame, int phase)
{
    for (int32_t i = 0; i < 8; ++i)
        frame.fill(100 + 200 * i, 400 + 20 * i, 50, 50, (i + phase) % 2 ? kWhite : kBlack);
}

// Two frames that the benchmark alternates.
using Clip = std::vector<Frame>;

// Grey background with blinking boxes: all but the boxes drop out on the first frame.
Clip typical_clip()
{
    Clip clip(2);
    for (int phase = 0; phase < 2; ++phase) {
        clip[size_t(phase)].fill(0, 0, kWidth, kHeight, kGrey);
        paint_boxes(clip[size_t(phase)], phase);
    }
    return clip;
}

// Black letterbox bands over half the frame stay candidates; the grey picture between
// them drops out.
Clip letterbox_clip()
{
    Clip clip = typical_clip();
    for (Frame& frame : clip) {
        frame.fill(0, 0, kWidth, kHeight / 4, kBlack);
        frame.fill(0, kHeight - kHeight / 4, kWidth, kHeight / 4, kBlack);
    }
    return clip;
}

// Every pixel black then white: nothing ever drops out and every reference changes.
Clip blink_clip()
{
    Clip clip(2);
    clip[1].fill(0, 0, kWidth, kHeight, kWhite);
    return clip;
}

// Black with per-channel noise of at most 10 (drift at most 30): nothing drops out.
Clip noise_clip()
{
    Clip clip(2);
    uint32_t state = 12345;
    for (Frame& frame : clip)
        for (size_t i = 0; i < frame.bytes.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            frame.bytes[i] = uint8_t((state >> 24) % 11);
        }
    return clip;
}

using Kernel = void (*)(Layout*, const uint8_t*, int32_t);

// The fallback without AVX2, and the kernel that runs while DEBUG logging is on.
void portable_kernel(Layout* layout, const uint8_t* data, int32_t stride)
{
    accumulate_frame_scalar(layout_planes(layout), layout->width, layout->height, data, stride, false);
}

void process_clip(benchmark::State& state, Clip (*make_clip)(), Kernel kernel)
{
    const Clip clip = make_clip();
    LayoutPtr layout(layout_new(kWidth, kHeight));
    size_t f = 0;
    for (auto _ : state) {
        const Frame& frame = clip[f++ % clip.size()];
        kernel(layout.get(), frame.bytes.data(), frame.stride);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

// layout_process picks the AVX2 kernel where the CPU has it.
void BM_LayoutProcess(benchmark::State& state, Clip (*make_clip)())
{
    if (!accumulate_avx2_available())
        state.SetLabel("no AVX2: portable kernel");
    process_clip(state, make_clip, layout_process);
}

void BM_LayoutProcessPortable(benchmark::State& state, Clip (*make_clip)())
{
    process_clip(state, make_clip, portable_kernel);
}

// Extraction after two frames of a clip: eight markers on a grey background, or every
// pixel foreground in one area covering the frame. Every call after the first sees the
// background already cleared, which costs the same work.
void BM_LayoutGetMarkers(benchmark::State& state, Clip (*make_clip)(), size_t expected_markers)
{
    const Clip clip = make_clip();
    LayoutPtr layout(layout_new(kWidth, kHeight));
    for (const Frame& frame : clip)
        layout_process(layout.get(), frame.bytes.data(), frame.stride);
    for (auto _ : state) {
        const std::vector<MarkerRect> markers = layout_get_markers(layout.get());
        benchmark::DoNotOptimize(markers.data());
        if (markers.size() != expected_markers)
            state.SkipWithError("unexpected number of markers");
    }
}

// Sixteen markers in a grid, one centre pixel each, from the same (cache-warm) frame.
void BM_FrameCodeSample16(benchmark::State& state)
{
    const Clip clip = typical_clip();
    std::vector<MarkerRect> markers;
    for (int32_t i = 0; i < 16; ++i) {
        const int32_t left = 100 + 110 * i, top = 200 + 40 * (i % 4);
        markers.push_back({left, top, left + 49, top + 49, 0, 1});
    }
    for (auto _ : state) {
        std::string code = frame_code_sample(markers, clip[0].bytes.data(), clip[0].stride);
        benchmark::DoNotOptimize(code.data());
    }
}

} // namespace

BENCHMARK_CAPTURE(BM_LayoutProcess, typical_1pct, typical_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcess, letterbox_half, letterbox_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcess, worst_blink, blink_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcess, worst_noise, noise_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcessPortable, typical_1pct, typical_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcessPortable, letterbox_half, letterbox_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcessPortable, worst_blink, blink_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutProcessPortable, worst_noise, noise_clip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutGetMarkers, typical_8, typical_clip, 8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LayoutGetMarkers, all_foreground, blink_clip, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameCodeSample16)->Unit(benchmark::kNanosecond);

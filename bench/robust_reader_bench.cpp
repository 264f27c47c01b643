// Robust picture reading at 1080p: the reduction of a frame to cell means (every frame of the
// look-ahead), the marker search over a 10 s look-ahead, and a frame read once the markers are
// known (every later frame). One iteration is one frame, or one search.
#include "generate/clip_design.h"
#include "picture/cell_grid.h"
#include "picture/marker_search.h"
#include "picture/video_reader.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace skelv;

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// I420 frames of the generator's design: BT.601 levels of the letters "krgybmcw".
struct Frame {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(size_t(kWidth) * kHeight * 3 / 2, 0);

    YuvFrameView view() const
    {
        YuvFrameView view;
        view.width = kWidth;
        view.height = kHeight;
        view.y = bytes.data();
        view.y_stride = kWidth;
        view.u = bytes.data() + size_t(kWidth) * kHeight;
        view.v = view.u + size_t(kWidth) * kHeight / 4;
        view.uv_stride = kWidth / 2;
        return view;
    }
};

void fill(Frame& frame, int x0, int y0, int size, char letter)
{
    const int bits = int(std::strchr("krgybmcw", letter) - "krgybmcw");
    const double r = bits & 1 ? 255 : 0, g = bits & 2 ? 255 : 0, b = bits & 4 ? 255 : 0;
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    const auto level = [](double v) { return uint8_t(std::lround(v)); };
    const uint8_t y = level(16 + luma * 219 / 255), u = level(128 + (b - luma) / 1.772 * 224 / 255),
                  v = level(128 + (r - luma) / 1.402 * 224 / 255);
    uint8_t* planes = frame.bytes.data();
    for (int row = y0; row < y0 + size; ++row)
        std::memset(planes + size_t(row) * kWidth + x0, y, size_t(size));
    for (int row = y0 / 2; row < (y0 + size) / 2; ++row) {
        std::memset(planes + size_t(kWidth) * kHeight + size_t(row) * kWidth / 2 + x0 / 2, u, size_t(size / 2));
        std::memset(planes + size_t(kWidth) * kHeight * 5 / 4 + size_t(row) * kWidth / 2 + x0 / 2, v, size_t(size / 2));
    }
}

std::vector<Frame> design_frames(int count)
{
    ClipParams params;
    params.width = kWidth;
    params.height = kHeight;
    params.content = count;
    ClipDesign design;
    std::string error;
    clip_design_make(params, &design, &error);
    std::vector<Frame> frames(size_t(params.design_frames()));
    for (int f = 0; f < params.design_frames(); ++f) {
        // Grey background: luma of 128 in full range, neutral chroma.
        std::memset(frames[size_t(f)].bytes.data(), 126, size_t(kWidth) * kHeight);
        std::memset(frames[size_t(f)].bytes.data() + size_t(kWidth) * kHeight, 128, size_t(kWidth) * kHeight / 2);
        const std::string code = clip_design_code(design, f);
        for (size_t m = 0; m < design.markers.size(); ++m)
            fill(frames[size_t(f)], design.markers[m].left, design.markers[m].top, design.markers[m].size, code[m]);
    }
    return frames;
}

void BM_CellGridReduce(benchmark::State& state)
{
    const std::vector<Frame> frames = design_frames(16);
    const CellGrid grid = cell_grid_for(kWidth, kHeight);
    std::vector<uint8_t> cells(grid.frame_bytes());
    size_t n = 0;
    for (auto _ : state) {
        cell_grid_reduce(grid, frames[n++ % frames.size()].view(), cells.data());
        benchmark::DoNotOptimize(cells.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kWidth * kHeight * 3 / 2);
}
BENCHMARK(BM_CellGridReduce);

void BM_FindMarkerAreas10s(benchmark::State& state)
{
    const std::vector<Frame> frames = design_frames(235);
    const CellGrid grid = cell_grid_for(kWidth, kHeight);
    std::vector<std::vector<uint8_t>> reduced;
    std::vector<const uint8_t*> pointers;
    for (const Frame& frame : frames) {
        reduced.emplace_back(grid.frame_bytes());
        cell_grid_reduce(grid, frame.view(), reduced.back().data());
    }
    for (const auto& r : reduced)
        pointers.push_back(r.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(find_marker_areas(grid, pointers));
}
BENCHMARK(BM_FindMarkerAreas10s)->Unit(benchmark::kMillisecond);

// A frame pushed after the markers were found: its markers' interiors read, numbered, counted.
void BM_ReadFrameWithKnownMarkers(benchmark::State& state)
{
    const std::vector<Frame> frames = design_frames(100);
    VideoReaderOptions options;
    options.lookahead_seconds = 2;
    options.keep_frames = false;
    VideoReader reader(options);
    int64_t n = 0;
    for (; n < 80; ++n)
        reader.push(frames[size_t(n)].view(), n * 40'000'000);
    for (auto _ : state) {
        reader.push(frames[size_t(10 + n % 100)].view(), n * 40'000'000);
        ++n;
    }
    if (reader.result().markers.size() != 6)
        state.SkipWithError("the markers were not found");
}
BENCHMARK(BM_ReadFrameWithKnownMarkers);

// The same for frames that a blending converter made, half of each of two neighbours: every
// one is fitted as a mix of two consecutive source frames.
void BM_ReadBlendedFrame(benchmark::State& state)
{
    const std::vector<Frame> frames = design_frames(100);
    std::vector<Frame> blends(frames.size() - 1);
    for (size_t f = 0; f + 1 < frames.size(); ++f)
        for (size_t i = 0; i < blends[f].bytes.size(); ++i)
            blends[f].bytes[i] = uint8_t((frames[f].bytes[i] + frames[f + 1].bytes[i] + 1) / 2);
    VideoReaderOptions options;
    options.lookahead_seconds = 2;
    options.keep_frames = false;
    int64_t even = 0;
    options.on_frame = [&](const FrameReading& frame) { even += frame.weight == 0.5f; };
    VideoReader reader(options);
    int64_t n = 0;
    for (; n < 80; ++n)
        reader.push(frames[size_t(n)].view(), n * 40'000'000);
    for (auto _ : state) {
        // Blends of content frames (10 to 109) only, each at its own time between the two.
        const int64_t first = 10 + n++ % 99;
        reader.push(blends[size_t(first)].view(), first * 40'000'000 + 20'000'000);
    }
    if (even == 0)
        state.SkipWithError("no frame read as a blend");
}
BENCHMARK(BM_ReadBlendedFrame);

} // namespace

// Throughput of the robust beep detector on a continuing stream: every second holds a 100 ms
// beep over quiet noise, so each second also pays for one beep's fits. x_real_time is seconds
// of audio per second of processing; per channel, divide by the channel count.
#include "sound/beep_detector.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

using namespace skelv;

namespace {

std::vector<float> one_second(int rate, int channels)
{
    std::vector<float> samples;
    uint32_t noise = 1;
    for (int i = 0; i < rate; ++i) {
        const double t = double(i) / rate;
        const double beep = i < rate / 10 ? 0.3 * (std::sin(2 * M_PI * 547 * t) + std::sin(2 * M_PI * 1823 * t)) : 0.0;
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            samples.push_back(float(beep + 1e-3 * (double(noise >> 8) / (1 << 24) - 0.5)));
        }
    }
    return samples;
}

// One detector for all iterations: the stream goes on, a second per iteration, fed in the
// pieces of 1024 frames a decoder typically delivers.
void process_seconds(benchmark::State& state, int rate, int channels)
{
    const std::vector<float> second = one_second(rate, channels);
    BeepDetector detector(rate, channels);
    for (auto _ : state) {
        for (size_t frame = 0; frame < size_t(rate); frame += 1024)
            detector.process(second.data() + frame * size_t(channels), std::min<size_t>(1024, size_t(rate) - frame));
        benchmark::DoNotOptimize(detector.beeps().size());
    }
    state.SetItemsProcessed(state.iterations() * rate * channels);
    state.counters["x_real_time"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_BeepDetectorMono48k(benchmark::State& state)
{
    process_seconds(state, 48000, 1);
}

void BM_BeepDetectorStereo48k(benchmark::State& state)
{
    process_seconds(state, 48000, 2);
}

void BM_BeepDetectorMono192k(benchmark::State& state)
{
    process_seconds(state, 192000, 1);
}

} // namespace

BENCHMARK(BM_BeepDetectorMono48k)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_BeepDetectorStereo48k)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_BeepDetectorMono192k)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

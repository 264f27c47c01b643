// Throughput of the beep detector on one second of 48 kHz audio; x_real_time is seconds
// of audio per second of processing.
#include "core/tone_detector.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int32_t kRate = 48000;

// A tenth of a second of beep in every second, the rest quiet noise.
std::vector<int16_t> one_second()
{
    std::vector<int16_t> samples(kRate);
    uint32_t noise = 1;
    for (int32_t i = 0; i < kRate; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double t = 2.0 * M_PI * i / kRate;
        const double tones = 8000 * (std::sin(547.0 * t) + std::sin(1823.0 * t));
        const double beep = i < kRate / 10 ? tones : 0.0;
        samples[size_t(i)] = int16_t(std::lround(beep) + int32_t(noise >> 24) - 128);
    }
    return samples;
}

// Each iteration feeds a fresh detector starting at `first_index`, so every second lies in
// the same phase regime.
void process_second(benchmark::State& state, int32_t first_index)
{
    const std::vector<int16_t> samples = one_second();
    for (auto _ : state) {
        state.PauseTiming();
        ToneDetectorPtr detector(tone_detector_new_after_silence(kRate, first_index));
        state.ResumeTiming();
        tone_detector_process(detector.get(), samples.data(), samples.size());
        benchmark::DoNotOptimize(tone_detector_level(detector.get()));
    }
    state.SetItemsProcessed(state.iterations() * kRate);
    state.counters["x_real_time"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Below ten minutes every sample's phasors come from two exponentials.
void BM_ToneDetectorFirstMinutes(benchmark::State& state)
{
    process_second(state, 5 * 60 * kRate);
}

// From ten minutes on the phasors come from a table of one period.
void BM_ToneDetectorAfterTenMinutes(benchmark::State& state)
{
    process_second(state, 3 * 3600 * kRate);
}

} // namespace

BENCHMARK(BM_ToneDetectorFirstMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToneDetectorAfterTenMinutes)->Unit(benchmark::kMillisecond);

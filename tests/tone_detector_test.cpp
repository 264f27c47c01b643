#include "core/tone_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <tuple>
#include <vector>

extern "C" __complex__ float cexpf(__complex__ float);

static void PrintTo(const AudioMarker& m, std::ostream* os)
{
    *os << "{" << m.start << ", " << m.end << "}";
}

namespace {

using Markers = std::vector<AudioMarker>;
constexpr int32_t kMaxIndex = std::numeric_limits<int32_t>::max();

// Mono test signal built piece by piece; tone phases restart with every beep.
struct Clip {
    int32_t rate;
    std::vector<int16_t> samples;

    Clip& tones(int32_t count, double low_amplitude, double high_amplitude)
    {
        for (int32_t i = 0; i < count; ++i) {
            const double t = 2.0 * M_PI * i / rate;
            samples.push_back(int16_t(std::lround(low_amplitude * std::sin(547.0 * t) +
                                                  high_amplitude * std::sin(1823.0 * t))));
        }
        return *this;
    }
    Clip& silence(int32_t count) { return tones(count, 0, 0); }
    Clip& beep(int32_t count, double amplitude = 8000) { return tones(count, amplitude, amplitude); }
    int32_t size() const { return int32_t(samples.size()); }
};

// Half a second of silence, a tenth of a second of beep, half a second of silence.
Clip example_clip(int32_t rate, double amplitude = 8000)
{
    return Clip{rate, {}}.silence(rate / 2).beep(rate / 10, amplitude).silence(rate / 2);
}

// A detector whose first sample has index `first`, after `clip`.
ToneDetectorPtr fed(const Clip& clip, int32_t first = 0, int32_t rate = 0)
{
    ToneDetectorPtr detector(tone_detector_new_after_silence(rate ? rate : clip.rate, first));
    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    return detector;
}

Markers markers_of(const Clip& clip, int32_t first = 0)
{
    return tone_detector_get_markers(fed(clip, first).get());
}

// The level after each sample.
std::vector<float> levels_of(const Clip& clip, int32_t first = 0)
{
    const ToneDetectorPtr detector(tone_detector_new_after_silence(clip.rate, first));
    std::vector<float> levels;
    for (const int16_t& sample : clip.samples) {
        tone_detector_process(detector.get(), &sample, 1);
        levels.push_back(tone_detector_level(detector.get()));
    }
    return levels;
}

// Written out: cexpf per term, the leaving term recomputed, phase indices mod rate from ten minutes on.
std::vector<float> literal_levels(const Clip& clip, int32_t first)
{
    const auto term = [&](int32_t n, int16_t x, int32_t hz) {
        if (n >= 600LL * clip.rate)
            n %= clip.rate;
        __complex__ float argument = 0;
        __imag__ argument = float(((double(n) * -6.283185307179586) * double(hz)) / double(clip.rate));
        const __complex__ float z = cexpf(argument);
        return std::complex<float>(__real__ z * float(x), float(x) * __imag__ z);
    };
    std::array<int16_t, 500> history{};
    std::complex<float> low, high;
    std::vector<float> levels;
    for (int32_t i = 0; i < clip.size(); ++i) {
        const int32_t n = first + i;
        const int16_t x = clip.samples[size_t(i)];
        int16_t& y = history[size_t(n % 500)];
        low = (low - term(n - 500, y, 547)) + term(n, x, 547);
        high = (high - term(n - 500, y, 1823)) + term(n, x, 1823);
        y = x;
        const double product = std::hypot(double(low.real()), double(low.imag())) *
                               std::hypot(double(high.real()), double(high.imag()));
        levels.push_back(std::sqrt(float(product)) / 500.0f);
    }
    return levels;
}

// The peak level decides detection and how far edges move back, however late the beep comes.
TEST(ToneDetector, PeakLevelDecidesDetectionAndEdges)
{
    const int32_t last = kMaxIndex - example_clip(48000).size();
    const std::tuple<const char*, Clip, int32_t, float, float, Markers> cases[] = {
        // Tones from 24000 to 28800: the edges move by +10 and -20.
        {"example beep", example_clip(48000), 0, 4165, 4180, {{24010, 28780}}},
        {"at the last index", example_clip(48000), last, 4165, 4180, {{last + 24010, last + 28780}}},
        {"44.1 kHz", example_clip(44100), last, 4100, 4200, {{last + 22050 + 16, last + 26460 - 4}}},
        {"half amplitude", example_clip(48000, 4000), 0, 2080, 2095, {}},
        // A peak of 2100.77 counts as 2100: the start moves back 1050000 / 2100 = 500 samples.
        {"peak truncated", example_clip(48000, 4027.5), 0, 2100.5f, 2101, {{24145, 28778}}},
        {"one tone", Clip{48000, {}}.silence(1000).tones(24000, 16000, 0).silence(1000), 0, 0, 1500, {}},
    };
    for (const auto& [name, clip, first, lowest_peak, highest_peak, markers] : cases) {
        const std::vector<float> levels = levels_of(clip, first);
        const float peak = *std::max_element(levels.begin(), levels.end());
        EXPECT_TRUE(peak >= lowest_peak && peak <= highest_peak) << name << ": " << peak;
        EXPECT_EQ(markers_of(clip, first), markers) << name;
    }
}

// Gaps of 200 samples join beeps, of 600 split them; any cutting into buffers gives the same markers.
TEST(ToneDetector, GapsBufferSplitsAndClosing)
{
    const Clip clip = Clip{48000, {}}.beep(4800).silence(200).beep(4800).silence(600).beep(4800).silence(1000);
    const Markers expected{{10, 9800 - 20}, {10400 + 10, 15200 - 20}};
    EXPECT_EQ(markers_of(clip), expected);
    const ToneDetectorPtr detector(tone_detector_new(48000));
    const int16_t* next = clip.samples.data();
    for (const int count : {1, 0, 999, 1023, 4096, clip.size() - 6119}) {
        tone_detector_process(detector.get(), next, uint64_t(count));
        next += count;
    }
    EXPECT_EQ(tone_detector_get_markers(detector.get()), expected);
    // Shorter than the window, a beep peaks low: its start moves back further than it began.
    EXPECT_EQ(markers_of(Clip{48000, {}}.beep(300, 16000).silence(1000)).at(0).start, 0);
    EXPECT_EQ(markers_of(Clip{48000, {}}.silence(1000).beep(4800)), Markers{}) << "a beep still open is not reported";
}

// From the start, and across ten minutes where the phase index is first taken mod rate.
TEST(ToneDetector, LevelsMatchTheLiteralFormulaBitForBit)
{
    EXPECT_EQ(levels_of(example_clip(48000)), literal_levels(example_clip(48000), 0));
    for (const int32_t rate : {48000, 44100}) {
        const Clip across = Clip{rate, {}}.silence(500).beep(2000).beep(2000, 12000).silence(1500);
        EXPECT_EQ(levels_of(across, 600 * rate - 2800), literal_levels(across, 600 * rate - 2800)) << rate;
    }
}

// Any declared rate works: no table of one period of phasors (gigabytes at absurd rates) is needed.
TEST(ToneDetector, LimitsOfIndexAndRate)
{
    const Clip clip = example_clip(48000);
    const ToneDetectorPtr detector = fed(clip, kMaxIndex - clip.size() + 100);
    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    EXPECT_EQ(tone_detector_get_markers(detector.get()).size(), 1u) << "samples past the last index are ignored";
    for (const int32_t rate : {2000000000, kMaxIndex})
        for (const int32_t first : {0, kMaxIndex - clip.size()})
            EXPECT_TRUE(std::isfinite(tone_detector_level(fed(clip, first, rate).get()))) << rate;
    const ToneDetectorPtr no_rate = fed(clip, 0, -1);
    EXPECT_EQ(std::pair(tone_detector_level(no_rate.get()), tone_detector_get_markers(no_rate.get())),
        std::pair(0.0f, Markers{}));
}

} // namespace

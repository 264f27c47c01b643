#include "tone_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

extern "C" __complex__ float cexpf(__complex__ float);

static void PrintTo(const AudioMarker& m, std::ostream* os)
{
    *os << "{" << m.start << ", " << m.end << "}";
}

namespace {

constexpr int32_t k48k = 48000;
constexpr int32_t k44k = 44100;
constexpr int32_t kMaxSamples = std::numeric_limits<int32_t>::max();

// A mono test signal built piece by piece; tone phases restart with every beep.
struct Clip {
    int32_t rate;
    std::vector<int16_t> samples;

    Clip& silence(int32_t count)
    {
        samples.insert(samples.end(), size_t(count), 0);
        return *this;
    }
    Clip& tones(int32_t count, double low_amplitude, double high_amplitude)
    {
        for (int32_t i = 0; i < count; ++i) {
            const double t = 2.0 * M_PI * i / rate;
            samples.push_back(int16_t(std::lround(low_amplitude * std::sin(547.0 * t) +
                                                  high_amplitude * std::sin(1823.0 * t))));
        }
        return *this;
    }
    Clip& beep(int32_t count, double amplitude = 8000)
    {
        return tones(count, amplitude, amplitude);
    }
    int32_t size() const { return int32_t(samples.size()); }
};

// Half a second of silence, a tenth of a second of beep, half a second of silence.
Clip example_clip(int32_t rate, double amplitude = 8000)
{
    return Clip{rate, {}}.silence(rate / 2).beep(rate / 10, amplitude).silence(rate / 2);
}

ToneDetectorPtr detector_at(int32_t rate, int32_t first_index)
{
    return ToneDetectorPtr(tone_detector_new_after_silence(rate, first_index));
}

std::vector<AudioMarker> markers_of(const Clip& clip, int32_t first_index = 0)
{
    const ToneDetectorPtr detector = detector_at(clip.rate, first_index);
    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    return tone_detector_get_markers(detector.get());
}

std::vector<float> levels_of(const Clip& clip, int32_t first_index = 0)
{
    const ToneDetectorPtr detector = detector_at(clip.rate, first_index);
    std::vector<float> levels;
    for (const int16_t& sample : clip.samples) {
        tone_detector_process(detector.get(), &sample, 1);
        levels.push_back(tone_detector_level(detector.get()));
    }
    return levels;
}

float peak_of(const std::vector<float>& levels)
{
    return *std::max_element(levels.begin(), levels.end());
}

// The arithmetic written out literally: the C library's cexpf, four exponentials per sample,
// the leaving contribution recomputed from the history.
std::complex<float> literal_term(int32_t rate, int32_t n, int16_t x, int32_t hz)
{
    const float theta = float(((double(n) * -6.283185307179586) * double(hz)) / double(rate));
    __complex__ float argument;
    __real__ argument = 0.0f;
    __imag__ argument = theta;
    const __complex__ float z = cexpf(argument);
    const float value = x;
    return {__real__ z * value, value * __imag__ z};
}

// With `reduced`, phase indices from ten minutes on are taken mod rate.
std::vector<float> literal_levels(const Clip& clip, int32_t first_index, bool reduced)
{
    const auto phase_index = [&](int32_t n) {
        return reduced && n >= 600LL * clip.rate ? n % clip.rate : n;
    };
    std::array<int16_t, 500> history{};
    std::complex<float> low, high;
    std::vector<float> levels;
    for (int32_t i = 0; i < clip.size(); ++i) {
        const int32_t n = first_index + i;
        const int16_t x = clip.samples[size_t(i)];
        int16_t& y = history[size_t(n % 500)];
        const int32_t entering = phase_index(n), leaving = phase_index(n - 500);
        low = (low - literal_term(clip.rate, leaving, y, 547)) +
              literal_term(clip.rate, entering, x, 547);
        high = (high - literal_term(clip.rate, leaving, y, 1823)) +
               literal_term(clip.rate, entering, x, 1823);
        y = x;
        const double product = std::hypot(double(low.real()), double(low.imag())) *
                               std::hypot(double(high.real()), double(high.imag()));
        levels.push_back(std::sqrt(float(product)) / 500.0f);
    }
    return levels;
}

TEST(ToneDetectorLevel, PeakLevelDecidesDetection)
{
    struct Case {
        const char* name;
        Clip clip;
        float lowest_peak, highest_peak;
        size_t markers;
    };
    const Clip lead_in = Clip{k48k, {}}.silence(1000);
    const Case cases[] = {
        {"beep", example_clip(k48k), 4165, 4180, 1},
        {"quiet beep", example_clip(k48k, 4000), 2080, 2095, 0},
        {"547 Hz alone", Clip(lead_in).tones(k48k / 2, 16000, 0).silence(1000), 0, 1500, 0},
        {"1823 Hz alone", Clip(lead_in).tones(k48k / 2, 0, 16000).silence(1000), 0, 1500, 0},
        {"silence", Clip{k48k, {}}.silence(k48k), 0, 0, 0},
    };
    for (const Case& c : cases) {
        const float peak = peak_of(levels_of(c.clip));
        EXPECT_GE(peak, c.lowest_peak) << c.name;
        EXPECT_LE(peak, c.highest_peak) << c.name;
        EXPECT_EQ(markers_of(c.clip).size(), c.markers) << c.name;
    }
}

// The edges stay put however far into the recording the beep comes, up to the last index.
TEST(ToneDetectorEdges, OffsetsHoldAtAnyPointOfTheRecording)
{
    struct Case {
        int32_t rate, start_offset, end_offset;
    };
    for (const Case& c : {Case{k48k, 10, -20}, Case{k44k, 16, -4}}) {
        const Clip clip = example_clip(c.rate);
        const int32_t tones_begin = c.rate / 2, tones_end = tones_begin + c.rate / 10;
        for (const int32_t first_index : {0, 3 * 3600 * c.rate, kMaxSamples - clip.size()}) {
            EXPECT_EQ(markers_of(clip, first_index),
                      (std::vector<AudioMarker>{{first_index + tones_begin + c.start_offset,
                                                 first_index + tones_end + c.end_offset}}))
                << c.rate << " Hz from sample " << first_index;
        }
    }
}

TEST(ToneDetectorEdges, PeakIsTruncatedBeforeTheCorrections)
{
    // A peak of 2100.77 counts as 2100: the start moves back 1050000 / 2100 = 500 samples
    // from where the beep opened, not 499.
    const Clip clip = example_clip(k48k, 4027.5);
    const float peak = peak_of(levels_of(clip));
    ASSERT_GT(peak, 2100.5f);
    ASSERT_LT(peak, 2101.0f);
    EXPECT_EQ(markers_of(clip), (std::vector<AudioMarker>{{24145, 28778}}));
}

TEST(ToneDetectorEdges, BeepAtFirstSample)
{
    const Clip clip = Clip{k48k, {}}.beep(4800).silence(1000);
    EXPECT_EQ(markers_of(clip), (std::vector<AudioMarker>{{10, 4800 - 20}}));
}

TEST(ToneDetectorEdges, StartClampedAtZero)
{
    // A beep shorter than the window peaks low, so its start correction exceeds the
    // samples it took to open.
    const Clip short_beep = Clip{k48k, {}}.beep(300, 16000).silence(1000);
    Clip later = Clip{k48k, {}}.silence(1000);
    later.samples.insert(later.samples.end(), short_beep.samples.begin(), short_beep.samples.end());
    const std::vector<AudioMarker> after_silence = markers_of(later);
    ASSERT_EQ(after_silence.size(), 1u);
    ASSERT_LT(after_silence[0].start, 1000 - 50);
    const std::vector<AudioMarker> first = markers_of(short_beep);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].start, 0);
}

TEST(ToneDetectorEdges, OpenBeepIsHeldUntilItCloses)
{
    const ToneDetectorPtr detector(tone_detector_new(k48k));
    const Clip clip = Clip{k48k, {}}.silence(1000).beep(4800).silence(1000);
    tone_detector_process(detector.get(), clip.samples.data(), 3000);
    EXPECT_TRUE(tone_detector_get_markers(detector.get()).empty());

    tone_detector_process(detector.get(), clip.samples.data() + 3000, clip.samples.size() - 3000);
    EXPECT_EQ(tone_detector_get_markers(detector.get()),
              (std::vector<AudioMarker>{{1010, 5800 - 20}}));
}

TEST(ToneDetectorHysteresis, ShortGapJoinsBeepsLongGapSplitsThem)
{
    const auto two_beeps = [](int32_t gap) {
        return Clip{k48k, {}}.silence(1000).beep(4800).silence(gap).beep(4800).silence(1000);
    };
    EXPECT_EQ(markers_of(two_beeps(200)), (std::vector<AudioMarker>{{1010, 10800 - 20}}));
    EXPECT_EQ(markers_of(two_beeps(600)).size(), 2u);
}

TEST(ToneDetectorStreaming, BufferSplitsGiveTheSameMarkers)
{
    const Clip clip = Clip{k48k, {}}.beep(4800).silence(200).beep(4800).silence(700)
                          .beep(4800, 6000).silence(600);
    const std::vector<AudioMarker> whole = markers_of(clip);
    ASSERT_EQ(whole.size(), 2u);

    const ToneDetectorPtr detector(tone_detector_new(k48k));
    const int16_t* next = clip.samples.data();
    for (const uint64_t count : {1, 0, 999, 1023, 4096}) {
        tone_detector_process(detector.get(), next, count);
        next += count;
    }
    tone_detector_process(detector.get(), next, uint64_t(clip.samples.data() + clip.size() - next));
    EXPECT_EQ(tone_detector_get_markers(detector.get()), whole);
}

TEST(ToneDetectorStreaming, LateStartEqualsFeedingSilence)
{
    const Clip clip = example_clip(k48k);
    Clip fed = Clip{k48k, {}}.silence(1234);
    fed.samples.insert(fed.samples.end(), clip.samples.begin(), clip.samples.end());
    const std::vector<float> from_silence = levels_of(fed);
    EXPECT_EQ(levels_of(clip, 1234),
              std::vector<float>(from_silence.begin() + 1234, from_silence.end()));
}

TEST(ToneDetectorPrecision, ShortClipsMatchTheLiteralFormula)
{
    const Clip clip = example_clip(k48k);
    EXPECT_EQ(levels_of(clip), literal_levels(clip, 0, false));
    // A clip that ends just before ten minutes.
    const int32_t first_index = 600 * k48k - clip.size();
    EXPECT_EQ(levels_of(clip, first_index), literal_levels(clip, first_index, false));
}

TEST(ToneDetectorPrecision, PhaseIndexIsReducedFromTenMinutes)
{
    for (const int32_t rate : {k48k, k44k}) {
        const Clip clip = Clip{rate, {}}.silence(500).beep(2000).beep(2000, 12000).silence(1500);
        const int32_t first_index = 600 * rate - 2800;
        EXPECT_EQ(levels_of(clip, first_index), literal_levels(clip, first_index, true)) << rate;
    }
}

TEST(ToneDetectorLimits, SamplesPastTheLastIndexAreIgnored)
{
    const Clip clip = example_clip(k48k);
    const int32_t first_index = kMaxSamples - clip.size() + 100;
    const ToneDetectorPtr detector = detector_at(k48k, first_index);
    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    EXPECT_EQ(tone_detector_get_markers(detector.get()).size(), 1u);

    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    EXPECT_EQ(tone_detector_get_markers(detector.get()).size(), 1u);
}

TEST(ToneDetectorLimits, NoRateConsumesNothing)
{
    const ToneDetectorPtr detector(tone_detector_new(0));
    const Clip clip = example_clip(k48k);
    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    EXPECT_TRUE(tone_detector_get_markers(detector.get()).empty());
    EXPECT_EQ(tone_detector_level(detector.get()), 0.0f);
}

// A file may declare any rate. Sample indices stop below ten minutes at such rates, so the
// detector never needs a table of one period of phasors: gigabytes that would abort the run.
TEST(ToneDetectorLimits, AbsurdRatesNeedNoPeriodTable)
{
    const Clip clip = example_clip(k48k);
    for (const int32_t rate : {2000000000, kMaxSamples}) {
        for (const int32_t first_index : {0, kMaxSamples - clip.size()}) {
            const ToneDetectorPtr detector = detector_at(rate, first_index);
            tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
            EXPECT_TRUE(std::isfinite(tone_detector_level(detector.get()))) << rate;
        }
    }
}

TEST(ToneDetectorLimits, OneHertzReducesEveryPhaseToZero)
{
    const Clip clip = Clip{1, {}}.silence(600).beep(1000, 6000);
    const ToneDetectorPtr detector = detector_at(1, 0);
    tone_detector_process(detector.get(), clip.samples.data(), clip.samples.size());
    // Every phasor is 1 from sample 600 on: the level is the mean of the last 500 samples.
    EXPECT_EQ(tone_detector_level(detector.get()), literal_levels(clip, 0, true).back());
}

} // namespace

#include "core/tone_detector.h"

#include "core/clip_constants.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>

namespace {

constexpr int32_t kWindow = clip::kToneWindow; // samples in each sliding sum
constexpr int32_t kLowHz = clip::kBeepLowHz;
constexpr int32_t kHighHz = clip::kBeepHighHz;
constexpr int32_t kOpenLevel = clip::kBeepOpenLevel;
constexpr int32_t kCloseLevel = clip::kBeepCloseLevel;
constexpr int64_t kAbsolutePhaseSeconds = 600; // phases use the absolute index before this
constexpr int32_t kMaxSamples = std::numeric_limits<int32_t>::max(); // indices are int32

// One complex value per tone: a phasor e^(-2πi·m·f/rate), or a sample's contribution.
struct TonePair {
    std::complex<float> low;  ///< 547 Hz
    std::complex<float> high; ///< 1823 Hz
};

// The phase is formed in double and rounded to single precision before the exponential;
// the levels, and so the markers, depend on exactly these roundings. For an imaginary
// argument the C library's cexpf is exp(0) = 1 times (cos θ, sin θ) from sincosf: calling
// sincosf gives the same bits at half the cost.
std::complex<float> unit_phasor(int32_t rate, int32_t m, int32_t hz)
{
    const double theta = ((double(m) * -6.283185307179586) * double(hz)) / double(rate);
    float sine = 0.0f;
    float cosine = 0.0f;
    ::sincosf(float(theta), &sine, &cosine);
    return {cosine, sine};
}

TonePair phasors_at(int32_t rate, int32_t m)
{
    return {unit_phasor(rate, m, kLowHz), unit_phasor(rate, m, kHighHz)};
}

// One period of phasors, m = 0 .. rate - 1: the tones are whole hertz, so the phasors
// repeat every `rate` samples.
std::vector<TonePair> period_table(int32_t rate)
{
    std::vector<TonePair> table;
    for (int32_t m = 0; m < rate; ++m)
        table.push_back(phasors_at(rate, m));
    return table;
}

} // namespace

struct ToneDetector {
    int32_t rate;                         ///< Hz
    int64_t absolute_phase_end;           ///< first index whose phase uses index mod rate
    std::vector<TonePair> period;         ///< phasors for index mod rate; `rate` entries once used
    int32_t sample_count;                 ///< samples consumed; index of the next sample
    std::array<TonePair, kWindow> window; ///< sample n's contributions, in slot n mod 500
    std::complex<float> low_sum;          ///< sliding sum for 547 Hz
    std::complex<float> high_sum;         ///< sliding sum for 1823 Hz
    float level;                          ///< of the last sample consumed
    bool in_beep;
    float peak;                           ///< largest level since the open beep began
    AudioMarker current;                  ///< the open beep; its end is set when it closes
    std::vector<AudioMarker> markers;     ///< closed beeps, in closing order
};

namespace {

// A single-precision phase from the absolute index loses precision as the recording grows;
// from ten minutes on the index is taken mod rate, which keeps the phase exact. Below that
// the absolute index stays, so that short clips keep their results to the bit.
// The period table is built when first needed: a file may declare an absurd rate, whose
// table would not fit in memory, but then ten minutes lie beyond any 32-bit index.
TonePair phasors_for(ToneDetector& detector, int32_t n)
{
    if (n < detector.absolute_phase_end)
        return phasors_at(detector.rate, n);
    if (detector.period.empty())
        detector.period = period_table(detector.rate);
    return detector.period[size_t(n % detector.rate)];
}

// Geometric mean of the two magnitudes, divided by the window length.
float level_of(std::complex<float> low_sum, std::complex<float> high_sum)
{
    const double low = std::hypot(double(low_sum.real()), double(low_sum.imag()));
    const double high = std::hypot(double(high_sum.real()), double(high_sum.imag()));
    return std::sqrt(float(low * high)) / float(kWindow);
}

// Moves the edges back by the samples a beep at the peak level needs to lift the level
// above 2100 and to let it fall below 1900. Integer divisions truncate toward zero; the
// peak is at least 2100.
void close_beep(ToneDetector& detector)
{
    const int32_t peak = int32_t(detector.peak);
    AudioMarker marker = detector.current;
    marker.start = std::max(marker.start - (kWindow * kOpenLevel) / peak, 0);
    marker.end = (kWindow * kCloseLevel - kWindow * peak) / peak + detector.sample_count;
    detector.in_beep = false;
    detector.markers.push_back(marker);
}

void track_beep(ToneDetector& detector, float level)
{
    if (!detector.in_beep) {
        if (level > kOpenLevel) {
            detector.in_beep = true;
            detector.peak = level;
            detector.current.start = detector.sample_count;
        }
        return;
    }
    if (level > detector.peak)
        detector.peak = level;
    if (level < kCloseLevel)
        close_beep(detector);
}

// The leaving sample's contributions are read back exactly as they were added; real and
// imaginary parts are updated in single precision, the subtraction first.
void consume(ToneDetector& detector, int16_t sample)
{
    const int32_t n = detector.sample_count;
    const TonePair phasors = phasors_for(detector, n);
    const float x = sample;
    const TonePair entering{phasors.low * x, phasors.high * x};
    TonePair& slot = detector.window[size_t(n % kWindow)];
    detector.low_sum = (detector.low_sum - slot.low) + entering.low;
    detector.high_sum = (detector.high_sum - slot.high) + entering.high;
    slot = entering;
    detector.sample_count = n + 1;
    detector.level = level_of(detector.low_sum, detector.high_sum);
    track_beep(detector, detector.level);
}

} // namespace

ToneDetector* tone_detector_new(int32_t rate) noexcept
{
    return tone_detector_new_after_silence(rate, 0);
}

// Zero samples add nothing to a sum that is still zero, so a fresh detector that has seen
// only silence differs from a new one by its sample count alone.
ToneDetector* tone_detector_new_after_silence(int32_t rate, int32_t silent_samples) noexcept
{
    auto* detector = new ToneDetector{};
    detector->rate = rate;
    detector->absolute_phase_end = kAbsolutePhaseSeconds * rate;
    detector->sample_count = std::max(silent_samples, 0);
    return detector;
}

void tone_detector_process(ToneDetector* detector, const int16_t* samples, uint64_t count) noexcept
{
    if (detector->rate <= 0)
        return;
    const uint64_t usable = std::min(count, uint64_t(kMaxSamples - detector->sample_count));
    for (uint64_t i = 0; i < usable; ++i)
        consume(*detector, samples[i]);
}

std::vector<AudioMarker> tone_detector_get_markers(const ToneDetector* detector) noexcept
{
    return detector->markers;
}

float tone_detector_level(const ToneDetector* detector) noexcept
{
    return detector->level;
}

void tone_detector_free(ToneDetector* detector) noexcept
{
    delete detector;
}

// The robust beep detector on random interleaved streams (any float, NaN and infinities
// included), rates and channel counts, sometimes with a beep laid over them so that the fits
// run: feeding the stream in random pieces gives the same beeps as feeding it at once, and
// every beep is well formed.
#include "fuzz_input.h"
#include "sound/beep_detector.h"

#include <cmath>
#include <cstdlib>
#include <vector>

using namespace skelv;

namespace {

void add_beep(std::vector<float>& samples, int rate, int channels, FuzzInput& input)
{
    const size_t frames = samples.size() / size_t(channels);
    const size_t onset = frames ? input.u32() % frames : 0;
    const double amplitude = std::pow(10.0, -double(input.byte()) / 40);
    const int channel = input.byte() % channels;
    for (size_t n = onset; n < frames && n < onset + size_t(rate / 16); ++n) {
        const double t = double(n - onset) / rate;
        samples[n * size_t(channels) + size_t(channel)] +=
            float(amplitude * (std::sin(2 * M_PI * 547 * t) + std::sin(2 * M_PI * 1823 * t)));
    }
}

std::vector<DetectedBeep> detect(const std::vector<float>& samples, int rate, int channels,
    const std::vector<uint16_t>& cuts)
{
    BeepDetector detector(rate, channels);
    const size_t frames = samples.size() / size_t(channels);
    size_t fed = 0;
    for (const uint16_t cut : cuts) {
        const size_t count = std::min<size_t>(cut % 4096, frames - fed);
        detector.process(samples.data() + fed * size_t(channels), count);
        fed += count;
    }
    detector.process(samples.data() + fed * size_t(channels), frames - fed);
    detector.finish();
    return detector.beeps();
}

bool same(const DetectedBeep& a, const DetectedBeep& b)
{
    return a.onset == b.onset && a.end == b.end && a.level_dbfs == b.level_dbfs && a.confidence == b.confidence &&
           a.channel == b.channel && a.inverted == b.inverted && a.frequency_error == b.frequency_error;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr int kRates[] = {8000, 11025, 16000, 22050, 44100, 48000, 96000, 192000};
    FuzzInput input(data, size);
    const int rate = kRates[input.byte() % 8];
    const int channels = 1 + input.byte() % BeepDetector::kMaxChannels;
    const bool with_beep = input.byte() % 2;
    std::vector<uint16_t> cuts(size_t(input.in_range(0, 16)));
    for (uint16_t& cut : cuts)
        cut = input.u16();
    std::vector<float> samples(input.remaining() / sizeof(float) / size_t(channels) * size_t(channels));
    input.bytes(reinterpret_cast<uint8_t*>(samples.data()), samples.size() * sizeof(float));
    if (with_beep) {
        samples.resize(std::max(samples.size(), size_t(rate) * size_t(channels) / 4));
        add_beep(samples, rate, channels, input);
    }

    const std::vector<DetectedBeep> whole = detect(samples, rate, channels, {});
    const std::vector<DetectedBeep> pieces = detect(samples, rate, channels, cuts);
    if (whole.size() != pieces.size())
        abort();
    for (size_t i = 0; i < whole.size(); ++i) {
        const DetectedBeep& beep = whole[i];
        if (!same(beep, pieces[i]) || !std::isfinite(beep.onset) || !(beep.end > beep.onset) ||
            !std::isfinite(beep.level_dbfs) || !std::isfinite(beep.confidence) || beep.channel < 0 ||
            beep.channel >= channels || (i > 0 && !(whole[i - 1].onset < beep.onset)))
            abort();
    }
    return 0;
}

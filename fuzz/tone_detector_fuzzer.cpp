// The beep detector on random sample streams, rates and starting indices: feeding the
// stream in random pieces gives the same markers and level as feeding it at once.
#include "fuzz_input.h"
#include "core/tone_detector.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// Mostly real rates; sometimes any 32-bit value, as a file header may declare.
int32_t rate_of(FuzzInput& input)
{
    constexpr int32_t kRates[] = {8000, 11025, 16000, 22050, 44100, 48000, 96000, 1, 0, -1};
    const uint8_t choice = input.byte();
    if (choice < 200)
        return kRates[choice % (sizeof kRates / sizeof kRates[0])];
    return int32_t(input.u32());
}

// Near zero, near ten minutes (where phases switch to the period table) or near the last index.
int32_t first_index_of(FuzzInput& input, int32_t rate)
{
    const int32_t offset = input.in_range(0, 2000);
    switch (input.byte() % 3) {
    case 0: return offset;
    case 1: return rate > 0 && rate <= 3579139 ? 600 * rate - offset : offset;
    default: return 2147483647 - offset;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const int32_t rate = rate_of(input);
    const int32_t first_index = first_index_of(input, rate);
    std::vector<uint16_t> cuts(input.in_range(0, 16));
    for (uint16_t& cut : cuts)
        cut = input.u16();
    std::vector<int16_t> samples(input.remaining() / 2);
    input.bytes(reinterpret_cast<uint8_t*>(samples.data()), samples.size() * 2);

    ToneDetectorPtr whole(tone_detector_new_after_silence(rate, first_index));
    tone_detector_process(whole.get(), samples.data(), samples.size());

    ToneDetectorPtr pieces(tone_detector_new_after_silence(rate, first_index));
    size_t fed = 0;
    for (const uint16_t cut : cuts) {
        const size_t count = std::min<size_t>(cut % 1024, samples.size() - fed);
        tone_detector_process(pieces.get(), samples.data() + fed, count);
        fed += count;
    }
    tone_detector_process(pieces.get(), samples.data() + fed, samples.size() - fed);

    const std::vector<AudioMarker> markers = tone_detector_get_markers(whole.get());
    if (markers != tone_detector_get_markers(pieces.get()))
        abort();
    const float level = tone_detector_level(whole.get());
    if (!std::isfinite(level) || level != tone_detector_level(pieces.get()))
        abort();
    for (const AudioMarker& m : markers) {
        if (m.start < 0)
            abort();
    }
    return 0;
}

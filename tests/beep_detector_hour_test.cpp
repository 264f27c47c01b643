// An hour of other sound as one 48 kHz stream: speech, music, other tones and pairs, noise, hum.
#include "sound/beep_detector.h"
#include "support/sounds.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace skelv;

namespace {

constexpr int kRate = 48000;
constexpr size_t kMinute = 60 * kRate;

Sound gated(Sound sound, size_t on, size_t off)
{
    for (size_t n = on; n < sound.size(); n += on + off)
        std::fill_n(sound.begin() + long(n), std::min(off, sound.size() - n), 0.0f);
    return sound;
}

// Tones switched on abruptly for 100 ms of every second, like beeps.
Sound tone_bursts(std::initializer_list<double> tones)
{
    Sound sound(kMinute);
    for (const double hz : tones)
        sound = mixed(sound, sine(kMinute, kRate, hz, 0.25));
    return gated(sound, kRate / 10, kRate * 9 / 10);
}

Sound minute_of_sound(int minute)
{
    const auto seed = uint32_t(minute + 100);
    const double level = -35 + (minute % 6) * 5; // RMS from -35 to -10 dBFS
    if (minute < 20)
        return mixed(at_level(speech_like(kMinute, kRate, seed), level), at_level(white_noise(kMinute, seed), -70));
    if (minute < 40)
        return at_level(music_like(kMinute, kRate, seed), level);
    switch (minute) {
    case 40: return sine(kMinute, kRate, 550, 0.3);
    case 41: return tone_bursts({550});
    case 42: return sine(kMinute, kRate, 1000, 0.18);
    case 43: return tone_bursts({547}); // one tone of the pair alone, then the other
    case 44: return tone_bursts({1823});
    case 45: return tone_bursts({547, 1900});
    case 46: return tone_bursts({520, 1823});
    case 47: return mixed(tone_bursts({697, 1209}), tone_bursts({852, 1477}));
    case 48: return gated(at_level(white_noise(kMinute, seed), -15), kRate / 5, kRate / 3);
    case 49: return at_level(mains_hum(kMinute, kRate, 50), -20);
    case 50: return gated(at_level(mains_hum(kMinute, kRate, 60), -15), kRate / 2, kRate / 2);
    case 51: return mixed(at_level(speech_like(kMinute, kRate, seed), -20), at_level(music_like(kMinute, kRate, seed), -25));
    case 52: return mixed(at_level(music_like(kMinute, kRate, seed), -20), sine(kMinute, kRate, 1000, 0.05));
    default: return mixed(at_level(speech_like(kMinute, kRate, seed), -15), at_level(white_noise(kMinute, seed), -30));
    }
}

TEST(BeepDetectorHour, NoBeepsInAnHourOfOtherSound)
{
    BeepDetector detector(kRate, 1);
    for (int minute = 0; minute < 60; ++minute) {
        const Sound sound = minute_of_sound(minute);
        detector.process(sound.data(), sound.size());
    }
    detector.finish();
    for (const DetectedBeep& beep : detector.beeps())
        ADD_FAILURE() << "a beep at " << beep.onset / kRate << " s, confidence " << beep.confidence << " dB";
}

} // namespace

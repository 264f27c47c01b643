// Sounds made in memory for the beep detector's tests: the clip's beep, chain effects, other sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Sound = std::vector<float>;

constexpr double kClipToneAmplitude = 10000.0 / 32768; // the generator's, per tone, full scale 1

struct BeepShape {
    double onset = 0;                      ///< samples, fractional: both tones start here at phase 0
    double length = 0;                     ///< samples
    double amplitude = kClipToneAmplitude; ///< per tone
    double clock = 1;                      ///< scales the tones' frequencies (clock drift)
    double sign = 1;                       ///< −1: inverted polarity
};

void add_beep(Sound& sound, int rate, const BeepShape& beep);
Sound at_level(Sound sound, double rms_dbfs);
Sound mixed(Sound into, const Sound& other); // as far as both reach
// Linear-phase band pass, centred: no delay.
Sound band_limit(const Sound& sound, int rate, double low_hz, double high_hz);
Sound white_noise(size_t samples, uint32_t seed);
// A mains supply's buzz: its harmonics up to 2 kHz, odd ones stronger.
Sound mains_hum(size_t samples, int rate, double mains_hz);
Sound sine(size_t samples, int rate, double hz, double amplitude);
// Syllables of a gliding glottal buzz (85..260 Hz) through two formants, with pauses.
Sound speech_like(size_t samples, int rate, uint32_t seed);
// Notes and chords of harmonic timbres tuned around A = 440 Hz (55 Hz .. 2.2 kHz).
Sound music_like(size_t samples, int rate, uint32_t seed);

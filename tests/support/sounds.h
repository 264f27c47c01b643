// Sounds made in memory for the beep detector's tests: the clip's beep at any onset, level and
// clock, the chain effects it meets, and what a recording carries besides it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Sound = std::vector<float>;

constexpr double kClipToneAmplitude = 10000.0 / 32768; // the generator's, per tone, full scale 1

struct BeepSpec {
    double onset = 0;                      ///< samples, fractional: both tones start here at phase 0
    double length = 0;                     ///< samples
    double amplitude = kClipToneAmplitude; ///< per tone
    double clock = 1;                      ///< scales the tones' frequencies (clock drift)
    double sign = 1;                       ///< −1: inverted polarity
};

// Adds the beep to the samples at or after its onset, for its length.
void add_beep(Sound& sound, int rate, const BeepSpec& beep);

double rms(const Sound& sound);
Sound at_level(Sound sound, double rms_dbfs);
// `into` plus `other` times `gain`, as far as both reach.
Sound mixed(Sound into, const Sound& other, double gain = 1);

// Linear-phase band pass (low pass when `low_hz` is 0), centred: no delay.
Sound band_limit(const Sound& sound, int rate, double low_hz, double high_hz);
// Look-ahead limiter: no sample beyond `ceiling`; the gain slides down before each peak and
// back up after it, nothing is delayed.
Sound limit(Sound sound, int rate, double ceiling);

Sound white_noise(size_t samples, uint32_t seed);
Sound pink_noise(size_t samples, uint32_t seed);
// A mains supply's buzz: its harmonics up to 2 kHz, odd ones stronger.
Sound mains_hum(size_t samples, int rate, double mains_hz);
Sound sine(size_t samples, int rate, double hz, double amplitude);
// Syllables of a glottal buzz (85..260 Hz) through moving formants, with fricatives and pauses.
Sound speech_like(size_t samples, int rate, uint32_t seed);
// Notes and chords of harmonic timbres tuned around A = 440 Hz, with percussion.
Sound music_like(size_t samples, int rate, uint32_t seed);
